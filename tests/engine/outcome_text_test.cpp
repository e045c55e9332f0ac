// The texts that tell the user how a job ended: the error box, status panel 0,
// and the elapsed time with the user's decimal separator.
#include "outcome_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "pack_notify.h"

namespace pkg {
namespace {

const std::string kSource = "D:\\src\\地图 maps\\town.dat";
const std::string kDetail = "磁盘已满 (offset 4096)";

struct OutcomeCase {
  std::intptr_t lParam;
  std::uintptr_t wParam;
  bool known;
  bool failed;
  std::string box;
  std::string panel;
};

TEST(DescribeOutcomeTest, EachNotificationGetsItsBoxAndPanelText) {
  const OutcomeCase kCases[] = {
      {100, 1, true, true, "没有需要打包的文件！", "发生错误：没有需要打包的文件！"},
      {100, 2, true, true, "无法创建PKG文件！", "发生错误：无法创建PKG文件！"},
      // The panel repeats the box without the "发生错误：" prefix.
      {100, 3, true, true, "无法打开源文件：" + kSource, "无法打开源文件：" + kSource},
      {100, 4, true, true, "写入PKG文件失败：" + kDetail, "发生错误：写入PKG文件失败：" + kDetail},
      {200, 1, true, false, "", "打包结束，耗时1.500秒"},
      // Unknown details: no box, the panel stays as it is.
      {100, 0, false, false, "", ""},
      {100, 5, false, false, "", ""},
      {100, 7, false, false, "", ""},
      {200, 0, false, false, "", ""},
      {200, 2, false, false, "", ""},
      {0, 1, false, false, "", ""},
      {0, 3, false, false, "", ""},
      {300, 1, false, false, "", ""},
      {-100, 1, false, false, "", ""},
      {6001, 1, false, false, "", ""},
  };
  for (const OutcomeCase& c : kCases) {
    SCOPED_TRACE(testing::Message() << "lParam " << c.lParam << ", wParam " << c.wParam);
    const OutcomeText o = DescribeOutcome(c.lParam, c.wParam, kSource, kDetail, 1.5f, ".");
    EXPECT_EQ(o.known, c.known);
    EXPECT_EQ(o.failed, c.failed);
    EXPECT_EQ(o.boxText, c.box);
    EXPECT_EQ(o.panelText, c.panel);
  }
}

TEST(DescribeOutcomeTest, SourcePathIsTakenExactlyAsGiven) {
  const std::string kPaths[] = {"", " ", "C:\\a b\\ c .txt ", "\\\\server\\share\\%s%d.bin"};
  for (const std::string& path : kPaths) {
    SCOPED_TRACE("\"" + path + "\"");
    const OutcomeText o = DescribeOutcome(NOTIFY_FAILED, FAIL_OPEN_SOURCE, path, "", 0, ".");
    EXPECT_EQ(o.boxText, "无法打开源文件：" + path);
    EXPECT_EQ(o.panelText, o.boxText);
  }
}

// A folder the job could not list is named with a separator at its end, in the
// same text as a file.
TEST(DescribeOutcomeTest, FolderThatCouldNotBeListedIsNamedWithItsSeparator) {
  const std::string kFolders[] = {"D:\\src\\地图\\", "D:\\", "/home/u/src/locked/", "D:/src/"};
  for (const std::string& folder : kFolders) {
    SCOPED_TRACE(folder);
    const OutcomeText o = DescribeOutcome(NOTIFY_FAILED, FAIL_OPEN_SOURCE, folder, kDetail, 0, ".");
    EXPECT_EQ(o.boxText, "无法打开源文件：" + folder);
    EXPECT_EQ(o.panelText, o.boxText);
  }
}

TEST(DescribeOutcomeTest, FinishedPanelShowsThreeDecimalsWithTheUsersSeparator) {
  const struct {
    float seconds;
    const char* separator;
    const char* panel;
  } kCases[] = {
      {1.5f, ".", "打包结束，耗时1.500秒"},
      {0.012f, ".", "打包结束，耗时0.012秒"},
      {0.0f, ".", "打包结束，耗时0.000秒"},
      {1.5f, ",", "打包结束，耗时1,500秒"},
      {0.012f, ",", "打包结束，耗时0,012秒"},
      {1.5f, "", "打包结束，耗时1.500秒"},  // the locale gave none
      {61.25f, "·", "打包结束，耗时61·250秒"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.seconds << " with \"" << c.separator << "\"");
    const OutcomeText o =
        DescribeOutcome(NOTIFY_FINISHED, 1, kSource, kDetail, c.seconds, c.separator);
    EXPECT_TRUE(o.known);
    EXPECT_FALSE(o.failed);
    EXPECT_EQ(o.boxText, "");
    EXPECT_EQ(o.panelText, c.panel);
  }
}

TEST(FormatSecondsTest, FixedThreeDecimalsWithoutThousandsSeparators) {
  const struct {
    float seconds;
    const char* separator;
    const char* text;
  } kCases[] = {
      {12345.678f, ".", "12345.678"},
      {12345.678f, ",", "12345,678"},
      {1234567.0f, ".", "1234567.000"},
      {4294967.5f, ".", "4294967.500"},  // about the longest a 32-bit tick count allows
      {0.001f, ".", "0.001"},
      {0.0004f, ".", "0.000"},
      {2.0f, ".", "2.000"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatSeconds(c.seconds, c.separator), c.text);
  }
}

}  // namespace
}  // namespace pkg

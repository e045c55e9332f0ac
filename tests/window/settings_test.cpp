// Where the settings file lies and what a save writes.
#include "settings.h"

#include <gtest/gtest.h>

#include "forwarding_platform.h"
#include "test_support.h"

namespace pkgui {
namespace {

TEST(SettingsFilePathTest, IsTheExecutablesFolderWithTheFixedName) {
  const struct {
    const char* exe;
    const char* ini;
  } kCases[] = {
      {"C:\\Games\\Tools\\Zerith_DURAdazov.exe", "C:\\Games\\Tools\\Zerith_DURAdazov.ini"},
      {"C:\\Games\\Tools\\renamed.exe", "C:\\Games\\Tools\\Zerith_DURAdazov.ini"},
      {"D:\\游戏\\打包.exe", "D:\\游戏\\Zerith_DURAdazov.ini"},
      {"\\\\server\\share\\z.exe", "\\\\server\\share\\Zerith_DURAdazov.ini"},
      {"C:z.exe", "C:Zerith_DURAdazov.ini"},  // up to the colon
      {"C:\\a.b\\z", "C:\\a.b\\Zerith_DURAdazov.ini"},
      {"z.exe", "Zerith_DURAdazov.ini"},
  };
  for (const auto& c : kCases) EXPECT_EQ(SettingsFilePath(c.exe), c.ini) << c.exe;
}

class WriteSettingsTest : public testing::Test {
 protected:
  std::string Path() const { return pkgtest::U8(dir_ / "Zerith_DURAdazov.ini"); }
  std::string Contents() const {
    const pkgtest::Bytes b = pkgtest::ReadFile(dir_ / "Zerith_DURAdazov.ini");
    return std::string(b.begin(), b.end());
  }
  pkgtest::TempDir dir_;
};

TEST_F(WriteSettingsTest, WritesTheSixKeysInOrderAndLeavesOtherSectionsAlone) {
  pkgtest::WriteFile(dir_ / "Zerith_DURAdazov.ini", "[Window]\r\nLeft=5\r\n");
  TProfileFile f(Path());
  TSettingsValues v;
  v.SourceDirectory = "D:\\\xd3\xce\xcf\xb7";  // 游戏 in code page 936
  v.OutputPKGPath = "D:\\out.pkg";
  v.CustomPKGKey = "3A7F";
  v.CompressData = true;
  v.PKGType = -42;
  v.Game = 3;
  WriteSettings(f, v);
  EXPECT_EQ(Contents(),
            "[Window]\r\nLeft=5\r\n\r\n[Config]\r\n"
            "SourceDirectory=D:\\\xd3\xce\xcf\xb7\r\nOutputPKGPath=D:\\out.pkg\r\n"
            "CustomPKGKey=3A7F\r\nCompressData=1\r\nPKGType=-42\r\nGame=3\r\n");

  // A second save changes the values in place.
  v.CompressData = false;
  v.PKGType = 7;
  v.Game = 1;
  v.CustomPKGKey.clear();
  WriteSettings(f, v);
  EXPECT_EQ(Contents(),
            "[Window]\r\nLeft=5\r\n\r\n[Config]\r\n"
            "SourceDirectory=D:\\\xd3\xce\xcf\xb7\r\nOutputPKGPath=D:\\out.pkg\r\n"
            "CustomPKGKey=\r\nCompressData=0\r\nPKGType=7\r\nGame=1\r\n");
}

// Lets the first n replacements of the file through and refuses the rest.
class RefusesAfter : public pkgtest::ForwardingPlatform {
 public:
  explicit RefusesAfter(int n) : left_(n) {}
  pkg::Status MoveFileOver(const std::string& a, const std::string& b) override {
    if (left_-- <= 0) return pkg::Status::Fail("read-only");
    return inner_.MoveFileOver(a, b);
  }

 private:
  int left_;
};

TEST_F(WriteSettingsTest, ARefusedWriteStopsTheSaveAtItsKey) {
  RefusesAfter platform(3);
  TProfileFile f(Path(), platform);
  TSettingsValues v;
  v.SourceDirectory = "a";
  v.OutputPKGPath = "b";
  v.CustomPKGKey = "c";
  try {
    WriteSettings(f, v);
    FAIL() << "the save did not fail";
  } catch (const EProfileWriteError& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + Path());
  }
  EXPECT_EQ(Contents(), "[Config]\r\nSourceDirectory=a\r\nOutputPKGPath=b\r\nCustomPKGKey=c\r\n");
}

}  // namespace
}  // namespace pkgui

#include "source_scan.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <functional>
#include <map>

#include "forwarding_platform.h"
#include "test_support.h"

namespace {

using pkg::DirEntry;
using pkgtest::TempDir;
using pkgtest::U8;
using pkgtest::WriteFile;

std::vector<std::string> Relatives(const std::vector<pkg::SourceFile>& files) {
  std::vector<std::string> out;
  for (const auto& f : files) out.push_back(f.relative);
  return out;
}

// A folder tree held in memory, listed in the order the test gives, with
// Windows-style paths: the order and the path forms are then the scan's own.
class ScriptedTree : public pkgtest::ForwardingPlatform {
 public:
  std::map<std::string, std::vector<DirEntry>> dirs;
  std::vector<std::string> listed;  // every path the scan asked to list

  pkg::Status ListDirectory(const std::string& p, std::vector<DirEntry>& e) override {
    listed.push_back(p);
    auto it = dirs.find(p);
    if (it == dirs.end()) return pkg::Status::Fail("no such folder");
    e = it->second;
    return pkg::Status::Ok();
  }
  pkg::Status IdentityOf(const std::string& p, pkg::FileIdentity& id) override {
    id = {1, std::hash<std::string>{}(p)};
    return pkg::Status::Ok();
  }
  std::string JoinRelative(const std::string& d, const std::string& r) override { return d + r; }
};

TEST(BuildFileList, BreadthFirstFilesBeforeSubfoldersWhateverTheListingOrder) {
  ScriptedTree t;
  t.dirs["D:\\src"] = {{"a", true}, {"r1", false}, {"b", true}, {"r2", false}};
  t.dirs["D:\\src\\a"] = {{"as", true}, {"a1", false}};
  t.dirs["D:\\src\\b"] = {{"b1", false}, {"bs", true}};
  t.dirs["D:\\src\\a\\as"] = {{"x", false}};
  t.dirs["D:\\src\\b\\bs"] = {{"y", false}};
  std::vector<pkg::SourceFile> files;
  pkg::BuildFileList(t, "D:\\src", files);
  EXPECT_EQ(Relatives(files), (std::vector<std::string>{"\\r1", "\\r2", "\\a\\a1", "\\b\\b1",
                                                        "\\a\\as\\x", "\\b\\bs\\y"}));
}

TEST(BuildFileList, SourceFormsKeepSingleBackslashRelativePaths) {
  struct Case {
    const char* source;
    const char* listedSub;  // how the scan names the subfolder it lists
  } cases[] = {
      {"D:\\src", "D:\\src\\sub"},
      {"D:\\src\\", "D:\\src\\\\sub"},  // the trailing backslash is not normalised away
      {"D:\\", "D:\\\\sub"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    ScriptedTree t;
    t.dirs[c.source] = {{"readme.txt", false}, {"sub", true}};
    t.dirs[c.listedSub] = {{"a.bin", false}};
    std::vector<pkg::SourceFile> files;
    pkg::BuildFileList(t, c.source, files);
    EXPECT_EQ(Relatives(files), (std::vector<std::string>{"\\readme.txt", "\\sub\\a.bin"}));
  }
}

TEST(BuildFileList, FolderThatCannotBeListedIsSkippedAndTheScanGoesOn) {
  ScriptedTree t;
  t.dirs["S"] = {{"gone", true}, {"ok", true}, {"f", false}};
  t.dirs["S\\ok"] = {{"g", false}};
  std::vector<pkg::SourceFile> files;
  pkg::BuildFileList(t, "S", files);
  EXPECT_EQ(Relatives(files), (std::vector<std::string>{"\\f", "\\ok\\g"}));
}

// The job starts on a folder's files while the next folders are listed, and
// drops excluded ones from each folder's run as it comes.
TEST(BuildFileList, EachFolderRunIsReportedOnceAndWhatIsRemovedStaysRemoved) {
  ScriptedTree t;
  t.dirs["S"] = {{"a", false}, {"sub", true}, {"drop", false}, {"empty", true}};
  t.dirs["S\\sub"] = {{"b", false}, {"drop", false}, {"c", false}};
  t.dirs["S\\empty"] = {};
  std::vector<pkg::SourceFile> files;
  std::vector<std::vector<std::string>> runs;
  pkg::BuildFileList(t, "S", files, nullptr, [&](std::size_t from) {
    std::erase_if(files, [&](const pkg::SourceFile& f) {
      return &f >= &files[from] && f.relative.ends_with("\\drop");
    });
    std::vector<pkg::SourceFile> run(files.begin() + static_cast<std::ptrdiff_t>(from),
                                     files.end());
    runs.push_back(Relatives(run));
  });
  EXPECT_EQ(runs, (std::vector<std::vector<std::string>>{{"\\a"}, {"\\sub\\b", "\\sub\\c"}}));
  EXPECT_EQ(Relatives(files), (std::vector<std::string>{"\\a", "\\sub\\b", "\\sub\\c"}));
}

TEST(BuildFileList, MissingOrEmptySourceGivesNothing) {
  TempDir dir;
  std::filesystem::create_directories(dir / "empty/sub/deeper");
  for (const std::string& source : {(dir / "missing").string(), (dir / "empty").string()}) {
    std::vector<pkg::SourceFile> files;
    pkg::BuildFileList(pkg::SystemPlatform(), source, files);
    EXPECT_TRUE(files.empty()) << source;
  }
}

TEST(BuildFileList, RealTreeListsHiddenFilesFoldersNamedLikeFilesAndChineseNames) {
  TempDir dir;
  WriteFile(dir / "src/.hidden", "h");
  WriteFile(dir / "src/noext", "n");
  WriteFile(dir / "src/data.old/inside.txt", "i");
  WriteFile(dir / "src/数据/文件.txt", "c");
  std::filesystem::create_directories(dir / "src/empty");
  std::vector<pkg::SourceFile> files;
  pkg::BuildFileList(pkg::SystemPlatform(), (dir / "src").string(), files);

  std::map<std::string, std::string> byName;
  for (const auto& f : files) {
    EXPECT_TRUE(f.expressible) << f.relative;
    byName[f.relative] = f.name936;
  }
  ASSERT_EQ(byName.size(), 4u);
  EXPECT_EQ(byName.count("\\.hidden"), 1u);
  EXPECT_EQ(byName.count("\\noext"), 1u);
  EXPECT_EQ(byName.count("\\data.old\\inside.txt"), 1u);
  // 数据 is CA FD BE DD and 文件 CE C4 BC FE in code page 936.
  EXPECT_EQ(byName["\\数据\\文件.txt"], "\\\xCA\xFD\xBE\xDD\\\xCE\xC4\xBC\xFE.txt");
  // Files of the source folder come before those of any subfolder.
  EXPECT_TRUE(files[0].relative == "\\.hidden" || files[0].relative == "\\noext");
  EXPECT_TRUE(files[1].relative == "\\.hidden" || files[1].relative == "\\noext");
}

#ifndef _WIN32
TEST(BuildFileList, LinksNeverMakeTheScanEndlessAndEachFolderIsListedOnce) {
  TempDir dir;
  WriteFile(dir / "src/a/f.txt", "f");
  WriteFile(dir / "outside.txt", "o");
  ASSERT_EQ(::symlink((dir / "src").c_str(), (dir / "src/a/loop").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "src/a").c_str(), (dir / "src/again").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "outside.txt").c_str(), (dir / "src/filelink").c_str()), 0);
  ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "src/dangling").c_str()), 0);

  std::vector<pkg::SourceFile> files;
  pkg::BuildFileList(pkg::SystemPlatform(), (dir / "src").string(), files);
  std::vector<std::string> names = Relatives(files);
  std::sort(names.begin(), names.end());
  // The folder a is reached twice (as a and as again) but listed once; the
  // link to a file and the dangling link are entries without the folder mark.
  ASSERT_EQ(names.size(), 3u);
  EXPECT_TRUE(names[0] == "\\a\\f.txt" || names[0] == "\\again\\f.txt");
  EXPECT_EQ(names[1], "\\dangling");
  EXPECT_EQ(names[2], "\\filelink");
}

#endif

TEST(BuildFileList, NamesWithoutACodePage936FormAreMarked) {
  TempDir dir;
  const std::string emoji = "\xF0\x9F\x98\x80";                         // U+1F600
  std::vector<std::string> bad = {emoji + ".txt", "\xED\x95\x9C.txt"};  // 한: no Hangul in GBK
#ifndef _WIN32
  bad.push_back("back\\slash");         // the index would read it as a folder
  bad.push_back("bad\\dir/inner.txt");  // so would a folder's name
  bad.push_back("\xFF\xFE.bin");        // not UTF-8
#endif
  for (const auto& name : bad) WriteFile(dir / ("src/" + name), "x");
  WriteFile(dir / "src/fine.txt", "x");
  std::vector<pkg::SourceFile> files;
  pkg::BuildFileList(pkg::SystemPlatform(), U8(dir / "src"), files);
  ASSERT_EQ(files.size(), bad.size() + 1);
  for (const auto& f : files) EXPECT_EQ(f.expressible, f.relative == "\\fine.txt") << f.relative;
}

TEST(BuildFileList, StopsEarlyWhenAsked) {
  ScriptedTree t;
  t.dirs["S"] = {{"a", true}, {"f", false}};
  t.dirs["S\\a"] = {{"g", false}};
  std::atomic<bool> stop{true};
  std::vector<pkg::SourceFile> files;
  pkg::BuildFileList(t, "S", files, &stop);
  EXPECT_TRUE(t.listed.empty());
}

}  // namespace

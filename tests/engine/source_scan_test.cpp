#include "source_scan.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "control_characters.h"
#include "fault_platform.h"
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
// A folder not in dirs is gone, unless it is in locked.
class ScriptedTree : public pkgtest::ForwardingPlatform {
 public:
  std::map<std::string, std::vector<DirEntry>> dirs;
  std::set<std::string> locked;                  // there, but cannot be listed
  std::map<std::string, pkg::FileIdentity> ids;  // else one per path
  std::vector<std::string> listed;               // every path the scan asked to list

  pkg::Status ListDirectory(const std::string& p, std::vector<DirEntry>& e,
                            bool& missing) override {
    listed.push_back(p);
    missing = false;
    e.clear();
    if (locked.count(p)) return pkg::Status::Fail("cannot list '" + p + "': Access is denied");
    auto it = dirs.find(p);
    missing = it == dirs.end();
    if (missing) return pkg::Status::Fail("cannot list '" + p + "': The path was not found");
    e = it->second;
    return pkg::Status::Ok();
  }
  pkg::Status IdentityOf(const std::string& p, pkg::FileIdentity& id) override {
    auto it = ids.find(p);
    id = it != ids.end() ? it->second : pkg::FileIdentity{1, std::hash<std::string>{}(p)};
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
  ASSERT_TRUE(pkg::BuildFileList(t, "D:\\src", files).status.ok());
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
    ASSERT_TRUE(pkg::BuildFileList(t, c.source, files).status.ok());
    EXPECT_EQ(Relatives(files), (std::vector<std::string>{"\\readme.txt", "\\sub\\a.bin"}));
  }
}

// Only a folder that is no longer there may be passed over: one that is there
// but cannot be listed would leave its files out of an archive that looks
// complete.
TEST(BuildFileList, FolderGoneIsPassedOverFolderThatCannotBeListedEndsTheScan) {
  struct Case {
    const char* what;
    std::set<std::string> locked;
    const char* failedFolder;  // nullptr: the scan succeeds
    std::vector<std::string> files;
  } cases[] = {
      {"a subfolder gone", {}, nullptr, {"\\f", "\\ok\\g"}},
      {"a subfolder locked", {"S\\locked"}, "S\\locked", {"\\f"}},
      {"the source folder locked", {"S"}, "S", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedTree t;
    t.dirs["S"] = {{"gone", true}, {"locked", true}, {"ok", true}, {"f", false}};
    t.dirs["S\\locked"] = {{"l", false}};
    t.dirs["S\\ok"] = {{"g", false}};
    for (const std::string& l : c.locked) t.locked.insert(l);
    if (!c.failedFolder) t.dirs.erase("S\\locked");  // gone as well
    std::vector<pkg::SourceFile> files;
    const pkg::ScanResult r = pkg::BuildFileList(t, "S", files);
    EXPECT_EQ(Relatives(files), c.files);
    if (!c.failedFolder) {
      EXPECT_TRUE(r.status.ok()) << r.status.message();
      continue;
    }
    EXPECT_FALSE(r.status.ok());
    EXPECT_EQ(r.failedFolder, c.failedFolder);
    EXPECT_NE(r.status.message().find("Access is denied"), std::string::npos) << r.status.message();
  }
}

// A listing that fails at its start or part-way, on the real file system: the
// scan stops there and keeps none of that folder's entries.
TEST(BuildFileList, ListingThatFailsAtTheStartOrPartWayEndsTheScanNamingTheFolder) {
  TempDir dir;
  WriteFile(dir / "src/top.txt", "t");
  for (const char* name : {"a", "b", "c", "d"})
    WriteFile(dir / ("src/sub/" + std::string(name)), name);
  WriteFile(dir / "src/sub/deeper/x.txt", "x");
  const std::string source = U8(dir / "src");
  const std::string sub = pkg::SystemPlatform().JoinRelative(source, "\\sub");
  struct Case {
    bool partWay;
    int nth;  // the listing that fails: 1 the source folder, 2 sub
    std::string folder;
    std::vector<std::string> files;
  } cases[] = {
      {false, 1, source, {}},
      {true, 1, source, {}},
      {false, 2, sub, {"\\top.txt"}},
      {true, 2, sub, {"\\top.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.partWay ? "part-way" : "at the start") + ", listing " +
                 std::to_string(c.nth));
    pkgtest::FaultPlatform platform;
    platform.FailListingPartWay(c.partWay);
    platform.FailAt(pkgtest::Op::kList, c.nth);
    std::vector<pkg::SourceFile> files;
    const pkg::ScanResult r = pkg::BuildFileList(platform, source, files);
    EXPECT_FALSE(r.status.ok());
    EXPECT_NE(r.status.message().find("injected fault in list"), std::string::npos)
        << r.status.message();
    EXPECT_EQ(r.failedFolder, c.folder);
    EXPECT_EQ(Relatives(files), c.files);
    EXPECT_EQ(platform.Calls(pkgtest::Op::kList), c.nth) << "the scan goes no further";
  }
}

// A 128-bit file ID (ReFS) may repeat its low 64 bits: such folders are still
// two folders, while a folder met twice under one identity is listed once.
TEST(BuildFileList, IdentitiesDifferingOnlyInTheirHigh64BitsAreTwoFolders) {
  ScriptedTree t;
  t.dirs["S"] = {{"a", true}, {"b", true}, {"again", true}};
  t.dirs["S\\a"] = {{"x", false}};
  t.dirs["S\\b"] = {{"y", false}};
  t.dirs["S\\again"] = {{"x", false}};
  t.ids["S\\a"] = {7, 0x1234, 1};
  t.ids["S\\b"] = {7, 0x1234, 2};
  t.ids["S\\again"] = {7, 0x1234, 1};  // a link to a
  std::vector<pkg::SourceFile> files;
  ASSERT_TRUE(pkg::BuildFileList(t, "S", files).status.ok());
  EXPECT_EQ(Relatives(files), (std::vector<std::string>{"\\a\\x", "\\b\\y"}));
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
  const pkg::ScanResult r = pkg::BuildFileList(t, "S", files, nullptr, [&](std::size_t from) {
    std::erase_if(files, [&](const pkg::SourceFile& f) {
      return &f >= &files[from] && f.relative.ends_with("\\drop");
    });
    std::vector<pkg::SourceFile> run(files.begin() + static_cast<std::ptrdiff_t>(from),
                                     files.end());
    runs.push_back(Relatives(run));
  });
  EXPECT_TRUE(r.status.ok());
  EXPECT_EQ(runs, (std::vector<std::vector<std::string>>{{"\\a"}, {"\\sub\\b", "\\sub\\c"}}));
  EXPECT_EQ(Relatives(files), (std::vector<std::string>{"\\a", "\\sub\\b", "\\sub\\c"}));
}

TEST(BuildFileList, MissingOrEmptySourceGivesNothing) {
  TempDir dir;
  std::filesystem::create_directories(dir / "empty/sub/deeper");
  for (const std::string& source : {(dir / "missing").string(), (dir / "empty").string()}) {
    std::vector<pkg::SourceFile> files;
    const pkg::ScanResult r = pkg::BuildFileList(pkg::SystemPlatform(), source, files);
    EXPECT_TRUE(r.status.ok()) << r.status.message();
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
  ASSERT_TRUE(pkg::BuildFileList(pkg::SystemPlatform(), (dir / "src").string(), files).status.ok());

  std::map<std::string, std::string> byName;
  for (const auto& f : files) {
    EXPECT_EQ(f.nameProblem, pkg::NameProblem::kNone) << f.relative;
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
  ASSERT_TRUE(pkg::BuildFileList(pkg::SystemPlatform(), (dir / "src").string(), files).status.ok());
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

TEST(BuildFileList, NamesTheIndexCannotHoldAreMarkedWithTheirProblem) {
  using pkg::NameProblem;
  TempDir dir;
  const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600
  std::map<std::string, NameProblem> names = {
      {"fine.txt", NameProblem::kNone},
      {emoji + ".txt", NameProblem::kNotCodePage936},
      {"\xED\x95\x9C.txt", NameProblem::kNotCodePage936},  // 한: no Hangul in GBK
      {"del\x7F.txt", NameProblem::kControlCharacter},
  };
#ifndef _WIN32
  names["back\\slash"] = NameProblem::kNotCodePage936;         // read as a folder by the index
  names["bad\\dir/inner.txt"] = NameProblem::kNotCodePage936;  // so would a folder's name
  names["\xFF\xFE.bin"] = NameProblem::kNotCodePage936;        // not UTF-8
  names["line\nbreak.txt"] = NameProblem::kControlCharacter;
  names["\x1B[31mred.txt"] = NameProblem::kControlCharacter;
  names["tab\tdir/inner.txt"] = NameProblem::kControlCharacter;     // a folder's name
  names["\x01" + emoji + ".txt"] = NameProblem::kControlCharacter;  // the worse of the two
  names[emoji + "/\x1F.txt"] = NameProblem::kControlCharacter;
#endif
  for (const auto& [name, problem] : names) WriteFile(dir / ("src/" + name), "x");
  std::vector<pkg::SourceFile> files;
  ASSERT_TRUE(pkg::BuildFileList(pkg::SystemPlatform(), U8(dir / "src"), files).status.ok());
  std::map<std::string, NameProblem> byRelative;
  for (const auto& [name, problem] : names) {
    std::string relative = "\\" + name;
    std::replace(relative.begin(), relative.end(), '/', '\\');
    byRelative[relative] = problem;
  }
  ASSERT_EQ(files.size(), names.size());
  for (const auto& f : files) {
    const std::string shown = pkg::EscapeControlCharacters(f.relative);
    ASSERT_EQ(byRelative.count(f.relative), 1u) << shown;
    EXPECT_EQ(f.nameProblem, byRelative.at(f.relative)) << shown;
    EXPECT_EQ(f.name936.empty(), f.nameProblem != NameProblem::kNone) << shown;
  }
}

TEST(BuildFileList, StopsEarlyWhenAsked) {
  ScriptedTree t;
  t.dirs["S"] = {{"a", true}, {"f", false}};
  t.dirs["S\\a"] = {{"g", false}};
  std::atomic<bool> stop{true};
  std::vector<pkg::SourceFile> files;
  EXPECT_TRUE(pkg::BuildFileList(t, "S", files, &stop).status.ok());
  EXPECT_TRUE(t.listed.empty());
}

}  // namespace

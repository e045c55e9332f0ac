// Extraction against a file system that changes under it, and at depth: the
// extraction run in this process through a file-system layer that acts
// between its steps and counts them, and pkgtool run while a thread swaps a
// folder for a link.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#endif

#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "archive_builder.h"
#include "exit_codes.h"
#include "extract.h"
#include "run_tool.h"
#include "test_support.h"

namespace pkgtool {
namespace {

using namespace pkgtest;

// The system's layer, with a hook called before each step (its name and the
// name it is given) and a count of each step.
class StepFs : public ExtractFs {
 public:
  std::function<void(const std::string& step, const std::string& name)> before;
  std::map<std::string, std::size_t> calls;
  std::size_t maxDepth = SystemExtractFs().MaxDepth();

  pkg::Status OpenRoot(const std::string& path, bool create,
                       std::unique_ptr<Folder>& out) override {
    Step("OpenRoot", path);
    return real_.OpenRoot(path, create, out);
  }
  EntryKind KindAt(Folder& parent, const std::string& name) override {
    Step("KindAt", name);
    return real_.KindAt(parent, name);
  }
  pkg::Status IdentityAt(Folder& parent, const std::string& name, pkg::FileIdentity& id) override {
    Step("IdentityAt", name);
    return real_.IdentityAt(parent, name, id);
  }
  pkg::Status OpenFolder(Folder& parent, const std::string& name,
                         std::unique_ptr<Folder>& out) override {
    Step("OpenFolder", name);
    return real_.OpenFolder(parent, name, out);
  }
  pkg::Status MakeFolder(Folder& parent, const std::string& name) override {
    Step("MakeFolder", name);
    return real_.MakeFolder(parent, name);
  }
  pkg::Status SyncFolder(Folder& folder) override {
    Step("SyncFolder", Id(folder.identity()));
    return real_.SyncFolder(folder);
  }
  pkg::Status CreateTempFile(Folder& parent, std::unique_ptr<NewFile>& out) override {
    Step("CreateTempFile", "");
    std::unique_ptr<NewFile> file;
    pkg::Status s = real_.CreateTempFile(parent, file);
    if (s.ok()) out = std::make_unique<StepFile>(*this, std::move(file), Id(parent.identity()));
    return s;
  }
  // A folder as the steps name it.
  static std::string Id(const pkg::FileIdentity& id) {
    return std::to_string(id.volume) + ":" + std::to_string(id.index);
  }
  std::size_t MaxDepth() override { return maxDepth; }

 private:
  class StepFile : public NewFile {
   public:
    StepFile(StepFs& fs, std::unique_ptr<NewFile> file, std::string folder)
        : fs_(fs), file_(std::move(file)), folder_(std::move(folder)) {}
    pkg::Status Write(const void* data, std::size_t size) override {
      return file_->Write(data, size);
    }
    pkg::FileIdentity identity() const override { return file_->identity(); }
    pkg::Status Sync() override {
      fs_.Step("Sync", "");
      return file_->Sync();
    }
    pkg::Status Publish(const std::string& name, bool replace) override {
      fs_.Step("Publish", folder_ + " " + name);
      return file_->Publish(name, replace);
    }

   private:
    StepFs& fs_;
    std::unique_ptr<NewFile> file_;
    std::string folder_;  // Id of the folder it is made in
  };

  void Step(const std::string& step, const std::string& name) {
    ++calls[step];
    if (before) before(step, name);
  }

  ExtractFs& real_ = SystemExtractFs();
};

struct Extracted {
  int code = -1;
  std::string out, err;
};

Extracted Extract(ExtractFs& fs, const fs::path& archive, const fs::path& dest, bool sync = true) {
  Extracted r;
  ExtractRequest request{U8(archive), U8(dest), {}, {}, false, sync};
  r.code = ExtractArchive(pkg::SystemPlatform(), fs, request,
                          [&r](std::FILE* stream, const std::string& line) {
                            (stream == stdout ? r.out : r.err) += line + "\n";
                          });
  return r;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Every regular file below root, by relative path; links are not followed.
std::vector<std::string> FilesBelow(const fs::path& root) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec))
    if (it->symlink_status().type() == fs::file_type::regular)
      files.push_back(U8(fs::relative(it->path(), root).generic_string()));
  return files;
}

// Depth: each file costs the levels where its path differs from the one
// before, not its whole depth, let alone its square.
TEST(ExtractDepth, EachFileOpensOnlyTheFoldersThatDiffer) {
#ifdef _WIN32
  // Under Wine each open takes time that grows with the folder's depth (its
  // server works with full paths), which no order of opens can help.
  constexpr int kDepth = 200, kFiles = 200;
#else
  constexpr int kDepth = 1000, kFiles = 200;
#endif
  std::string deep;
  for (int i = 0; i < kDepth - 1; ++i) deep += "\\a";
  std::vector<ArchiveFile> files;
  // Two branches taken in turn at the bottom, so each file leaves one folder
  // and enters another.
  for (int i = 0; i < kFiles; ++i)
    files.push_back(
        {deep + (i % 2 ? "\\x" : "\\y") + "\\f" + std::to_string(i), ToBytes(std::to_string(i))});
  TempDir dir;
  WriteFile(dir / "a.pkg", Assemble(PiecesOf(files, true)));
  StepFs fs;
  const Extracted r = Extract(fs, dir / "a.pkg", dir / "dest");
  ASSERT_EQ(r.code, kExitOk) << r.err;
  EXPECT_TRUE(Has(r.out, "extracted 200 files")) << r.out;
  // The deep chain once to look and once to create, then a few steps per
  // file; a walk from DEST for every file would be kFiles * kDepth.
  std::size_t steps = 0;
  for (const auto& [step, n] : fs.calls) steps += n;
  EXPECT_LE(fs.calls["OpenFolder"], 2u * kDepth + 4u * kFiles);
  EXPECT_LE(steps, 6u * kDepth + 12u * kFiles);
  EXPECT_EQ(fs.calls["Publish"], std::size_t{kFiles});
}

// Each file's data is flushed before it takes its name; each folder that
// received a file or a new folder is flushed once, after the last of them.
// --no-sync flushes nothing.
TEST(ExtractSync, FlushesEachFileBeforeItsNameAndEachChangedFolderAfterItsLastName) {
  TempDir dir;
  WriteFile(dir / "a.pkg", Assemble(PiecesOf({{"\\top.txt", ToBytes("top")},
                                              {"\\a\\one.txt", ToBytes("one")},
                                              {"\\a\\b\\two.txt", ToBytes("two")},
                                              {"\\a\\three.txt", ToBytes("three")},
                                              {"\\c\\four.txt", ToBytes("four")}},
                                             true)));
  for (const bool sync : {true, false}) {
    SCOPED_TRACE(sync ? "synced" : "--no-sync");
    fs::remove_all(dir / "dest");
    fs::create_directories(dir / "dest");  // DEST itself is there: it gets names
    StepFs fs;
    std::vector<std::pair<std::string, std::string>> steps;
    fs.before = [&](const std::string& step, const std::string& name) {
      if (step == "Sync" || step == "Publish" || step == "SyncFolder" || step == "MakeFolder")
        steps.emplace_back(step, name);
    };
    const Extracted r = Extract(fs, dir / "a.pkg", dir / "dest", sync);
    ASSERT_EQ(r.code, kExitOk) << r.err;
    EXPECT_EQ(ReadFile(dir / "dest/a/b/two.txt"), ToBytes("two"));
    if (!sync) {
      EXPECT_EQ(fs.calls["Sync"], 0u);
      EXPECT_EQ(fs.calls["SyncFolder"], 0u);
      continue;
    }
    auto id = [&](const char* rel) {
      pkg::FileIdentity i;
      EXPECT_TRUE(pkg::SystemPlatform().IdentityOf(U8(dir / rel), i).ok()) << rel;
      return StepFs::Id(i);
    };
    const std::string dest = id("dest"), a = id("dest/a"), b = id("dest/a/b"), c = id("dest/c");
    std::size_t publishes = 0;
    std::map<std::string, std::size_t> lastChange, flushed, flushes;
    for (std::size_t k = 0; k < steps.size(); ++k) {
      const auto& [step, name] = steps[k];
      if (step == "Publish") {
        ++publishes;
        ASSERT_GT(k, 0u);
        EXPECT_EQ(steps[k - 1].first, "Sync") << "the data before the name: " << name;
        lastChange[name.substr(0, name.find(' '))] = k;
      } else if (step == "SyncFolder") {
        flushed[name] = k;
        ++flushes[name];
      }
    }
    EXPECT_EQ(publishes, 5u);
    // DEST got top.txt and the folders a and c; a got one.txt, three.txt and
    // b; b and c a file each.
    for (const std::string& folder : {dest, a, b, c}) {
      EXPECT_EQ(flushes[folder], 1u) << folder;
      if (lastChange.count(folder)) {
        EXPECT_GT(flushed[folder], lastChange[folder]) << folder;
      }
    }
    EXPECT_EQ(flushes.size(), 4u);
  }
}

TEST(ExtractDepth, DeeperThanTheSystemAllowsIsRefusedBeforeWriting) {
  TempDir dir;
  WriteFile(dir / "a.pkg",
            Assemble(PiecesOf(
                {{"\\ok.txt", ToBytes("ok")}, {"\\a\\b\\c\\d\\e.txt", ToBytes("deep")}}, false)));
  StepFs fs;
  fs.maxDepth = 3;
  const Extracted r = Extract(fs, dir / "a.pkg", dir / "dest");
  EXPECT_EQ(r.code, kExitFailed);
  EXPECT_TRUE(Has(r.err,
                  "index record 2: refused the name \\a\\b\\c\\d\\e.txt: it lies 4 "
                  "folders deep"))
      << r.err;
  EXPECT_TRUE(Has(r.err, "allows 3")) << r.err;
  EXPECT_TRUE(Has(r.err, "nothing was extracted")) << r.err;
  EXPECT_FALSE(fs::exists(dir / "dest"));
}

// DEST, and pack's SRC and OUT, are taken from the current folder once: on
// Windows a bare drive ("C:") is that drive's current folder, not its root.
TEST(PkgtoolPaths, RelativePathsAndBareDrivesMeanTheCurrentFolder) {
  TempDir dir;
  WriteFile(dir / "src/bare-drive-check.txt", "1");
  fs::create_directories(dir / "here");
  const fs::path before = fs::current_path();
  struct Case {
    fs::path cwd;
    std::vector<std::string> args;
    fs::path expected;
  };
  std::vector<Case> cases = {
      {dir / "here", {"pack", "../src", "rel.pkg"}, dir / "here/rel.pkg"},
      {dir / "here", {"extract", "rel.pkg", "out"}, dir / "here/out/bare-drive-check.txt"},
  };
#ifdef _WIN32
  const std::string drive = U8(dir.path()).substr(0, 2);  // "C:"
  cases.push_back({dir / "src", {"pack", drive, U8(dir / "bare.pkg")}, dir / "bare.pkg"});
  cases.push_back(
      {dir / "here", {"extract", U8(dir / "bare.pkg"), drive}, dir / "here/bare-drive-check.txt"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
    fs::current_path(c.cwd);
    const ToolRun r = RunTool(c.args);
    fs::current_path(before);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(fs::exists(c.expected)) << r.out << r.err;
  }
#ifdef _WIN32
  const fs::path atRoot = fs::path(drive + "\\") / "bare-drive-check.txt";
  EXPECT_FALSE(fs::exists(atRoot));
  std::error_code ec;
  fs::remove(atRoot, ec);
#endif
}

// A folder below DEST swapped for a link to a folder outside, at each step of
// extraction in turn: nothing may land outside, and the swap must not pass
// as a full success. Where links cannot be made (Windows under Wine), the
// folder is swapped for another folder, which stands for where the link
// would lead: the cases that need a link are left out.
struct SwapCase {
  const char* what;
  std::vector<std::string> names;  // in the archive
  const char* folder;              // below DEST, swapped
  const char* step;                // before the n-th call of this step
  std::size_t nth;
  const char* message;  // after "'DEST/folder" when it begins with a quote
  bool needsLink;
};

const SwapCase kSwapCases[] = {
    {"before the folder is opened to write",
     {"\\sub\\f1", "\\sub\\f2"},
     "sub",
     "OpenFolder",
     2,
     "is a link, which extraction does not follow",
     true},
    {"after a first file went into it",
     {"\\sub\\f1", "\\sub\\f2", "\\sub\\f3"},
     "sub",
     "CreateTempFile",
     2,
     "was moved or replaced while files were extracted into it; the file",
     false},
    {"just before a file takes its name",
     {"\\sub\\f1", "\\sub\\f2"},
     "sub",
     "Publish",
     1,
     "1 file written below it is not at its place",
     false},
    {"a folder higher up",
     {"\\sub\\deep\\f1", "\\sub\\deep\\f2"},
     "sub",
     "CreateTempFile",
     2,
     "' was moved or replaced while files were extracted into it: 2 files",
     false},
    {"while it is only looked at",
     {"\\sub\\f1"},
     "sub",
     "KindAt",
     2,
     "is a link, which extraction does not follow",
     true},
};

void PrintTo(const SwapCase& c, std::ostream* os) {
  *os << c.what;
}

class ExtractSwapTest : public testing::TestWithParam<SwapCase> {};

TEST_P(ExtractSwapTest, NothingLandsOutsideAndTheRunFails) {
  const SwapCase& c = GetParam();
#ifdef _WIN32
  if (c.needsLink) GTEST_SKIP() << "needs a link";
  const std::string outside = std::string("dest/") + c.folder;  // the replacement
#else
  const std::string outside = "outside";
#endif
  TempDir dir;
  std::vector<ArchiveFile> files;
  for (const std::string& n : c.names) files.push_back({n, ToBytes("data of " + n)});
  WriteFile(dir / "a.pkg", Assemble(PiecesOf(files, false)));
  fs::create_directories(dir / "outside");
  fs::create_directories(dir / "dest" / c.folder);
  StepFs fs;
  std::size_t seen = 0;
  bool swapped = false;
  fs.before = [&](const std::string& step, const std::string&) {
    if (step != c.step || ++seen != c.nth) return;
    fs::rename(dir / "dest" / c.folder, dir / "moved");
#ifdef _WIN32
    fs::create_directory(dir / "dest" / c.folder);
#else
    fs::create_directory_symlink(dir / "outside", dir / "dest" / c.folder);
#endif
    swapped = true;
  };
  const Extracted r = Extract(fs, dir / "a.pkg", dir / "dest");
  ASSERT_TRUE(swapped);
  EXPECT_TRUE(FilesBelow(dir / outside).empty()) << FilesBelow(dir / outside).front();
  EXPECT_EQ(r.code, kExitFailed) << r.out;
#ifdef _WIN32
  // Wine keeps open files and folders by their paths: after the rename their
  // handles fail, and so does removing a temporary file through one, where
  // Windows itself goes on. What must hold either way is checked above.
  return;
#endif
  const std::string shown =
      c.message[0] == '\'' ? "'" + U8(dir / "dest" / c.folder) + c.message : c.message;
  EXPECT_TRUE(Has(r.err, shown)) << r.err;
  // No temporary file is left behind, wherever the folder went.
  for (const std::string& f : FilesBelow(dir.path()))
    EXPECT_EQ(f.find(".tmp"), std::string::npos) << f;
}

INSTANTIATE_TEST_SUITE_P(Steps, ExtractSwapTest, testing::ValuesIn(kSwapCases),
                         [](const testing::TestParamInfo<SwapCase>& info) {
                           std::string name;
                           for (const char* p = info.param.what; *p; ++p)
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           return name;
                         });

#ifndef _WIN32
// Removes a tree below the folder fd, however deep: each level is reached
// from the one above, as paths past PATH_MAX cannot be.
void RemoveBelow(int fd) {
  DIR* d = fdopendir(dup(fd));
  if (!d) return;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const int sub = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (sub >= 0) {
      RemoveBelow(sub);
      close(sub);
      unlinkat(fd, name.c_str(), AT_REMOVEDIR);
    } else {
      unlinkat(fd, name.c_str(), 0);
    }
  }
  closedir(d);
}

// Opening each level from the one above also lifts the system's limit on the
// length of a path.
TEST(ExtractDepth, PathsLongerThanTheSystemAllowsAreExtracted) {
  constexpr int kLevels = 1500;  // 4,500 characters, past PATH_MAX
  std::string name;
  for (int i = 0; i < kLevels; ++i) name += "\\ab";
  name += "\\f.txt";
  TempDir dir;
  WriteFile(dir / "a.pkg", Assemble(PiecesOf({{name, ToBytes("at the bottom")}}, true)));
  const ToolRun r = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "dest")});
  EXPECT_EQ(r.exitCode, 0) << r.err.substr(0, 300);
  EXPECT_TRUE(Has(r.out, "extracted 1 file")) << r.out.substr(0, 300);
  int fd = open((dir / "dest").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  const int root = fd;
  int depth = 0;
  for (; depth < kLevels; ++depth) {
    const int next = openat(fd, "ab", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd != root) close(fd);
    fd = next;
    if (fd < 0) break;
  }
  EXPECT_EQ(depth, kLevels);
  if (fd >= 0) {
    char buf[32] = {};
    const int file = openat(fd, "f.txt", O_RDONLY);
    EXPECT_GE(file, 0);
    if (file >= 0) {
      EXPECT_EQ(std::string(buf, static_cast<std::size_t>(read(file, buf, sizeof buf))),
                "at the bottom");
      close(file);
    }
    close(fd);
  }
  RemoveBelow(root);
  close(root);
}

// The same race for real: pkgtool extracts 3,000 files below \sub while a
// thread replaces DEST/sub with a link to a folder outside as soon as the
// first file is there.
TEST(ExtractRace, FolderSwappedForALinkWhileExtractingLeadsNothingOutside) {
  constexpr int kFiles = 3000;
  TempDir dir;
  std::vector<ArchiveFile> files;
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "\\sub\\f%05d", i);
    files.push_back({name, ToBytes("x")});
  }
  WriteFile(dir / "a.pkg", Assemble(PiecesOf(files, false)));
  fs::create_directories(dir / "outside");
  std::atomic<bool> done{false}, swapped{false};
  std::thread attacker([&] {
    std::error_code ec;
    while (!done && !fs::exists(dir / "dest/sub/f00000", ec)) std::this_thread::yield();
    if (done) return;
    fs::rename(dir / "dest/sub", dir / "dest/moved", ec);
    if (ec) return;
    fs::create_directory_symlink(dir / "outside", dir / "dest/sub", ec);
    swapped = !ec;
  });
  const ToolRun r = RunTool({"extract", U8(dir / "a.pkg"), U8(dir / "dest")});
  done = true;
  attacker.join();
  EXPECT_TRUE(FilesBelow(dir / "outside").empty())
      << FilesBelow(dir / "outside").size() << " files outside DEST";
  if (!swapped) GTEST_SKIP() << "the swap came too late to race";
  const std::size_t inPlace = FilesBelow(dir / "dest/moved").size();
  if (inPlace < kFiles) {
    EXPECT_EQ(r.exitCode, 1) << inPlace << " files in place\n" << r.out.substr(r.out.size() - 200);
    EXPECT_TRUE(Has(r.err, "moved or replaced")) << r.err.substr(0, 500);
  }
}
#endif

}  // namespace
}  // namespace pkgtool

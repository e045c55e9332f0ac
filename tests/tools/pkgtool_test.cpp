// pkgtool pack as a script would use it: arguments in, archive and exit code
// out; and as a person at a terminal sees it. POSIX only: Ctrl-C is a signal
// and the terminal a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "pkg_format.h"
#include "pkg_reader.h"
#include "run_tool.h"
#include "test_support.h"

namespace {

using namespace pkgtest;

pkg::PkgArchive ReadArchiveFile(const fs::path& p, const std::vector<std::uint8_t>& key,
                                bool* ok = nullptr) {
  const Bytes raw = ReadFile(p);
  pkg::TMemoryStream in;
  in.Write(raw.data(), raw.size());
  pkg::PkgArchive a;
  const pkg::Status s = pkg::ReadArchive(in, key, a);
  if (ok)
    *ok = s.ok();
  else
    EXPECT_TRUE(s.ok()) << s.message();
  return a;
}

TEST(PkgtoolPack, PacksWithTheGivenOptionsAndReportsEachStep) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "alpha");
  WriteFile(dir / "src/数据/b.bin", "beta");
  WriteFile(dir / "src/skip.me", "gone");
  const ToolRun r = RunTool({"pack", (dir / "src").string(), (dir / "o.pkg").string(), "--compress",
                             "--type", "$10", "--key", "3a7F0C52e9", "--exclude", "\\SKIP.ME"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.find("(1/5) 正在创建要打包的文件列表...\n(2/5) 正在创建PKG文件头...\n"), 0u);
  EXPECT_NE(r.out.find("(3/5) 正在打包文件: \\数据\\b.bin\n"), std::string::npos);
  EXPECT_NE(r.out.find("(4/5) 正在生成索引信息...\n(5/5) 正在保存...\n打包结束，耗时"),
            std::string::npos);
  const auto a = ReadArchiveFile(dir / "o.pkg", {0x3A, 0x7F, 0x0C, 0x52, 0xE9});
  EXPECT_EQ(a.header.type, 16);
  EXPECT_EQ(a.header.compression, 1u);
  EXPECT_EQ(a.records.size(), 2u);
}

TEST(PkgtoolPack, GameChoosesTheBuiltInKey) {
  struct Case {
    std::vector<std::string> flags;
    pkg::BuiltInKey key;
  } cases[] = {
      {{}, pkg::kGame1Key}, {{"--game", "1"}, pkg::kGame1Key}, {{"--game", "2"}, pkg::kGame2Key}};
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir / "src/a", "a");
    std::vector<std::string> args = {"pack", (dir / "src").string(), (dir / "o.pkg").string()};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    ASSERT_EQ(RunTool(args).exitCode, 0);
    bool ok = false;
    ReadArchiveFile(dir / "o.pkg", {c.key.begin(), c.key.end()}, &ok);
    EXPECT_TRUE(ok);
  }
}

TEST(PkgtoolPack, BadCommandLinesExitWithUsageAndWriteNothing) {
  TempDir dir;
  WriteFile(dir / "src/a", "a");
  const std::string src = (dir / "src").string(), out = (dir / "o.pkg").string();
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"pack"}, "give the source folder and the output archive"},
      {{"pack", src}, "give the source folder and the output archive"},
      {{"pack", src, out, "extra"}, "give the source folder and the output archive"},
      {{"pack", src, out, "--type"}, "--type needs a number"},
      {{"pack", src, out, "--type", "12 "}, "is not a 32-bit integer"},
      {{"pack", src, out, "--type", "2147483648"}, "is not a 32-bit integer"},
      {{"pack", src, out, "--key", "ABC"}, "odd number of characters"},
      {{"pack", src, out, "--key", "3A 7"}, "at character 3 is not two hex digits"},
      {{"pack", src, out, "--key", ""}, "the key is empty"},
      {{"pack", src, out, "--game", "3"}, "--game takes 1 or 2"},
      {{"pack", src, out, "--game", "1", "--key", "AA"}, "give one of --game and --key"},
      {{"pack", src, out, "--fast"}, "unknown option '--fast'"},
      {{"pack", (dir / "nope").string(), out}, "is not a folder"},
      {{"pack", (dir / "src/a").string(), out}, "is not a folder"},
      {{"pack", src, ""}, "the output archive path is empty"},
      {{"unpack"}, "unknown command 'unpack'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const ToolRun r = RunTool(c.args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "o.pkg"));
  }
}

TEST(PkgtoolPack, JobFailuresExitWithOneAndSayWhy) {
  TempDir dir;
  fs::create_directories(dir / "empty");
  WriteFile(dir / "src/a", "a");
  WriteFile(dir / "ctrl/a", "a");
  WriteFile(dir / "ctrl/sub/new\nline.txt", "n");
  WriteFile(dir / "deep/a", "a");
  const FolderPastPathMax deep(dir / "deep");
  WriteFile(dir / "ro.pkg", "older archive");
  fs::permissions(dir / "ro.pkg", fs::perms::owner_read);
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> messages;
  } cases[] = {
      {{"pack", (dir / "empty").string(), (dir / "o.pkg").string()}, {"没有需要打包的文件！"}},
      {{"pack", (dir / "src").string(), (dir / "none/o.pkg").string()},
       {"无法创建PKG文件！", "none/o.pkg"}},
      {{"pack", (dir / "src").string(), (dir / "ro.pkg").string()},
       {"无法创建PKG文件！", "ro.pkg", "read-only"}},
      {{"pack", (dir / "ctrl").string(), (dir / "o.pkg").string()},
       {"无法打开源文件：" + (dir / "ctrl/sub/new\\x0Aline.txt").string(),
        "control character \\x0A"}},
      {{"pack", (dir / "deep").string(), (dir / "o.pkg").string()},
       {"无法打开源文件：" + deep.path() + "/", "File name too long"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    const ToolRun r = RunTool(c.args);
    EXPECT_EQ(r.exitCode, 1);
    for (const std::string& m : c.messages) EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 2) << "a name broke a line: " << r.err;
    EXPECT_FALSE(fs::exists(dir / "o.pkg"));
  }
  EXPECT_EQ(ReadFile(dir / "ro.pkg"), ToBytes("older archive"));
}

// Linux keeps names apart that differ only in letter case; Windows takes
// them for one. pack warns of each pair after the outcome, from the names
// it packed (excluded files are not), and still succeeds; so does the dry run.
TEST(PkgtoolPack, WarnsOfNamesThatDifferOnlyInLetterCase) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  WriteFile(dir / "src/A.TXT", "A");
  WriteFile(dir / "src/Data", "file");
  WriteFile(dir / "src/data/a.bin", "below");
  WriteFile(dir / "src/data/\xCF\x83", "sigma");
  WriteFile(dir / "src/DATA/\xCE\xA3", "SIGMA");
  WriteFile(dir / "src/data/left out", "x");
  WriteFile(dir / "src/data/Left Out", "x");
  for (const bool dryRun : {false, true}) {
    SCOPED_TRACE(dryRun ? "dry run" : "pack");
    std::vector<std::string> args = {"pack", (dir / "src").string(), (dir / "o.pkg").string(),
                                     "--exclude", "\\data\\left out"};
    if (dryRun) args.push_back("--dry-run");
    const ToolRun r = RunTool(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string warnings =
        "warning: \\A.TXT and \\a.txt differ only in letter case; extracted on Windows they "
        "would be one file\n"
        "warning: \\Data differs only in letter case from the folder of \\data\\a.bin; "
        "extracted on Windows the file and the folder would collide\n"
        "warning: \\DATA\\\xCE\xA3 and \\data\\\xCF\x83 differ only in letter case; "
        "extracted on Windows they would be one file\n";
    if (dryRun) {
      EXPECT_NE(r.out.find(warnings + "would pack 6 files"), std::string::npos) << r.out;
    } else {
      const std::size_t outcome = r.out.find("打包结束");
      ASSERT_NE(outcome, std::string::npos) << r.out;
      EXPECT_EQ(r.out.substr(r.out.find('\n', outcome) + 1), warnings);
    }
  }
}

TEST(PkgtoolPack, HelpDescribesTheOptions) {
  const ToolRun r = RunTool({"pack", "--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* flag :
       {"--compress", "--type", "--game", "--key", "--exclude", "--no-reuse", "--reuse-from"})
    EXPECT_NE(r.out.find(flag), std::string::npos) << flag;
}

// A compressed repack copies what the older archive holds unchanged and says
// so after the outcome; the archive is the one a fresh pack writes.
TEST(PkgtoolPack, ReusesTheOlderArchiveAndSaysHowMuch) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", Deterministic(3000, 1, true));
  WriteFile(dir / "src/b.txt", Deterministic(2000, 2, true));
  const std::string src = (dir / "src").string(), out = (dir / "o.pkg").string();
  const std::string other = (dir / "other.pkg").string();
  ASSERT_EQ(RunTool({"pack", src, out, "--compress", "--no-reuse"}).exitCode, 0);
  const Bytes fresh = ReadFile(dir / "o.pkg");
  ASSERT_EQ(RunTool({"pack", src, other, "--compress", "--game", "2"}).exitCode, 0);
  WriteFile(dir / "src/b.txt", Deterministic(2000, 3, true));
  ASSERT_EQ(RunTool({"pack", src, (dir / "changed.pkg").string(), "--compress"}).exitCode, 0);
  const Bytes changed = ReadFile(dir / "changed.pkg");
  WriteFile(dir / "src/b.txt", Deterministic(2000, 2, true));

  struct Case {
    std::vector<std::string> flags;
    std::string line;
  } cases[] = {
      {{}, "reused 2 files (5000 bytes), compressed 0 files (0 bytes)\n"},
      {{"--no-reuse"},
       "reused 0 files (0 bytes), compressed 2 files (5000 bytes); nothing reused: reuse is "
       "turned off\n"},
      {{"--reuse-from", other},
       "reused 0 files (0 bytes), compressed 2 files (5000 bytes); nothing reused: the archive "
       "at '" +
           other + "' does not open with this key\n"},
      {{"--reuse-from", (dir / "changed.pkg").string()},
       "reused 1 file (3000 bytes), compressed 1 file (2000 bytes)\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"pack", src, out, "--compress"};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    const ToolRun r = RunTool(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with(c.line)) << r.out;
    EXPECT_EQ(ReadFile(dir / "o.pkg"), fresh);
  }
  EXPECT_EQ(ReadFile(dir / "changed.pkg"), changed) << "the archive reused from is only read";
  EXPECT_EQ(RunTool({"pack", src, out, "--compress", "--no-reuse", "--reuse-from", other}).exitCode,
            2);
  EXPECT_EQ(RunTool({"pack", src, out, "--reuse-from", other}).exitCode, 2);
  EXPECT_EQ(RunTool({"pack", src, out, "--compress", "--reuse-from"}).exitCode, 2);
}

struct TerminalRun {
  int exitCode = -1;
  std::string seen;  // everything written to the terminal
};

// Runs pkgtool on a pseudo-terminal 100 columns wide.
TerminalRun RunOnTerminal(const std::vector<std::string>& args) {
  TerminalRun run;
  winsize size{};
  size.ws_row = 24;
  size.ws_col = 100;
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
  if (pid < 0) {
    ADD_FAILURE() << "no pseudo-terminal";
    return run;
  }
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(PKGTOOL_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(PKGTOOL_PATH, argv.data());
    _exit(127);
  }
  std::string& seen = run.seen;
  char buf[4096];
  for (;;) {
    const ssize_t n = read(terminal, buf, sizeof buf);
    if (n > 0) {
      seen.append(buf, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO once the child has closed the terminal
    }
  }
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

// On a terminal the steps share one line, rewritten in place, with the
// totals the job found in its scan; only the outcome ends a line.
TEST(PkgtoolPack, OnATerminalProgressStaysOnOneUpdatingLine) {
  TempDir dir;
  for (int i = 0; i < 3; ++i)
    WriteFile(dir / "src" / ("f" + std::to_string(i)), Deterministic(100'000, i, true));
  WriteFile(dir / "src/skip", "left out");
  const TerminalRun run = RunOnTerminal(
      {"pack", (dir / "src").string(), (dir / "o.pkg").string(), "--exclude", "\\skip"});
  const std::string& seen = run.seen;
  EXPECT_EQ(run.exitCode, 0) << seen;

  const std::size_t outcome = seen.find("打包结束");
  ASSERT_NE(outcome, std::string::npos) << seen;
  EXPECT_EQ(seen.find('\n'), seen.find("\r\n", outcome) + 1) << seen;
  // Files follow each other too fast for each to be drawn; the first of the
  // step is.
  for (const char* part : {"\r(1/5) 0/3 files, 0 B of 293.0 KiB", "\r(3/5) 0/3 files", "left  \\f",
                           "\r(5/5) 3/3 files, 293.0 KiB of 293.0 KiB"})
    EXPECT_NE(seen.find(part), std::string::npos) << part << "\n" << seen;
  EXPECT_EQ(seen.find("\\skip"), std::string::npos) << seen;
  bool ok = false;
  ReadArchiveFile(dir / "o.pkg", {pkg::kGame1Key.begin(), pkg::kGame1Key.end()}, &ok);
  EXPECT_TRUE(ok);
}

// A large file's bytes move the line while it is compressed, by the bytes
// really stored: some of its 4 MiB are counted before the file is done.
TEST(PkgtoolPack, OnATerminalProgressMovesWithinALargeFile) {
  TempDir dir;
  WriteFile(dir / "src/big.bin", Deterministic(4 << 20, 7, false));
  for (const char* threads : {"1", "2"}) {
    SCOPED_TRACE(std::string("threads ") + threads);
    const TerminalRun run = RunOnTerminal({"pack", (dir / "src").string(), (dir / "o.pkg").string(),
                                           "--compress", "--no-reuse", "--threads", threads});
    ASSERT_EQ(run.exitCode, 0) << run.seen;
    EXPECT_NE(run.seen.find("\r(1/5) 0/1 files, 0 B of 4.0 MiB"), std::string::npos) << run.seen;
    const std::string storing = "\r(3/5) 0/1 files, ";
    std::vector<std::string> within;
    for (std::size_t at = run.seen.find(storing); at != std::string::npos;
         at = run.seen.find(storing, at + 1)) {
      const std::string done =
          run.seen.substr(at + storing.size(), run.seen.find(" of ", at) - (at + storing.size()));
      if (done != "0 B") within.push_back(done);
    }
    // Bytes of the file counted while it was still being stored: at least
    // the first report, 1 MiB in.
    ASSERT_FALSE(within.empty()) << run.seen;
    EXPECT_NE(std::find(within.begin(), within.end(), "1.0 MiB"), within.end()) << run.seen;
    EXPECT_NE(run.seen.find("\r(5/5) 1/1 files, 4.0 MiB of 4.0 MiB"), std::string::npos)
        << run.seen;
  }
}

// Runs pkgtool with args, sends Ctrl-C (SIGINT) once its output holds marker,
// and returns its exit code.
int InterruptOnceSeen(const std::vector<std::string>& args, const std::string& marker) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    std::vector<char*> argv{const_cast<char*>(PKGTOOL_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(PKGTOOL_PATH, argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  std::string seen;
  char buf[256];
  while (seen.find(marker) == std::string::npos) {
    const ssize_t n = read(pipeFds[0], buf, sizeof buf);
    if (n <= 0) break;
    seen.append(buf, static_cast<std::size_t>(n));
  }
  kill(pid, SIGINT);
  while (read(pipeFds[0], buf, sizeof buf) > 0) {
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PkgtoolPack, CtrlCStopsTheJobAndLeavesTheOlderArchive) {
  TempDir dir;
  for (int i = 0; i < 40; ++i)
    WriteFile(dir / "src" / ("f" + std::to_string(i)), Deterministic(1 << 20, i, false));
  WriteFile(dir / "o.pkg", "older archive");
  // Interrupt once the job is storing files.
  EXPECT_EQ(InterruptOnceSeen(
                {"pack", (dir / "src").string(), (dir / "o.pkg").string(), "--compress"}, "(3/5)"),
            130);
  EXPECT_EQ(ReadFile(dir / "o.pkg"), ToBytes("older archive"));
  EXPECT_EQ(ListNames(dir.path()), (std::vector<std::string>{"o.pkg", "src"}));
}

// Extraction stopped by Ctrl-C leaves whole files only: the one being
// written is removed, temporary name and all.
TEST(PkgtoolExtract, CtrlCLeavesNoHalfWrittenFile) {
  TempDir dir;
  for (int i = 0; i < 40; ++i)
    WriteFile(dir / "src" / ("f" + std::to_string(i)), Deterministic(1 << 20, i, false));
  ASSERT_EQ(RunTool({"pack", (dir / "src").string(), (dir / "o.pkg").string()}).exitCode, 0);
  // Interrupt once the first file is out.
  EXPECT_EQ(
      InterruptOnceSeen({"extract", (dir / "o.pkg").string(), (dir / "dest").string()}, "\\f"),
      130);
  const std::vector<std::string> names = ListNames(dir / "dest");
  EXPECT_GE(names.size(), 1u);
  EXPECT_LT(names.size(), 40u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ReadFile(dir / "dest" / name), ReadFile(dir / "src" / name));
  }
}

}  // namespace

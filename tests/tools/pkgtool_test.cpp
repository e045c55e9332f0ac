// pkgtool as a script would use it: arguments in, archive and exit code out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pkg_format.h"
#include "pkg_reader.h"
#include "test_support.h"

namespace {

using namespace pkgtest;

struct ToolRun {
  int exitCode = -1;
  std::string out, err;
};

std::string Slurp(const fs::path& p) {
  const Bytes b = ReadFile(p);
  return std::string(b.begin(), b.end());
}

ToolRun RunTool(const std::vector<std::string>& args) {
  TempDir io;
  const std::string outPath = (io / "out").string(), errPath = (io / "err").string();
  const pid_t pid = fork();
  if (pid == 0) {
    const int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv{const_cast<char*>(PKGTOOL_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(PKGTOOL_PATH, argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ToolRun r;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = Slurp(outPath);
  r.err = Slurp(errPath);
  return r;
}

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
  struct Case {
    std::vector<std::string> args;
    std::vector<const char*> messages;
  } cases[] = {
      {{"pack", (dir / "empty").string(), (dir / "o.pkg").string()}, {"没有需要打包的文件！"}},
      {{"pack", (dir / "src").string(), (dir / "none/o.pkg").string()},
       {"无法创建PKG文件！", "none/o.pkg"}},
  };
  for (const Case& c : cases) {
    const ToolRun r = RunTool(c.args);
    EXPECT_EQ(r.exitCode, 1);
    for (const char* m : c.messages) EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
  }
}

TEST(PkgtoolPack, HelpDescribesTheOptions) {
  const ToolRun r = RunTool({"pack", "--help"});
  EXPECT_EQ(r.exitCode, 0);
  for (const char* flag : {"--compress", "--type", "--game", "--key", "--exclude"})
    EXPECT_NE(r.out.find(flag), std::string::npos) << flag;
}

TEST(PkgtoolPack, CtrlCStopsTheJobAndLeavesTheOlderArchive) {
  TempDir dir;
  for (int i = 0; i < 40; ++i)
    WriteFile(dir / "src" / ("f" + std::to_string(i)), Deterministic(1 << 20, i, false));
  WriteFile(dir / "o.pkg", "older archive");
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const std::string src = (dir / "src").string(), out = (dir / "o.pkg").string();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    execl(PKGTOOL_PATH, PKGTOOL_PATH, "pack", src.c_str(), out.c_str(), "--compress", nullptr);
    _exit(127);
  }
  close(pipeFds[1]);
  // Interrupt once the job is storing files.
  std::string seen;
  char buf[256];
  while (seen.find("(3/5)") == std::string::npos) {
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
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_EQ(ReadFile(dir / "o.pkg"), ToBytes("older archive"));
  EXPECT_EQ(ListNames(dir.path()), (std::vector<std::string>{"o.pkg", "src"}));
}

}  // namespace

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "run_tool.h"
#include "test_support.h"

namespace pkgtest {
namespace {

std::string Slurp(const fs::path& p) {
  const Bytes b = ReadFile(p);
  return std::string(b.begin(), b.end());
}

}  // namespace

std::string ToolPath() {
  return PKGTOOL_PATH;
}

ToolRun RunTool(const std::vector<std::string>& args) {
  return RunToolWithin(args, 0);
}

// addressSpace 0: no limit.
ToolRun RunToolWithin(const std::vector<std::string>& args, unsigned long long addressSpace) {
  TempDir io;
  const std::string outPath = (io / "out").string(), errPath = (io / "err").string();
  const pid_t pid = fork();
  if (pid == 0) {
    if (addressSpace != 0) {
      const rlimit limit{addressSpace, addressSpace};
      setrlimit(RLIMIT_AS, &limit);
    }
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv{const_cast<char*>(PKGTOOL_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(PKGTOOL_PATH, argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  ToolRun r;
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  r.peakKiB = usage.ru_maxrss;
  r.out = Slurp(outPath);
  r.err = Slurp(errPath);
  return r;
}

}  // namespace pkgtest

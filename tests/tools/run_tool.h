// Runs pkgtool as a script would: arguments in, exit code and both outputs
// back. The POSIX way forks and execs; the Windows way uses CreateProcessW,
// so the same tests run natively and under Wine.
#pragma once

#include <string>
#include <vector>

namespace pkgtest {

struct ToolRun {
  int exitCode = -1;
  std::string out, err;
};

// args are UTF-8; stdin is empty, stdout and stderr go to files.
ToolRun RunTool(const std::vector<std::string>& args);

// The path of the pkgtool program under test.
std::string ToolPath();

}  // namespace pkgtest

// Runs pkgtool as a script would: arguments in, exit code and both outputs
// back. The POSIX way forks and execs; the Windows way uses CreateProcessW,
// so the same tests run natively and under Wine.
#pragma once

#include <string>
#include <vector>

namespace pkgtest {

struct ToolRun {
  int exitCode = -1;  // -1 when a signal ended it
  int signal = 0;     // the signal that ended it (POSIX)
  long peakKiB = 0;   // its maximum resident set (POSIX)
  std::string out, err;
};

// args are UTF-8; stdin is empty, stdout and stderr go to files.
ToolRun RunTool(const std::vector<std::string>& args);

#ifndef _WIN32
// RunTool with the child's address space limited to addressSpace bytes, so
// that a test sees what pkgtool does when memory runs out.
ToolRun RunToolWithin(const std::vector<std::string>& args, unsigned long long addressSpace);
#endif

// The path of the pkgtool program under test.
std::string ToolPath();

}  // namespace pkgtest

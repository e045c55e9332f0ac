// pkgtool: the console companion of the packer, for scripts and checks.
#include <cstdio>
#include <string>
#include <vector>

#include "console.h"
#include "exit_codes.h"
#include "pack_command.h"

namespace {

const char* const kHelp =
    "usage: pkgtool COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  pack SRC OUT [options]   pack the folder SRC into the .pkg archive OUT\n"
    "\n"
    "Run 'pkgtool COMMAND --help' for a command's options.\n";

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = pkgtool::Utf8Arguments(argc, argv);
  if (args.size() < 2 || args[1] == "--help" || args[1] == "-h") {
    std::fputs(kHelp, args.size() < 2 ? stderr : stdout);
    return args.size() < 2 ? pkgtool::kExitUsage : pkgtool::kExitOk;
  }
  const std::vector<std::string> rest(args.begin() + 2, args.end());
  if (args[1] == "pack") return pkgtool::RunPack(rest);
  pkgtool::PrintLine(stderr, "pkgtool: unknown command '" + args[1] + "'");
  std::fputs(kHelp, stderr);
  return pkgtool::kExitUsage;
}

// pkgtool: the console companion of the packer, for scripts and checks.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"
#include "exit_codes.h"

namespace {

const char* const kHelp =
    "usage: pkgtool COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  pack SRC OUT [options]       pack the folder SRC into the .pkg archive OUT\n"
    "  list ARCHIVE [options]       show the header and one line per file\n"
    "  verify ARCHIVE [options]     check everything the layout allows, one line per problem\n"
    "  extract ARCHIVE DEST [opts]  write the files below the folder DEST\n"
    "\n"
    "Run 'pkgtool COMMAND --help' for a command's options.\n"
    "Exit codes: 0 ok, 1 the archive or the job failed, 2 bad command line,\n"
    "130 interrupted by Ctrl-C.\n";

int Run(int argc, char** argv) {
  const std::vector<std::string> args = pkgtool::Utf8Arguments(argc, argv);
  if (args.size() < 2 || args[1] == "--help" || args[1] == "-h") {
    std::fputs(kHelp, args.size() < 2 ? stderr : stdout);
    return args.size() < 2 ? pkgtool::kExitUsage : pkgtool::kExitOk;
  }
  const std::vector<std::string> rest(args.begin() + 2, args.end());
  if (args[1] == "pack") return pkgtool::RunPack(rest);
  if (args[1] == "list") return pkgtool::RunList(rest);
  if (args[1] == "verify") return pkgtool::RunVerify(rest);
  if (args[1] == "extract") return pkgtool::RunExtract(rest);
  pkgtool::PrintLine(stderr, "pkgtool: unknown command '" + args[1] + "'");
  std::fputs(kHelp, stderr);
  return pkgtool::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // Running out of memory is a failure to report like any other, not an abort.
  try {
    return Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("pkgtool: the system has no memory left for this command\n", stderr);
    return pkgtool::kExitFailed;
  }
}

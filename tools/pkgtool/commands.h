// pkgtool's commands. Each takes the arguments after its name and returns the
// process's exit code (exit_codes.h).
#pragma once

#include <string>
#include <vector>

namespace pkgtool {

// pkgtool pack SRC OUT [--compress] [--type N] [--game 1|2 | --key HEX]
//   [--exclude REL]... [--exclude-from FILE]...
int RunPack(const std::vector<std::string>& args);
// pkgtool list ARCHIVE [--game 1|2|auto | --key HEX]
int RunList(const std::vector<std::string>& args);
// pkgtool verify ARCHIVE [--game 1|2|auto | --key HEX]
int RunVerify(const std::vector<std::string>& args);
// pkgtool extract ARCHIVE DEST [--game 1|2|auto | --key HEX] [--only REL]... [--force]
int RunExtract(const std::vector<std::string>& args);

}  // namespace pkgtool

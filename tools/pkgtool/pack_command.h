#pragma once

#include <string>
#include <vector>

namespace pkgtool {

// pkgtool pack SRC OUT [--compress] [--type N] [--game 1|2 | --key HEX] [--exclude REL]...
int RunPack(const std::vector<std::string>& args);
extern const char* const kPackHelp;

}  // namespace pkgtool

// The console around pkgtool: its arguments as UTF-8, lines out as text the
// terminal shows, and Ctrl-C turned into a request the main loop polls.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace pkgtool {

std::vector<std::string> Utf8Arguments(int argc, char** argv);
void PrintLine(std::FILE* stream, const std::string& utf8);
// After this, Ctrl-C no longer ends the process; InterruptRequested() turns
// true instead.
void CatchInterrupt();
bool InterruptRequested();

}  // namespace pkgtool

// The console around pkgtool: its arguments as UTF-8, lines out as text the
// terminal shows, whether output goes to a terminal, and Ctrl-C turned into a
// request the main loop polls.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace pkgtool {

std::vector<std::string> Utf8Arguments(int argc, char** argv);
// One line: control characters and bytes that are not UTF-8 in it are shown
// as \xNN (DisplayText), so a name inside cannot break the line or drive the
// terminal.
void PrintLine(std::FILE* stream, const std::string& utf8);
// Writes text with no line break after it, for a line rewritten in place.
void PrintInPlace(std::FILE* stream, const std::string& utf8);
// True when stream goes to a terminal (a console window on Windows).
bool IsTerminal(std::FILE* stream);
// The terminal's width in columns; 80 when it cannot be learned.
int TerminalColumns(std::FILE* stream);
// After this, Ctrl-C no longer ends the process; InterruptRequested() turns
// true instead.
void CatchInterrupt();
bool InterruptRequested();

}  // namespace pkgtool

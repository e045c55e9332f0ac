// Decisions of the main window that need no window: the type field's key
// filter, the error box's text, and the exclusion memo's lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pkgui {

// The type field takes backspace, Enter and the digits 0-9 as typed; every
// other character, Chinese ones and other control characters included, is
// dropped.
bool TypeFieldKeyPasses(wchar_t key);

// The message of an error that no handler caught, as its box shows it: a full
// stop is added when the message is not empty and its last character's code is
// above that of the full stop (so none after ".", ")" or a blank).
std::wstring WithFullStop(std::wstring message);

// The memo's text as exclusion entries: one per line, verbatim. CR LF, a lone
// LF and a lone CR each end a line; the last line counts only when it is not
// empty.
std::vector<std::string> MemoLines(std::string_view text);

}  // namespace pkgui

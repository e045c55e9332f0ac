// Decisions of the main window that need no window: the type field's key
// filter, the error box's text, and the start command's checks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
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

// The inputs the start command checks, as their controls hold them.
struct TStartInputs {
  std::wstring SourceDirectory;  // cxTextEdit1
  std::wstring OutputPKGPath;    // cxTextEdit2
  std::wstring PKGType;          // cxTextEdit4
  std::wstring CustomKey;        // cxTextEdit3
  int Game = 1;                  // the selected key choice: 1, 2, or 3 for the custom key
};

// The outcome of the checks: either every check passed, with the converted
// type number and the index key, or the first failing check's message.
struct TStartDecision {
  bool passed = false;
  std::string message;            // UTF-8; empty when passed
  bool focusTypeField = false;    // the type field gets the keyboard focus after the box
  std::int32_t PKGType = 0;       // when passed
  std::vector<std::uint8_t> key;  // when passed: the built-in key of the game, or the custom one
};

// The eight checks in their order: source empty, output empty, type empty,
// (custom key only) key empty, odd length, a pair that is not two hex digits,
// then the source not an existing folder, then the type not an integer. The
// folder test is asked only when the checks before it passed.
TStartDecision CheckStartInputs(const TStartInputs& in,
                                const std::function<bool(const std::wstring&)>& isDirectory);

}  // namespace pkgui

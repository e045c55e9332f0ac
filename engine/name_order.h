// The order in which a folder's names are packed: the one NTFS lists them in,
// so a tree packs to the same archive on any system and file system.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace pkg {

// The simple Unicode upper case of one UTF-16 code unit (itself when none).
char16_t UpperCodeUnit(char16_t unit);

// A name (UTF-8) as UTF-16 code units, each upper-cased by UpperCodeUnit:
// names Windows takes for one give the same units. False when the name is
// not UTF-8.
bool UpperCaseUnits(std::string_view name, std::u16string& upper);

// True when name a comes before name b (UTF-8): code units upper-cased and
// compared one by one, a name before any longer name it begins; names equal
// but for case by their own code units; names that are not UTF-8 after all
// others, by their bytes.
bool NameBefore(std::string_view a, std::string_view b);

void SortByName(std::vector<DirEntry>& entries);

}  // namespace pkg

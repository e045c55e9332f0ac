// Names read from an archive: shown to the user as UTF-8, and checked before
// one becomes a path below the folder files are extracted into. A name comes
// from whoever made the archive, so nothing in it is trusted.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform.h"

namespace pkgtool {

// A name's code page 936 bytes as UTF-8. Bytes that are not code page 936
// text, and control characters, are shown as \xNN so that a hostile name
// cannot drive the terminal.
std::string DisplayName(pkg::Platform& platform, std::string_view cp936);

// Any text on its way to the console (a path, a name, a message holding
// one): control characters (C0, DEL, C1) and bytes that are not UTF-8 text
// are shown as \xNN, so that nothing printed can move the cursor, clear
// the screen or begin a line of its own.
std::string DisplayText(std::string_view utf8);

enum class PathRules {
  // What no system takes below a folder: "..", ".", empty names, slashes,
  // control characters, a name not beginning with a backslash.
  kAnySystem,
  // kAnySystem, and what Windows reads as something else than a plain file
  // name: drive letters and ":" streams, reserved device names (CON, NUL,
  // COM1, LPT1, ... also with an extension), <>"|?*, and a trailing dot or
  // blank, which Windows strips.
  kWindows,
};

#ifdef _WIN32
inline constexpr PathRules kNativeRules = PathRules::kWindows;
#else
inline constexpr PathRules kNativeRules = PathRules::kAnySystem;
#endif

// Checks a name in the archive's form, as UTF-8 ("\data\a.bin"), and splits it
// into its folder and file names. Returns why the name cannot be a path below
// a folder, or an empty text when it can.
std::string CheckEntryPath(std::string_view name, PathRules rules,
                           std::vector<std::string>& components);

// The form in which this system's file names are equal when it takes them for
// one: the name itself on POSIX systems, its upper case on Windows.
std::string FileSystemNameKey(std::string_view utf8);

// A name that is also the folder of another name ("\a" and "\a\b"), which
// no extraction can write both of.
struct FolderClash {
  std::size_t file;   // the entry whose name is also a folder
  std::size_t below;  // an entry below that folder
};

// Among names that CheckEntryPath accepts (UTF-8, archive form), each with
// its entry number, those that are also another's folder, with names
// compared as this system compares them (FileSystemNameKey). At most one
// clash per name, in entry order of the file.
std::vector<FolderClash> FindFolderClashes(
    const std::vector<std::pair<std::size_t, std::string>>& names);

// Two names that differ only in letter case, as Windows compares names
// (pkg::UpperCaseUnits): possible on Linux, and one file on Windows, so that
// extracting there would lose one of them.
struct CaseCollision {
  std::size_t first;   // the earlier entry
  std::size_t second;  // the later entry, or with folder, the entry below
  // When set, first is a file whose name is, but for letter case, a folder
  // of second's path ("\Data" and "\data\a.bin").
  bool folder = false;
};

// Among names in the archive's form, UTF-8, each with its entry number,
// each name that differs only in letter case from an earlier one, paired with
// the first of them, and each file whose name is, only letter case apart,
// the folder of another. Names equal byte for byte, and a file that is
// exactly the folder of another, are not collisions of case (verify reports
// them on their own), nor are two folders that differ only in case, which
// Windows merges into one. Ordered by entry.
std::vector<CaseCollision> FindCaseCollisions(
    const std::vector<std::pair<std::size_t, std::string>>& names);

}  // namespace pkgtool

// The exclusion entries of a text, one per line: the window's exclusion memo
// and pkgtool's --exclude-from both take them this way.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"
#include "source_scan.h"

namespace pkg {

// CR LF, a lone LF and a lone CR each end a line. Each line is one entry,
// verbatim, blanks included, so an empty line in the middle is an empty
// entry; the last line counts only when it is not empty (a text that ends
// with a line break gives no entry after it).
std::vector<std::string> ExclusionLines(std::string_view text);

// A file no entry leaves out.
inline constexpr std::size_t kNotExcluded = static_cast<std::size_t>(-1);

// For each file, the first entry that leaves it out (its index in entries),
// or kNotExcluded. An entry leaves out the file whose whole relative path it
// equals, letter case ignored as the platform ignores it. The job removes the
// files this finds, and pkgtool tells the user which entry removed which, so
// that both always agree.
std::vector<std::size_t> ExcludingEntries(Platform& platform, std::span<const SourceFile> files,
                                          std::span<const std::string> entries);

// Marks in matched (one flag per entry) each entry that left out one of
// files, by being the first to name it (by, from ExcludingEntries) or by
// naming it too ("\A.BIN" after "\a.bin").
void MarkMatchedEntries(Platform& platform, std::span<const SourceFile> files,
                        std::span<const std::size_t> by, std::span<const std::string> entries,
                        std::vector<bool>& matched);

// The entries not marked, in the order given, each text once. Empty entries
// (an empty line of a list) are left out: they never name a file.
std::vector<std::string> UnmatchedEntries(std::span<const std::string> entries,
                                          const std::vector<bool>& matched);

}  // namespace pkg

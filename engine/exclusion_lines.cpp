#include "exclusion_lines.h"

#include <set>

namespace pkg {

std::vector<std::string> ExclusionLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::vector<std::size_t> ExcludingEntries(Platform& platform, std::span<const SourceFile> files,
                                          std::span<const std::string> entries) {
  std::vector<std::size_t> by(files.size(), kNotExcluded);
  if (entries.empty()) return by;
  for (std::size_t f = 0; f < files.size(); ++f) {
    for (std::size_t e = 0; e < entries.size(); ++e) {
      if (platform.SameTextIgnoreCase(files[f].relative, entries[e])) {
        by[f] = e;
        break;
      }
    }
  }
  return by;
}

void MarkMatchedEntries(Platform& platform, std::span<const SourceFile> files,
                        std::span<const std::size_t> by, std::span<const std::string> entries,
                        std::vector<bool>& matched) {
  matched.resize(entries.size(), false);
  std::vector<std::size_t> excluded;
  for (std::size_t f = 0; f < files.size(); ++f)
    if (by[f] != kNotExcluded) {
      matched[by[f]] = true;
      excluded.push_back(f);
    }
  for (std::size_t e = 0; e < entries.size(); ++e)
    for (std::size_t k = 0; k < excluded.size() && !matched[e]; ++k)
      matched[e] = platform.SameTextIgnoreCase(files[excluded[k]].relative, entries[e]);
}

std::vector<std::string> UnmatchedEntries(std::span<const std::string> entries,
                                          const std::vector<bool>& matched) {
  std::vector<std::string> unmatched;
  std::set<std::string> seen;
  for (std::size_t e = 0; e < entries.size(); ++e)
    if (!(e < matched.size() && matched[e]) && !entries[e].empty() &&
        seen.insert(entries[e]).second)
      unmatched.push_back(entries[e]);
  return unmatched;
}

}  // namespace pkg

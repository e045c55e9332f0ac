#include "exclusion_lines.h"

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

}  // namespace pkg

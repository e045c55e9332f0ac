#include "name_order.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

#include "utf8.h"

namespace pkg {
namespace {

struct UpperRow {
  char16_t unit;
  char16_t upper;
};

constexpr UpperRow kUpper[] = {
#include "name_upper_table.inc"
};

// A name as UTF-16 code units; false when it is not UTF-8.
bool ToUnits(std::string_view name, std::u16string& units) {
  std::u32string code;
  if (!DecodeUtf8(name, code)) return false;
  units.clear();
  for (char32_t c : code) {
    if (c < 0x10000) {
      units.push_back(static_cast<char16_t>(c));
    } else {
      c -= 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
  }
  return true;
}

}  // namespace

char16_t UpperCodeUnit(char16_t unit) {
  const auto it = std::lower_bound(std::begin(kUpper), std::end(kUpper), unit,
                                   [](const UpperRow& r, char16_t u) { return r.unit < u; });
  return it != std::end(kUpper) && it->unit == unit ? it->upper : unit;
}

bool UpperCaseUnits(std::string_view name, std::u16string& upper) {
  if (!ToUnits(name, upper)) return false;
  for (char16_t& u : upper) u = UpperCodeUnit(u);
  return true;
}

bool NameBefore(std::string_view a, std::string_view b) {
  std::u16string ua, ub;
  const bool okA = ToUnits(a, ua), okB = ToUnits(b, ub);
  if (!okA || !okB) return okA != okB ? okA : a < b;
  const std::size_t n = std::min(ua.size(), ub.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = UpperCodeUnit(ua[i]), y = UpperCodeUnit(ub[i]);
    if (x != y) return x < y;
  }
  if (ua.size() != ub.size()) return ua.size() < ub.size();
  return ua < ub;
}

void SortByName(std::vector<DirEntry>& entries) {
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& x, const DirEntry& y) { return NameBefore(x.name, y.name); });
}

}  // namespace pkg

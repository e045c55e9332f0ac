#include "archive_names.h"

#include "control_characters.h"
#include "name_order.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <unordered_set>

namespace pkgtool {
namespace {

using pkg::EscapedByte;

bool IsControl(unsigned char c) {
  return pkg::IsControlCharacter(static_cast<char>(c));
}

// The length of the well-formed UTF-8 sequence s begins with; 0 when it is
// malformed, overlong, a surrogate or past U+10FFFF.
std::size_t Utf8SequenceLength(std::string_view s) {
  auto at = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = at(0);
  if (c < 0x80) return 1;
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < n || at(1) < lo || at(1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if (at(k) < 0x80 || at(k) > 0xBF) return 0;
  return n;
}

char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// CON, NUL, COM1, ... name devices in every folder, whatever follows the first
// dot; Windows ignores blanks before that dot too.
bool IsReservedDeviceName(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  std::string upper;
  for (char c : base) upper.push_back(AsciiUpper(c));
  static constexpr std::array<std::string_view, 6> kPlain = {"CON", "PRN",    "AUX",
                                                             "NUL", "CONIN$", "CONOUT$"};
  for (std::string_view r : kPlain)
    if (upper == r) return true;
  if (upper.size() < 4 || (upper.rfind("COM", 0) != 0 && upper.rfind("LPT", 0) != 0)) return false;
  const std::string_view digit = std::string_view(upper).substr(3);
  // The superscript digits 1, 2 and 3 count as digits here.
  return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" ||
         digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

std::string Quoted(std::string_view s) {
  return "\"" + std::string(s) + "\"";
}

std::string CheckComponent(std::string_view c, PathRules rules) {
  if (c.empty())
    return "it has an empty folder or file name (two backslashes in a row, or one at the end)";
  if (c == "." || c == "..")
    return "it holds " + Quoted(c) + ", which would lead out of the folder it is extracted into";
  for (char ch : c) {
    const auto u = static_cast<unsigned char>(ch);
    if (IsControl(u)) return "it holds the control character " + EscapedByte(u);
    if (ch == '/') return "it holds \"/\", which the system reads as a folder separator";
  }
  if (rules != PathRules::kWindows) return {};
  for (char ch : c) {
    if (ch == ':')
      return "it holds \":\", which Windows reads as a drive letter or an alternate data stream";
    if (std::string_view("<>\"|?*").find(ch) != std::string_view::npos)
      return "it holds " + Quoted(std::string(1, ch)) + ", which Windows does not allow in names";
  }
  if (c.back() == '.' || c.back() == ' ')
    return Quoted(c) + " ends in a dot or a blank, which Windows would strip";
  if (IsReservedDeviceName(c)) return Quoted(c) + " is the name of a device on Windows";
  return {};
}

}  // namespace

std::string DisplayName(pkg::Platform& platform, std::string_view cp936) {
  std::string utf8;
  if (platform.FromCodePage936(cp936, utf8)) return DisplayText(utf8);
  std::string out;
  out.reserve(cp936.size());
  for (char ch : cp936) {
    const auto u = static_cast<unsigned char>(ch);
    if (IsControl(u) || u >= 0x80)
      out += EscapedByte(u);
    else
      out.push_back(ch);
  }
  return out;
}

std::string DisplayText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const std::size_t n = Utf8SequenceLength(utf8.substr(i));
    const auto lead = static_cast<unsigned char>(utf8[i]);
    // U+0080 to U+009F, C2 80 to C2 9F: C1 controls, CSI among them.
    const bool c1 = n == 2 && lead == 0xC2 && static_cast<unsigned char>(utf8[i + 1]) < 0xA0;
    if (n == 0 || (n == 1 && IsControl(lead)) || c1) {
      for (std::size_t k = 0; k < std::max<std::size_t>(n, 1); ++k)
        out += EscapedByte(static_cast<unsigned char>(utf8[i + k]));
      i += std::max<std::size_t>(n, 1);
    } else {
      out.append(utf8.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string CheckEntryPath(std::string_view name, PathRules rules,
                           std::vector<std::string>& components) {
  components.clear();
  if (name.empty()) return "the name is empty";
  if (name[0] != '\\')
    return "it does not begin with a backslash, as a path relative to the archive's folder does";
  std::string_view rest = name.substr(1);
  for (;;) {
    const std::size_t cut = rest.find('\\');
    const std::string_view c = rest.substr(0, cut);
    if (std::string why = CheckComponent(c, rules); !why.empty()) {
      components.clear();
      return why;
    }
    components.emplace_back(c);
    if (cut == std::string_view::npos) return {};
    rest = rest.substr(cut + 1);
  }
}

std::vector<FolderClash> FindFolderClashes(
    const std::vector<std::pair<std::size_t, std::string>>& names) {
  // With the separator as the lowest character, every name below a folder
  // sorts right after the folder's own name: one look at the next name that
  // differs tells whether a name is also a folder. Sound names hold no
  // control character, so \x01 cannot clash with anything in them.
  std::vector<std::string> keys;
  keys.reserve(names.size());
  for (const auto& n : names) {
    std::string key = FileSystemNameKey(n.second);
    std::replace(key.begin(), key.end(), '\\', '\x01');
    keys.push_back(std::move(key));
  }
  std::vector<std::size_t> order(names.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  std::vector<FolderClash> clashes;
  for (std::size_t k = 0, next = 0; k < order.size(); k = next) {
    // Names equal to this system are one name here: the first stands for all.
    const std::string& key = keys[order[k]];
    next = k + 1;
    while (next < order.size() && keys[order[next]] == key) ++next;
    if (next == order.size()) break;
    const std::string& after = keys[order[next]];
    if (after.size() > key.size() && after.compare(0, key.size(), key) == 0 &&
        after[key.size()] == '\x01')
      clashes.push_back({names[order[k]].first, names[order[next]].first});
  }
  std::sort(clashes.begin(), clashes.end(),
            [](const FolderClash& a, const FolderClash& b) { return a.file < b.file; });
  return clashes;
}

std::vector<CaseCollision> FindCaseCollisions(
    const std::vector<std::pair<std::size_t, std::string>>& names) {
  // As in FindFolderClashes: with the separator as the lowest unit, the
  // names below a folder sort right after the folder's own name.
  std::vector<std::u16string> keys(names.size());
  std::vector<std::size_t> order;
  order.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!pkg::UpperCaseUnits(names[i].second, keys[i])) continue;
    std::replace(keys[i].begin(), keys[i].end(), u'\\', u'\x01');
    order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  std::vector<CaseCollision> found;
  std::unordered_set<std::string_view> seen;
  for (std::size_t k = 0, next = 0; k < order.size(); k = next) {
    const std::u16string& key = keys[order[k]];
    const std::string& first = names[order[k]].second;
    next = k + 1;
    seen.clear();
    seen.insert(first);
    bool exactFolder = false;  // a file of this name is exactly a folder of the next
    for (; next < order.size() && keys[order[next]] == key; ++next)
      if (seen.insert(names[order[next]].second).second)
        found.push_back({names[order[k]].first, names[order[next]].first, false});
    if (next == order.size()) break;
    const std::u16string& after = keys[order[next]];
    if (after.size() <= key.size() || after.compare(0, key.size(), key) != 0 ||
        after[key.size()] != u'\x01')
      continue;
    const std::string& below = names[order[next]].second;
    for (const std::string_view name : seen)
      exactFolder = exactFolder || (below.size() > name.size() && below.starts_with(name) &&
                                    below[name.size()] == '\\');
    if (!exactFolder) found.push_back({names[order[k]].first, names[order[next]].first, true});
  }
  std::sort(found.begin(), found.end(), [](const CaseCollision& a, const CaseCollision& b) {
    return a.first != b.first ? a.first < b.first : a.second < b.second;
  });
  return found;
}

}  // namespace pkgtool

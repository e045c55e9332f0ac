#include "profile_file.h"

#include <vector>

#include "text_convert.h"

namespace pkgui {
namespace {

struct Line {
  std::size_t begin = 0;  // first byte of the line
  std::size_t end = 0;    // past its content, before CR LF or LF
  std::size_t next = 0;   // past its line break
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    Line l;
    l.begin = pos;
    const std::size_t lf = text.find('\n', pos);
    l.next = lf == std::string_view::npos ? text.size() : lf + 1;
    l.end = lf == std::string_view::npos ? text.size() : lf;
    if (l.end > l.begin && text[l.end - 1] == '\r') --l.end;
    lines.push_back(l);
    pos = l.next;
  }
  return lines;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

// The name of a section header line, or nothing for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

struct KeyLine {
  std::string_view name, value;
};

std::optional<KeyLine> ParseKey(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() == ';' || line.front() == '[') return std::nullopt;
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyLine{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
}

// Where a section lies: its header line and the lines after it up to the
// next header.
struct SectionSpan {
  std::size_t header = 0;
  std::size_t end = 0;  // index of the next header, or the line count
};

std::optional<SectionSpan> FindSection(std::string_view text, const std::vector<Line>& lines,
                                       std::string_view section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionName(text.substr(lines[i].begin, lines[i].end - lines[i].begin));
    if (!name || !SameName(*name, section)) continue;
    std::size_t end = i + 1;
    while (end < lines.size() &&
           !SectionName(text.substr(lines[end].begin, lines[end].end - lines[end].begin)))
      ++end;
    return SectionSpan{i, end};
  }
  return std::nullopt;
}

std::string_view LineText(std::string_view text, const Line& l) {
  return text.substr(l.begin, l.end - l.begin);
}

}  // namespace

std::optional<std::string> IniLookup(std::string_view text, std::string_view section,
                                     std::string_view key) {
  const std::vector<Line> lines = SplitLines(text);
  const auto span = FindSection(text, lines, section);
  if (!span) return std::nullopt;
  for (std::size_t i = span->header + 1; i < span->end; ++i) {
    const auto k = ParseKey(LineText(text, lines[i]));
    if (k && SameName(k->name, key)) return std::string(k->value);
  }
  return std::nullopt;
}

std::string IniAssign(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view value) {
  value = value.substr(0, value.find_first_of("\r\n"));
  const std::string entry = std::string(key) + "=" + std::string(value);
  const std::vector<Line> lines = SplitLines(text);
  const auto span = FindSection(text, lines, section);
  std::string out;

  if (!span) {
    out = text;
    if (!out.empty() && out.back() != '\n') out += "\r\n";
    if (!out.empty()) out += "\r\n";
    out += "[" + std::string(section) + "]\r\n" + entry + "\r\n";
    return out;
  }

  for (std::size_t i = span->header + 1; i < span->end; ++i) {
    const auto k = ParseKey(LineText(text, lines[i]));
    if (!k || !SameName(k->name, key)) continue;
    out.append(text.substr(0, lines[i].begin));
    out += entry;
    out.append(text.substr(lines[i].end));
    return out;
  }

  // A new key goes after the section's last non-blank line, so blank lines
  // that separate it from the next section stay where they are.
  std::size_t last = span->header;
  for (std::size_t i = span->header + 1; i < span->end; ++i)
    if (!Trim(LineText(text, lines[i])).empty()) last = i;
  const Line& after = lines[last];
  out.append(text.substr(0, after.next));
  if (after.next == after.end) out += "\r\n";  // the file's last line had no line break
  out += entry + "\r\n";
  out.append(text.substr(after.next));
  return out;
}

TProfileFile::TProfileFile(std::string path, pkg::Platform& platform)
    : path_(std::move(path)), platform_(platform) {}

bool TProfileFile::Exists() {
  return platform_.KindOf(path_) == pkg::PathKind::kFile;
}

std::string TProfileFile::Load(bool forWrite) {
  switch (platform_.KindOf(path_)) {
    case pkg::PathKind::kMissing:
      return {};
    case pkg::PathKind::kDirectory:
      if (forWrite) WriteFailed();
      return {};
    case pkg::PathKind::kFile:
      break;
  }
  std::unique_ptr<pkg::PlatformFile> file;
  pkg::Status s = platform_.OpenForReading(path_, file);
  std::string text;
  if (s.ok()) {
    char buffer[4096];
    for (;;) {
      std::size_t got = 0;
      s = file->Read(buffer, sizeof buffer, got);
      if (!s.ok() || got == 0) break;
      text.append(buffer, got);
    }
    (void)file->Close();
  }
  if (!s.ok()) {
    // Writing without the old text would drop the file's other sections.
    if (forWrite) WriteFailed();
    throw EProfileReadError(s.message());
  }
  return text;
}

void TProfileFile::Store(const std::string& text) {
  std::unique_ptr<pkg::PlatformFile> file;
  if (platform_.KindOf(path_) == pkg::PathKind::kFile) {
    // Replacing the file would get past its read-only attribute and past a
    // program that holds it: ask the file itself whether it may be written.
    if (!platform_.OpenExistingForWriting(path_, file).ok()) WriteFailed();
    (void)file->Close();
    file.reset();
  }
  const std::string temp = platform_.SiblingTempPath(path_);
  if (!platform_.CreateNewFile(temp, file).ok()) WriteFailed();
  pkg::Status s = file->Write(text.data(), text.size());
  const pkg::Status closed = file->Close();
  if (s.ok()) s = closed;
  if (s.ok()) s = platform_.MoveFileOver(temp, path_);
  if (!s.ok()) {
    (void)platform_.RemoveFile(temp);
    WriteFailed();
  }
}

void TProfileFile::WriteFailed() {
  throw EProfileWriteError("Unable to write to " + path_);
}

std::string TProfileFile::ReadString(std::string_view section, std::string_view key) {
  std::string value = IniLookup(Load(false), section, key).value_or(std::string());
  if (value.size() > kMaxProfileValue) value.resize(kMaxProfileValue);
  return value;
}

std::int32_t TProfileFile::ReadInteger(std::string_view section, std::string_view key,
                                       std::int32_t def) {
  std::int32_t value = 0;
  return pkg::TryStrToInt(ReadString(section, key), value) ? value : def;
}

bool TProfileFile::ReadBool(std::string_view section, std::string_view key, bool def) {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TProfileFile::WriteString(std::string_view section, std::string_view key,
                               std::string_view value) {
  Store(IniAssign(Load(true), section, key, value));
}

void TProfileFile::WriteInteger(std::string_view section, std::string_view key,
                                std::int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TProfileFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

}  // namespace pkgui

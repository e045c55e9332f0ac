#include "progress.h"

#include <algorithm>
#include <cmath>

#include "archive_names.h"
#include "console.h"
#include "utf8.h"

namespace pkgtool {
namespace {

std::string Size(std::uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(bytes);
  int unit = 0;
  while (v >= 1024 && unit < 4) {
    v /= 1024;
    ++unit;
  }
  char buf[32];
  if (unit == 0)
    std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
  else
    std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
  return buf;
}

std::string Duration(double seconds) {
  const auto s = static_cast<unsigned long long>(std::llround(seconds));
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%llu:%02llu", s / 60, s % 60);
  return buf;
}

bool IsWide(char32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

std::size_t Width(char32_t c) {
  return IsWide(c) ? 2 : 1;
}

std::string Encode(std::u32string_view s) {
  std::string out;
  for (char32_t c : s) pkg::EncodeUtf8(c, out);
  return out;
}

}  // namespace

std::string FormatProgress(const ProgressFigures& f) {
  std::string line = std::to_string(f.filesDone) + "/" + std::to_string(f.filesTotal) + " files, " +
                     Size(f.bytesDone) + " of " + Size(f.bytesTotal);
  if (f.bytesDone == 0 || f.seconds <= 0) return line + ", -- /s, -- left";
  const double rate = static_cast<double>(f.bytesDone) / f.seconds;
  const std::uint64_t left = f.bytesTotal > f.bytesDone ? f.bytesTotal - f.bytesDone : 0;
  return line + ", " + Size(static_cast<std::uint64_t>(rate)) + "/s, " +
         Duration(static_cast<double>(left) / rate) + " left";
}

std::size_t DisplayWidth(std::string_view utf8) {
  std::u32string s;
  if (!pkg::DecodeUtf8(utf8, s)) return utf8.size();
  std::size_t w = 0;
  for (char32_t c : s) w += Width(c);
  return w;
}

std::string ProgressLine(const std::string& figures, std::string_view name, std::size_t columns) {
  std::u32string head, tail;
  if (!pkg::DecodeUtf8(figures, head)) return figures;
  if (!pkg::DecodeUtf8(name, tail)) tail.clear();
  std::size_t width = 0;
  std::size_t keep = 0;
  while (keep < head.size() && width + Width(head[keep]) <= columns) width += Width(head[keep++]);
  head.resize(keep);
  // Two blanks, then the end of the name behind "...", if at least a little fits.
  const std::size_t room = columns - width;
  std::size_t nameWidth = 0;
  for (char32_t c : tail) nameWidth += Width(c);
  if (tail.empty() || room < 2 + 8) return Encode(head);
  if (nameWidth <= room - 2) return Encode(head) + "  " + Encode(tail);
  std::size_t from = tail.size(), used = 0;
  while (from > 0 && used + Width(tail[from - 1]) <= room - 2 - 3) used += Width(tail[--from]);
  return Encode(head) + "  ..." + Encode(std::u32string_view(tail).substr(from));
}

TerminalProgress::TerminalProgress(std::FILE* out)
    : out_(out), start_(std::chrono::steady_clock::now()), lastDraw_(start_) {}

void TerminalProgress::OnProgress(const pkg::PackProgress& p) {
  const std::string before = step_;
  figures_.filesDone = p.filesStored;
  figures_.bytesDone = p.bytesStored;
  if (p.kind == pkg::PackProgress::Kind::kTotals || p.filesTotal != 0) {
    figures_.filesTotal = p.filesTotal;
    figures_.bytesTotal = p.bytesTotal;
  }
  // The step's label, then the rest of its text: the step's name, or the
  // file being stored.
  bool draw = false;
  if (p.kind == pkg::PackProgress::Kind::kBegins) {
    const std::string text = pkg::StatusText(p);
    step_ = text.substr(0, text.find(' '));
    name_ = p.step == pkg::PackStep::kStore ? p.relative
                                            : text.substr(std::min(text.size(), step_.size() + 1));
  } else {
    // The totals, and the first bytes of a file that takes long enough to
    // report them, are always shown at once.
    draw = p.kind == pkg::PackProgress::Kind::kTotals || bytesFile_ != p.fileIndex + 1;
    if (p.kind == pkg::PackProgress::Kind::kBytes) bytesFile_ = p.fileIndex + 1;
  }
  // Thousands of small files a second would keep the terminal busy redrawing
  // a line nobody can read; a new step is always shown at once.
  changed_ = true;
  if (draw || step_ != before || std::chrono::steady_clock::now() - lastDraw_ >= kRedrawChanged)
    Draw();
}

void TerminalProgress::Tick() {
  const auto waited = std::chrono::steady_clock::now() - lastDraw_;
  if (waited >= kRedraw || (changed_ && waited >= kRedrawChanged)) Draw();
}

void TerminalProgress::Draw() {
  lastDraw_ = std::chrono::steady_clock::now();
  changed_ = false;
  ProgressFigures f = figures_;
  // A file that grew since it was measured does not take the figures past
  // the totals.
  f.bytesDone = std::min(f.bytesDone, f.bytesTotal);
  f.seconds = std::chrono::duration<double>(lastDraw_ - start_).count();
  const int columns = TerminalColumns(out_);
  // One column spare: writing into the last one makes some terminals wrap.
  const std::string line =
      ProgressLine(DisplayText(step_ + " " + FormatProgress(f)), DisplayText(name_),
                   static_cast<std::size_t>(std::max(columns - 1, 20)));
  const std::size_t width = DisplayWidth(line);
  PrintInPlace(out_, "\r" + line + std::string(shownWidth_ > width ? shownWidth_ - width : 0, ' '));
  shownWidth_ = width;
}

void TerminalProgress::Clear() {
  if (shownWidth_ == 0) return;
  PrintInPlace(out_, "\r" + std::string(shownWidth_, ' ') + "\r");
  shownWidth_ = 0;
}

void ProgressLog::OnProgress(const pkg::PackProgress& p) {
  if (p.kind != pkg::PackProgress::Kind::kBegins) return;
  pending_ += DisplayText(pkg::StatusText(p));
  pending_ += '\n';
  if (pending_.size() >= (64 << 10)) Flush();
  Tick();
}

void ProgressLog::Tick() {
  if (!pending_.empty() &&
      std::chrono::steady_clock::now() - lastWrite_ >= std::chrono::milliseconds(100))
    Flush();
}

void ProgressLog::Flush() {
  lastWrite_ = std::chrono::steady_clock::now();
  if (pending_.empty()) return;
  PrintInPlace(out_, pending_);
  pending_.clear();
}

}  // namespace pkgtool

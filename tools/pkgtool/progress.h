// Progress of a pack on a terminal: one line, rewritten in place, with files
// and bytes stored of the total, the rate and the time left, all from the
// job's progress events; the job gives the totals after its scan.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "pack_progress.h"

namespace pkgtool {

struct ProgressFigures {
  std::uint64_t filesDone = 0, filesTotal = 0;
  std::uint64_t bytesDone = 0, bytesTotal = 0;
  double seconds = 0;  // since the job started
};

// "12/340 files, 1.2 MiB of 80.0 MiB, 4.5 MiB/s, 0:15 left"; rate and time
// left read "--" until a first byte is stored.
std::string FormatProgress(const ProgressFigures& f);

// Columns a text takes on a terminal: East Asian wide characters take two.
std::size_t DisplayWidth(std::string_view utf8);

// The figures, then as much of the end of the file name as fits in columns.
std::string ProgressLine(const std::string& figures, std::string_view name, std::size_t columns);

// Bytes between two reports of the job within one file: a large file's
// progress moves on the line while it is stored.
inline constexpr std::uint64_t kProgressBytes = 1 << 20;

class TerminalProgress {
 public:
  explicit TerminalProgress(std::FILE* out);
  // An event from the job.
  void OnProgress(const pkg::PackProgress& p);
  // Redraws the line when time has moved on enough for the figures to change.
  void Tick();
  // Clears the line, so that an ordinary line may follow.
  void Clear();

 private:
  void Draw();

  std::FILE* out_;
  std::chrono::steady_clock::time_point start_, lastDraw_;
  ProgressFigures figures_;
  std::string step_, name_;
  std::size_t shownWidth_ = 0;  // columns of the line on the terminal now
  bool changed_ = false;        // an event came since the line was drawn
  std::size_t bytesFile_ = 0;   // the file whose bytes were last drawn, plus 1

  static constexpr std::chrono::milliseconds kRedraw{500}, kRedrawChanged{50};
};

// Progress as lines of their own, for output that is not a terminal: the
// status text of each step and each file, as the window shows it. A pack of
// many small files makes thousands of texts a second: they are written in
// runs, at most a tenth of a second after they came.
class ProgressLog {
 public:
  explicit ProgressLog(std::FILE* out) : out_(out), lastWrite_(std::chrono::steady_clock::now()) {}
  ~ProgressLog() { Flush(); }
  ProgressLog(const ProgressLog&) = delete;
  ProgressLog& operator=(const ProgressLog&) = delete;

  void OnProgress(const pkg::PackProgress& p);
  // Writes what waits once it has waited long enough.
  void Tick();
  void Flush();

 private:
  std::FILE* out_;
  std::string pending_;
  std::chrono::steady_clock::time_point lastWrite_;
};

}  // namespace pkgtool

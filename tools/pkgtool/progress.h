// Progress of a pack on a terminal: one line, rewritten in place, with files
// and bytes done of the total, the rate and the time left. The job's texts
// name each file as it begins; the totals come from a scan of the source
// made before the job starts.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform.h"

namespace pkgtool {

struct ProgressFigures {
  std::uint64_t filesDone = 0, filesTotal = 0;
  std::uint64_t bytesDone = 0, bytesTotal = 0;
  double seconds = 0;  // since the job started
};

// "12/340 files, 1.2 MiB of 80.0 MiB, 4.5 MiB/s, 0:15 left"; rate and time
// left read "--" until a first file is done.
std::string FormatProgress(const ProgressFigures& f);

// Columns a text takes on a terminal: East Asian wide characters take two.
std::size_t DisplayWidth(std::string_view utf8);

// The figures, then as much of the end of the file name as fits in columns.
std::string ProgressLine(const std::string& figures, std::string_view name, std::size_t columns);

// What the job will pack (TotalsOf a PackPlan): each file's size by
// relative path, excluded files left out the way the job leaves them out.
struct PackTotals {
  std::unordered_map<std::string, std::uint64_t> sizes;  // by relative path
  std::uint64_t files = 0, bytes = 0;
};

class TerminalProgress {
 public:
  TerminalProgress(std::FILE* out, PackTotals totals);
  // A text from the job.
  void OnStatus(const std::string& text);
  // Redraws the line when time has moved on enough for the figures to change.
  void Tick();
  // Clears the line, so that an ordinary line may follow.
  void Clear();

 private:
  void Draw();

  std::FILE* out_;
  PackTotals totals_;
  std::chrono::steady_clock::time_point start_, lastDraw_;
  std::uint64_t filesDone_ = 0, bytesDone_ = 0;
  bool storing_ = false;           // a file is being stored
  std::uint64_t currentSize_ = 0;  // its size
  std::string step_, name_;
  std::size_t shownWidth_ = 0;  // columns of the line on the terminal now
  bool changed_ = false;        // a text came since the line was drawn

  static constexpr std::chrono::milliseconds kRedraw{500}, kRedrawChanged{50};
};

// Progress texts as lines of their own, for output that is not a terminal.
// A pack of many small files makes thousands of texts a second: they are
// written in runs, at most a tenth of a second after they came.
class ProgressLog {
 public:
  explicit ProgressLog(std::FILE* out) : out_(out), lastWrite_(std::chrono::steady_clock::now()) {}
  ~ProgressLog() { Flush(); }
  ProgressLog(const ProgressLog&) = delete;
  ProgressLog& operator=(const ProgressLog&) = delete;

  void OnStatus(const std::string& text);
  // Writes what waits once it has waited long enough.
  void Tick();
  void Flush();

 private:
  std::FILE* out_;
  std::string pending_;
  std::chrono::steady_clock::time_point lastWrite_;
};

}  // namespace pkgtool

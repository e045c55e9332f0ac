// The window's face of a job's outcome: the message the job posts to the
// window that started it, its parameter values, and the results the window
// reads when it arrives.
#pragma once

#include <cstdint>
#include <string>

#include "pack_request.h"

namespace pkg {

// Window message the job posts at its end, with its parameter values.
inline constexpr unsigned kWM_PACKNOTIFY = 6001;
inline constexpr long NOTIFY_FAILED = 100;
inline constexpr long NOTIFY_FINISHED = 200;
inline constexpr unsigned long FAIL_NO_FILES = 1;
inline constexpr unsigned long FAIL_CREATE_PKG = 2;
inline constexpr unsigned long FAIL_OPEN_SOURCE = 3;
// Any other failure after the job started (read or write error, 4 GiB limit,
// zlib error); the detail text says what and where.
inline constexpr unsigned long FAIL_WRITE_PKG = 4;

struct NotifyParams {
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};
// wParam 1 and NOTIFY_FINISHED, or the reason and NOTIFY_FAILED.
NotifyParams NotifyParamsOf(PackResult result);

// Results of the last job that ended, for the window; each is written before
// the notification that tells the window to read it.
extern float ElapsedSeconds;  // duration of the last finished job
// Full path of the file a job could not open, or of the folder it could not
// list, then with a separator at its end.
extern std::string FailedSourceFile;
// What failed and why, for FAIL_WRITE_PKG (shown to the user), and the system's
// reason for FAIL_CREATE_PKG and FAIL_OPEN_SOURCE (for the console's message).
extern std::string FailureDetail;

// Writes the results above from an outcome, as a job does before it posts.
void PublishOutcome(const PackOutcome& outcome);

}  // namespace pkg

#pragma once

namespace pkgtool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;         // the job or the archive failed
inline constexpr int kExitUsage = 2;          // the command line cannot be run as given
inline constexpr int kExitInterrupted = 130;  // stopped by Ctrl-C, nothing left behind

}  // namespace pkgtool

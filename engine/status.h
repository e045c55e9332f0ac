// How the engine reports failure. A call that a front end or the job makes
// on its own terms (the platform's file calls, the scan, reading an archive,
// starting a job) returns a Status: success, or a message made where the
// failure is known ("cannot open D:\a.bin: access denied"). Inside a running
// job the streams, zlib, the pipeline and the job itself raise exceptions
// instead, EJobAborted for a stop, so that the loops that move bytes need no
// checks after each call. They never cross a thread: a worker's failure is
// handed to the job's thread (PackPipeline), and the job's thread turns
// whatever reaches it into the job's outcome (PKGPackWorker::Execute), a
// reason and a detail. Front ends only display messages and outcomes.
#pragma once

#include <string>
#include <utility>

namespace pkg {

// A path or a name as messages show it: between single quotes.
inline std::string Quoted(const std::string& s) {
  return "'" + s + "'";
}

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Fail(std::string message) { return Status(std::move(message), true); }

  bool ok() const { return !failed_; }
  const std::string& message() const { return message_; }

 private:
  Status(std::string message, bool failed) : message_(std::move(message)), failed_(failed) {}
  std::string message_;
  bool failed_ = false;
};

}  // namespace pkg

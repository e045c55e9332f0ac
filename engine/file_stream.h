// A TStream over a platform file, raising EStreamError with the system's
// reason when the file refuses an operation.
#pragma once

#include <atomic>
#include <memory>

#include "platform.h"
#include "streams.h"

namespace pkg {

// Raised inside a job when its abort was requested; never leaves the job.
class EJobAborted : public std::exception {
 public:
  const char* what() const noexcept override { return "the job was aborted"; }
};

class TPlatformFileStream : public TStream {
 public:
  // With stop given, every read and write first checks it and raises
  // EJobAborted once it is set, so nothing more moves after an abort.
  explicit TPlatformFileStream(std::unique_ptr<PlatformFile> file,
                               const std::atomic<bool>* stop = nullptr);

  std::size_t Read(void* buffer, std::size_t count) override;
  void Write(const void* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override;

  PlatformFile& File() { return *file_; }
  Status Close();

 private:
  void CheckStop() const {
    if (stop_ && stop_->load(std::memory_order_relaxed)) throw EJobAborted();
  }
  std::unique_ptr<PlatformFile> file_;
  const std::atomic<bool>* stop_;
  std::int64_t pos_ = 0;
  std::int64_t size_ = -1;  // known end, -1 until asked
};

}  // namespace pkg

// A TStream over a platform file, raising EStreamError with the system's
// reason when the file refuses an operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

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

  // Appends up to count bytes from source's current position, the fastest way
  // the platform offers; returns how many, 0 at the end of source.
  std::size_t CopyFrom(Platform& platform, PlatformFile& source, std::size_t count,
                       std::span<std::uint8_t> scratch);

 private:
  void CheckStop() const {
    if (stop_ && stop_->load(std::memory_order_relaxed)) throw EJobAborted();
  }
  std::unique_ptr<PlatformFile> file_;
  const std::atomic<bool>* stop_;
  std::int64_t pos_ = 0;
  std::int64_t size_ = -1;  // known end, -1 until asked
};

// Gathers small writes into large ones in front of a file stream, so that
// thousands of small files cost one system call per buffer rather than one
// each. Bytes reach the file only on Flush or when a write does not fit;
// whatever is still buffered when the object goes is dropped, never written,
// so nothing moves after an abort.
class TBufferedWriteStream : public TStream {
 public:
  TBufferedWriteStream(TPlatformFileStream& file, std::size_t capacity);

  std::size_t Read(void* buffer, std::size_t count) override;  // always throws
  void Write(const void* buffer, std::size_t count) override;
  // Asking for the position, or for the position it already has, costs
  // nothing; any other seek flushes first.
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override;

  void Flush();
  // Flushes, then appends from source as TPlatformFileStream::CopyFrom does.
  std::size_t CopyFrom(Platform& platform, PlatformFile& source, std::size_t count,
                       std::span<std::uint8_t> scratch);
  // Appends up to count bytes read from source straight into the buffer,
  // flushing it first when it is full; returns how many, 0 at the end of
  // source. For small files, which this way cost one read and no copy.
  std::size_t ReadFrom(PlatformFile& source, std::size_t count);

 private:
  TPlatformFileStream& file_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t capacity_;
  std::size_t used_ = 0;
};

}  // namespace pkg

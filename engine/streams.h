// Byte streams in the shape the packer's code is written against: a seekable
// stream with Read/Write/Seek, an in-memory stream, and errors as exceptions
// that the job catches and turns into its outcome.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace pkg {

// Raised by a stream that cannot do what it was asked; the message says what
// failed and why, in words a user can act on.
class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Reads up to count bytes; returns how many were read (0 at the end).
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes all count bytes or throws.
  virtual void Write(const void* buffer, std::size_t count) = 0;
  // Returns the new position.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
  virtual std::int64_t Size();

  // Reads exactly count bytes or throws.
  void ReadBuffer(void* buffer, std::size_t count);
};

// A growable stream held in memory.
class TMemoryStream : public TStream {
 public:
  std::size_t Read(void* buffer, std::size_t count) override;
  void Write(const void* buffer, std::size_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }

  const std::vector<std::uint8_t>& Data() const { return data_; }
  std::vector<std::uint8_t>& Data() { return data_; }
  void Clear() {
    data_.clear();
    pos_ = 0;
  }

 private:
  std::vector<std::uint8_t> data_;
  std::size_t pos_ = 0;
};

}  // namespace pkg

#include "file_stream.h"

#include <algorithm>
#include <cstring>

namespace pkg {

TPlatformFileStream::TPlatformFileStream(std::unique_ptr<PlatformFile> file,
                                         const std::atomic<bool>* stop)
    : file_(std::move(file)), stop_(stop) {}

std::size_t TPlatformFileStream::Read(void* buffer, std::size_t count) {
  CheckStop();
  std::size_t got = 0;
  if (Status s = file_->Read(buffer, count, got); !s.ok()) throw EStreamError(s.message());
  pos_ += static_cast<std::int64_t>(got);
  return got;
}

void TPlatformFileStream::Write(const void* buffer, std::size_t count) {
  CheckStop();
  if (Status s = file_->Write(buffer, count); !s.ok()) throw EStreamError(s.message());
  pos_ += static_cast<std::int64_t>(count);
  if (size_ >= 0 && pos_ > size_) size_ = pos_;
}

std::int64_t TPlatformFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t target = offset;
  if (origin == TSeekOrigin::soCurrent) {
    if (offset == 0) return pos_;
    target = pos_ + offset;
  } else if (origin == TSeekOrigin::soEnd) {
    target = Size() + offset;
  }
  if (target < 0) throw EStreamError("cannot seek before the start of a file");
  if (target != pos_) {
    if (Status s = file_->Seek(static_cast<std::uint64_t>(target)); !s.ok())
      throw EStreamError(s.message());
    pos_ = target;
  }
  return pos_;
}

std::int64_t TPlatformFileStream::Size() {
  if (size_ < 0) {
    std::uint64_t size = 0;
    if (Status s = file_->Size(size); !s.ok()) throw EStreamError(s.message());
    size_ = static_cast<std::int64_t>(size);
  }
  return size_;
}

Status TPlatformFileStream::Close() {
  return file_->Close();
}

std::size_t TPlatformFileStream::CopyFrom(Platform& platform, PlatformFile& source,
                                          std::size_t count, std::span<std::uint8_t> scratch) {
  CheckStop();
  std::size_t copied = 0;
  if (Status s = platform.CopyData(source, *file_, count, scratch, copied); !s.ok())
    throw EStreamError(s.message());
  pos_ += static_cast<std::int64_t>(copied);
  if (size_ >= 0 && pos_ > size_) size_ = pos_;
  return copied;
}

TBufferedWriteStream::TBufferedWriteStream(TPlatformFileStream& file, std::size_t capacity)
    : file_(file), buffer_(new std::uint8_t[capacity]), capacity_(capacity) {}

std::size_t TBufferedWriteStream::Read(void*, std::size_t) {
  throw EStreamError("cannot read from a write-only stream");
}

void TBufferedWriteStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return;  // an empty write may come with no buffer at all
  if (count <= capacity_ - used_) {
    std::memcpy(buffer_.get() + used_, buffer, count);
    used_ += count;
    return;
  }
  Flush();
  // Large pieces go straight through rather than being copied once more.
  if (count >= capacity_ / 2) {
    file_.Write(buffer, count);
    return;
  }
  std::memcpy(buffer_.get(), buffer, count);
  used_ = count;
}

std::int64_t TBufferedWriteStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  const std::int64_t here = file_.Position() + static_cast<std::int64_t>(used_);
  if ((origin == TSeekOrigin::soCurrent && offset == 0) ||
      (origin == TSeekOrigin::soBeginning && offset == here))
    return here;
  Flush();
  return file_.Seek(offset, origin);
}

std::int64_t TBufferedWriteStream::Size() {
  Flush();
  return file_.Size();
}

void TBufferedWriteStream::Flush() {
  if (used_ == 0) return;
  file_.Write(buffer_.get(), used_);
  used_ = 0;
}

std::size_t TBufferedWriteStream::CopyFrom(Platform& platform, PlatformFile& source,
                                           std::size_t count, std::span<std::uint8_t> scratch) {
  Flush();
  return file_.CopyFrom(platform, source, count, scratch);
}

std::size_t TBufferedWriteStream::ReadFrom(PlatformFile& source, std::size_t count) {
  if (used_ == capacity_) Flush();
  std::size_t got = 0;
  if (Status s = source.Read(buffer_.get() + used_, std::min(count, capacity_ - used_), got);
      !s.ok())
    throw EStreamError(s.message());
  used_ += got;
  return got;
}

}  // namespace pkg

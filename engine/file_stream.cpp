#include "file_stream.h"

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

}  // namespace pkg

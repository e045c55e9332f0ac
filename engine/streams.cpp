#include "streams.h"

#include <algorithm>
#include <cstring>

namespace pkg {

std::int64_t TStream::Size() {
  const std::int64_t here = Position();
  const std::int64_t end = Seek(0, TSeekOrigin::soEnd);
  SetPosition(here);
  return end;
}

void TStream::ReadBuffer(void* buffer, std::size_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (count > 0) {
    const std::size_t got = Read(out, count);
    if (got == 0) throw EStreamError("stream read error: unexpected end of data");
    out += got;
    count -= got;
  }
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  if (pos_ >= data_.size()) return 0;
  const std::size_t n = std::min(count, data_.size() - pos_);
  std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += n;
  return n;
}

void TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return;
  if (pos_ + count > data_.size()) data_.resize(pos_ + count);
  std::memcpy(data_.data() + pos_, buffer, count);
  pos_ += count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  switch (origin) {
    case TSeekOrigin::soBeginning:
      base = 0;
      break;
    case TSeekOrigin::soCurrent:
      base = static_cast<std::int64_t>(pos_);
      break;
    case TSeekOrigin::soEnd:
      base = static_cast<std::int64_t>(data_.size());
      break;
  }
  const std::int64_t target = base + offset;
  if (target < 0) throw EStreamError("memory stream: seek before the start");
  pos_ = static_cast<std::size_t>(target);
  return target;
}

}  // namespace pkg

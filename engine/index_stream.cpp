#include "index_stream.h"

#include <cassert>

namespace pkg {
namespace {

// Records go to zlib in pieces of about this size: large enough that the
// calls cost nothing, small enough to stay in cache.
constexpr std::size_t kPiece = 64 << 10;

}  // namespace

IndexStream::IndexStream()
    : zstream_(std::make_unique<TZCompressionStream>(compressed_, TZCompressionLevel::zcDefault)) {
  pending_.reserve(kPiece + 4096);
}

void IndexStream::Append(const IndexRecord& record) {
  const std::size_t before = pending_.size();
  AppendIndexRecord(pending_, record);
  size_ += pending_.size() - before;
  if (pending_.size() >= kPiece) Compress();
}

void IndexStream::Compress() {
  zstream_->Write(pending_.data(), pending_.size());
  pending_.clear();
}

SealedIndex IndexStream::Seal(std::span<const std::uint8_t> key) {
  assert(size_ <= 0xFFFFFFFFu);
  Compress();
  zstream_->Finish();
  zstream_.reset();
  return SealCompressedIndex(static_cast<std::uint32_t>(size_), std::move(compressed_.Data()), key);
}

}  // namespace pkg

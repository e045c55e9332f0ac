// The archive's index built and compressed record by record while the files
// are stored, so that when the last one is, only the end of the zlib stream
// is left to make. The same bytes as SealIndex over the whole index: zlib's
// output does not depend on how its input arrives.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ZLibEx.h"
#include "pkg_index.h"
#include "streams.h"

namespace pkg {

class IndexStream {
 public:
  IndexStream();

  void Append(const IndexRecord& record);
  // Bytes of records so far: the index size.
  std::uint64_t Size() const { return size_; }
  // Ends the stream, then digests and scrambles it as SealIndex does. Once;
  // the index must be below 4 GiB.
  SealedIndex Seal(std::span<const std::uint8_t> key);

 private:
  void Compress();

  std::vector<std::uint8_t> pending_;  // records not compressed yet
  std::uint64_t size_ = 0;
  TMemoryStream compressed_;
  std::unique_ptr<TZCompressionStream> zstream_;
};

}  // namespace pkg

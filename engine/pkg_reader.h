// Reading an archive back: the header, the trailer, the unscrambled and
// checked index, and each file's data. Every size taken from the archive is
// checked against the file's length before anything is allocated for it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "pkg_format.h"
#include "pkg_index.h"
#include "status.h"
#include "streams.h"

namespace pkg {

struct PkgHeader {
  std::int32_t type = 0;
  std::uint32_t compression = 0;
  std::uint32_t trailerOffset = 0;
  std::uint32_t constant = 0;
};

struct PkgArchive {
  std::uint64_t fileSize = 0;
  PkgHeader header;
  std::uint32_t indexSize = 0;
  std::array<std::uint8_t, kDigestTextSize> storedDigest{};  // as stored, masked
  std::vector<std::uint8_t> compressedIndex;                 // unscrambled
  std::vector<IndexRecord> records;
};

// Reads and checks the header and the trailer, unscrambles the index with key,
// checks its digest, inflates it and splits it into records. The records'
// data must lie back to back from offset 24 up to the trailer, in index order,
// and no name may appear twice. The first problem met fails the call with a
// message that says what is wrong and where.
Status ReadArchive(TStream& in, std::span<const std::uint8_t> key, PkgArchive& archive);

// True when the index of the archive in `in` unscrambles to its digest with
// key; reads only the header and the trailer.
bool KeyFitsArchive(TStream& in, std::span<const std::uint8_t> key);

// The content of one file: its stored bytes, inflated when the archive is
// compressed, checked to be exactly record.size bytes.
Status ReadRecordData(TStream& in, const PkgArchive& archive, const IndexRecord& record,
                      std::vector<std::uint8_t>& content);

// Inflates one complete zlib stream that must fill `in` exactly and give
// exactly expectedSize bytes. A failure's message is a predicate ("is cut
// short: ...", "inflates to 3 bytes, not its size of 5") for the caller to put
// after the name of what was inflated and where it lies.
Status InflateExact(std::span<const std::uint8_t> in, std::uint64_t expectedSize,
                    std::vector<std::uint8_t>& out);

}  // namespace pkg

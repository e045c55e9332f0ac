// Archives laid out byte by byte for the command-line tests: sound ones as the
// packer writes them, and hostile ones with any index, data area or trailer.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pkg_format.h"
#include "pkg_index.h"

namespace pkgtest {

using ArchiveBytes = std::vector<std::uint8_t>;

inline ArchiveBytes Game1Key() {
  return {pkg::kGame1Key.begin(), pkg::kGame1Key.end()};
}

inline ArchiveBytes Deflate(const ArchiveBytes& in) {
  uLongf len = compressBound(static_cast<uLong>(in.size()));
  ArchiveBytes out(len);
  compress2(out.data(), &len, in.data(), static_cast<uLong>(in.size()), Z_DEFAULT_COMPRESSION);
  out.resize(len);
  return out;
}

// The pieces of an archive; the trailer offset is 24 plus the data's length.
struct ArchivePieces {
  std::uint32_t compression = 0;
  ArchiveBytes data;
  std::vector<pkg::IndexRecord> records;
  std::optional<std::uint32_t> indexSize;  // stored instead of the real one
  ArchiveBytes key = Game1Key();
};

inline ArchiveBytes Assemble(const ArchivePieces& s) {
  const auto header = pkg::MakeHeader(1, s.compression == 1,
                                      static_cast<std::uint32_t>(pkg::kHeaderSize + s.data.size()));
  ArchiveBytes out(header.begin(), header.end());
  out.insert(out.end(), s.data.begin(), s.data.end());
  std::vector<std::uint8_t> index;
  for (const pkg::IndexRecord& r : s.records) pkg::AppendIndexRecord(index, r);
  pkg::SealedIndex sealed = pkg::SealIndex(index, s.key);
  if (s.indexSize) sealed.indexSize = *s.indexSize;
  const ArchiveBytes trailer = pkg::TrailerBytes(sealed);
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

struct ArchiveFile {
  std::string name;  // code page 936 bytes, "\data\a.bin"
  ArchiveBytes content;
};

// The files back to back from offset 24, as the packer lays them out.
inline ArchivePieces PiecesOf(const std::vector<ArchiveFile>& files, bool compressed) {
  ArchivePieces s;
  s.compression = compressed ? 1 : 0;
  for (const ArchiveFile& f : files) {
    const ArchiveBytes stored = compressed ? Deflate(f.content) : f.content;
    s.records.push_back({f.name, static_cast<std::uint32_t>(pkg::kHeaderSize + s.data.size()),
                         static_cast<std::uint32_t>(f.content.size()),
                         static_cast<std::uint32_t>(stored.size())});
    s.data.insert(s.data.end(), stored.begin(), stored.end());
  }
  return s;
}

}  // namespace pkgtest

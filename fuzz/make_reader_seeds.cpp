// Writes the reader fuzzer's seed corpus: small sound archives after the flag
// byte and key the fuzzer reads, for stored and compressed data and several
// kinds of key; each also with its index uncompressed, as the fuzzer takes it
// under the flag 0x10.
//   make_reader_seeds DIR
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "pkg_format.h"
#include "pkg_index.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct File {
  std::string name;  // code page 936 bytes
  Bytes content;
};

Bytes Deflate(const Bytes& in) {
  uLongf len = compressBound(static_cast<uLong>(in.size()));
  Bytes out(len);
  compress2(out.data(), &len, in.data(), static_cast<uLong>(in.size()), Z_DEFAULT_COMPRESSION);
  out.resize(len);
  return out;
}

Bytes Seed(const std::vector<File>& files, bool compressed, const Bytes& key, bool rawIndex) {
  Bytes data;
  std::vector<std::uint8_t> index;
  for (const File& f : files) {
    const Bytes stored = compressed ? Deflate(f.content) : f.content;
    pkg::AppendIndexRecord(
        index,
        {f.name, static_cast<std::uint32_t>(pkg::kHeaderSize + data.size()),
         static_cast<std::uint32_t>(f.content.size()), static_cast<std::uint32_t>(stored.size())});
    data.insert(data.end(), stored.begin(), stored.end());
  }
  Bytes out = {static_cast<std::uint8_t>((key.size() - 1) | (rawIndex ? 0x10 : 0))};
  out.insert(out.end(), key.begin(), key.end());
  const auto header =
      pkg::MakeHeader(1, compressed, static_cast<std::uint32_t>(pkg::kHeaderSize + data.size()));
  out.insert(out.end(), header.begin(), header.end());
  out.insert(out.end(), data.begin(), data.end());
  pkg::SealedIndex sealed = pkg::SealIndex(index, key);
  if (rawIndex) sealed.scrambledIndex = index;
  const Bytes trailer = pkg::TrailerBytes(sealed);
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

// A stored archive with no data whose index is `record` repeated `count`
// times: an index that inflates a thousandfold.
Bytes BombSeed(const Bytes& record, std::size_t count, const Bytes& key) {
  std::vector<std::uint8_t> index;
  for (std::size_t i = 0; i < count; ++i) index.insert(index.end(), record.begin(), record.end());
  Bytes out = {static_cast<std::uint8_t>(key.size() - 1)};
  out.insert(out.end(), key.begin(), key.end());
  const auto header = pkg::MakeHeader(1, false, pkg::kHeaderSize);
  out.insert(out.end(), header.begin(), header.end());
  const Bytes trailer = pkg::TrailerBytes(pkg::SealIndex(index, key));
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_reader_seeds DIR\n", stderr);
    return 2;
  }
  const Bytes game1(pkg::kGame1Key.begin(), pkg::kGame1Key.end());
  const Bytes game2(pkg::kGame2Key.begin(), pkg::kGame2Key.end());
  Bytes repeating(200);
  for (std::size_t i = 0; i < repeating.size(); ++i)
    repeating[i] = static_cast<std::uint8_t>(i % 7);
  // Two thousand empty files with distinct names: a large sound index.
  std::vector<File> many;
  for (int i = 0; i < 2000; ++i) many.push_back({"\\f" + std::to_string(i), {}});
  const std::vector<File> files = {
      {"\\a.txt", Text("hello hello hello")},
      {"\\\xCA\xFD\xBE\xDD\\b.bin", repeating},  // "\数据\b.bin"
      {"\\empty", {}},
  };
  const struct {
    const char* name;
    std::vector<File> files;
    bool compressed;
    Bytes key;
  } seeds[] = {
      {"stored-game1", files, false, game1},
      {"compressed-game1", files, true, game1},
      {"compressed-game2", files, true, game2},
      {"stored-one-byte-key", files, false, {0x5A}},
      {"compressed-16-byte-key",
       files,
       true,
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
      {"no-files", {}, true, game1},
      {"one-empty-stored", {{"\\e", {}}}, false, game1},
      {"large-index-stored", many, false, game1},
  };
  const std::string dir = argv[1];
  for (const auto& s : seeds) {
    for (const bool raw : {false, true}) {
      const Bytes bytes = Seed(s.files, s.compressed, s.key, raw);
      const std::string path = dir + "/" + s.name + (raw ? "-raw-index" : "");
      std::FILE* f = std::fopen(path.c_str(), "wb");
      if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
          std::fclose(f) != 0) {
        std::perror(path.c_str());
        return 1;
      }
    }
  }
  // Index bombs: 1 MiB of records of 16 zero bytes, and 256 KiB of records of
  // one empty file "\a" again and again.
  Bytes named = {2, 0, 0, 0, '\\', 'a', 24, 0, 0, 0};
  named.resize(18, 0);
  const struct {
    const char* name;
    Bytes bytes;
  } bombs[] = {
      {"index-bomb-zero-records", BombSeed(Bytes(16, 0), 1 << 16, game1)},
      {"index-bomb-one-name", BombSeed(named, (256 << 10) / 18, game1)},
  };
  for (const auto& b : bombs) {
    const std::string path = dir + "/" + b.name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(b.bytes.data(), 1, b.bytes.size(), f) != b.bytes.size() ||
        std::fclose(f) != 0) {
      std::perror(path.c_str());
      return 1;
    }
  }
  return 0;
}

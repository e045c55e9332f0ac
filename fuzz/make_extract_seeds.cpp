// Writes the extraction fuzzer's seed corpus: a flag byte, the data area's
// length and the data area, and the index before compression, for trees
// stored and compressed, with folders shared and not, a deep path, a damaged
// file, and names that must be refused.
//   make_extract_seeds DIR
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
  std::string content;
};

Bytes Seed(const std::vector<File>& files, bool compressed) {
  Bytes data;
  std::vector<std::uint8_t> index;
  for (const File& f : files) {
    Bytes stored(f.content.begin(), f.content.end());
    if (compressed) {
      uLongf len = compressBound(static_cast<uLong>(stored.size()));
      Bytes out(len);
      compress2(out.data(), &len, stored.data(), static_cast<uLong>(stored.size()), 6);
      out.resize(len);
      stored = out;
    }
    pkg::AppendIndexRecord(
        index,
        {f.name, static_cast<std::uint32_t>(pkg::kHeaderSize + data.size()),
         static_cast<std::uint32_t>(f.content.size()), static_cast<std::uint32_t>(stored.size())});
    data.insert(data.end(), stored.begin(), stored.end());
  }
  Bytes seed = {static_cast<std::uint8_t>(compressed ? 1 : 0),
                static_cast<std::uint8_t>(data.size() & 0xFF),
                static_cast<std::uint8_t>(data.size() >> 8)};
  seed.insert(seed.end(), data.begin(), data.end());
  seed.insert(seed.end(), index.begin(), index.end());
  return seed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_extract_seeds DIR\n");
    return 2;
  }
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "\\d";
  const std::vector<std::vector<File>> trees = {
      {{"\\a.txt", "alpha"}},
      {{"\\a.txt", "alpha"},
       {"\\sub\\b.bin", "beta"},
       {"\\sub\\c\\d.bin", ""},
       {"\\other\\e", "e"},
       {"\\sub\\f", "f"}},
      {{"\\\xCA\xFD\xBE\xDD\\\xCE\xC4\xBC\xFE.txt", "chinese names"}},
      {{deep + "\\x", "deep"}, {deep + "\\y", "deeper"}},
      {{"\\ok", "ok"}, {"\\..\\up", "out"}},
      {{"\\ok", "ok"}, {"\\ok\\below", "a file in the way"}},
      {{"\\A", "upper"}, {"\\a", "lower"}},
  };
  int n = 0;
  for (const auto& tree : trees) {
    for (bool compressed : {false, true}) {
      const Bytes seed = Seed(tree, compressed);
      const std::string path = std::string(argv[1]) + "/seed" + std::to_string(n++);
      std::FILE* f = std::fopen(path.c_str(), "wb");
      if (!f) return 1;
      std::fwrite(seed.data(), 1, seed.size(), f);
      std::fclose(f);
    }
  }
  return 0;
}

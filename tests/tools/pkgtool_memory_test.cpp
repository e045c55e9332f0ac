// pkgtool on archives made to exhaust its memory: a 200 KB archive whose index
// inflates to 200 MiB of empty records, and sparse files of 1 and 8 GiB with
// the trailer right after the header. Each command runs with its address
// space limited to 1 GiB, and then to 32 MiB: it must end with exit 1 and
// say what is wrong, never abort. The peak memory of each run is printed (the README's
// reliability table quotes it) and held to a small bound.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pkg_format.h"
#include "pkg_index.h"
#include "run_tool.h"
#include "test_support.h"

namespace {

using namespace pkgtest;

// An archive with no data whose index is `record` repeated to fill about
// `indexSize` bytes. Compressed in 1 MiB pieces, so that the test itself
// stays small too.
Bytes IndexBomb(const Bytes& record, std::uint32_t indexSize) {
  Bytes piece;
  while (piece.size() + record.size() <= (1u << 20))
    piece.insert(piece.end(), record.begin(), record.end());
  const std::uint32_t pieces = indexSize / static_cast<std::uint32_t>(piece.size());
  z_stream z{};
  EXPECT_EQ(deflateInit(&z, 9), Z_OK);
  Bytes compressed;
  std::uint8_t out[1 << 16];
  for (std::uint32_t i = 0; i < pieces; ++i) {
    z.next_in = piece.data();
    z.avail_in = static_cast<uInt>(piece.size());
    const int flush = i + 1 == pieces ? Z_FINISH : Z_NO_FLUSH;
    do {
      z.next_out = out;
      z.avail_out = sizeof out;
      deflate(&z, flush);
      compressed.insert(compressed.end(), out, out + (sizeof out - z.avail_out));
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  const auto header = pkg::MakeHeader(1, false, pkg::kHeaderSize);
  Bytes archive(header.begin(), header.end());
  const Bytes trailer = pkg::TrailerBytes(pkg::SealCompressedIndex(
      pieces * static_cast<std::uint32_t>(piece.size()), std::move(compressed),
      std::vector<std::uint8_t>(pkg::kGame1Key.begin(), pkg::kGame1Key.end())));
  archive.insert(archive.end(), trailer.begin(), trailer.end());
  return archive;
}

// The header, its trailer at offset 24, then zeros up to size, without taking
// the space: the trailer's index is size - 60 bytes long.
void WriteSparse(const fs::path& path, std::uintmax_t size) {
  const auto header = pkg::MakeHeader(1, false, pkg::kHeaderSize);
  WriteFile(path, Bytes(header.begin(), header.end()));
  fs::resize_file(path, size);
}

TEST(PkgtoolMemory, HostileArchivesFailWithAMessageInBoundedMemory) {
  TempDir dir;
  // Records of 16 zero bytes: empty names, data at offset 0.
  const Bytes bomb = IndexBomb(Bytes(16, 0), 200u << 20);
  ASSERT_LT(bomb.size(), 300'000u);
  WriteFile(dir / "bomb.pkg", bomb);
  // Records of an empty file "\a" at offset 24: each sound on its own, the
  // same name again and again.
  Bytes named = {2, 0, 0, 0, '\\', 'a', 24, 0, 0, 0};
  named.resize(18, 0);
  WriteFile(dir / "named-bomb.pkg", IndexBomb(named, 200u << 20));
  WriteSparse(dir / "sparse-1g.pkg", std::uintmax_t{1} << 30);
  WriteSparse(dir / "sparse-8g.pkg", std::uintmax_t{8} << 30);

  const struct {
    const char* file;
    std::vector<const char*> commands;
    const char* message;
    long boundKiB;
  } kArchives[] = {
      {"bomb.pkg",
       {"list", "verify", "extract"},
       "after 100 problems with index records; the rest of the archive is not checked",
       16 * 1024},
      // list would show its 11 million records, in constant memory; the
      // others keep records for their checks up to the reader's limit.
      {"named-bomb.pkg",
       {"verify", "extract"},
       "the index holds more than 1048576 records",
       128 * 1024},
      {"sparse-1g.pkg",
       {"list", "verify", "extract"},
       "the index matches none of the 2 keys tried",
       16 * 1024},
      {"sparse-8g.pkg",
       {"list", "verify", "extract"},
       "the index matches none of the 2 keys tried",
       16 * 1024},
  };
  for (const auto& a : kArchives) {
    for (const char* command : a.commands) {
      SCOPED_TRACE(std::string(command) + " " + a.file);
      std::vector<std::string> args = {command, U8(dir / a.file)};
      if (std::string(command) == "extract") args.push_back(U8(dir / "dest"));
      const ToolRun r = RunToolWithin(args, 1ull << 30);
      std::printf("pkgtool %s %s: exit %d, peak memory %ld KiB\n", command, a.file, r.exitCode,
                  r.peakKiB);
      EXPECT_EQ(r.signal, 0) << r.err;
      EXPECT_EQ(r.exitCode, 1) << r.err;
      EXPECT_TRUE((r.out + r.err).find(a.message) != std::string::npos) << r.out << r.err;
      EXPECT_LT(r.peakKiB, a.boundKiB);
      EXPECT_FALSE(fs::exists(dir / "dest"));
    }
  }

  // With too little room for the records kept, the commands say so.
  for (const char* command : {"verify", "extract"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args = {command, U8(dir / "named-bomb.pkg")};
    if (std::string(command) == "extract") args.push_back(U8(dir / "dest"));
    const ToolRun r = RunToolWithin(args, 32ull << 20);
    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE((r.out + r.err).find("the system has no memory left") != std::string::npos)
        << r.out << r.err;
    EXPECT_FALSE(fs::exists(dir / "dest"));
  }
}

}  // namespace

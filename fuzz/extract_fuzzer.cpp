// libFuzzer target over extraction. Whatever the archive, extracting it into
// a fresh scratch folder writes nothing outside DEST, never makes a link, and
// leaves only files the archive holds, each of its size, and no temporary
// file.
//
// An input is a flag byte (bit 0: files compressed), the data area's length
// as two little-endian bytes, the data area, and the index before
// compression; the fuzzer seals the index with the key of game 1, so its
// changes reach the name checks and the writing instead of stopping at the
// digest.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "extract.h"
#include "extract_fs.h"
#include "pkg_format.h"
#include "pkg_index.h"
#include "pkg_reader.h"
#include "platform.h"
#include "streams.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "extract_fuzzer: %s\n", what);
  std::abort();
}

Bytes ArchiveOf(const std::uint8_t* data, std::size_t size) {
  const bool compressed = data[0] & 1;
  std::size_t dataLength = data[1] | (static_cast<std::size_t>(data[2]) << 8);
  dataLength = std::min(dataLength, size - 3);
  const auto header =
      pkg::MakeHeader(1, compressed, static_cast<std::uint32_t>(pkg::kHeaderSize + dataLength));
  Bytes archive(header.begin(), header.end());
  archive.insert(archive.end(), data + 3, data + 3 + dataLength);
  const std::vector<std::uint8_t> index(data + 3 + dataLength, data + size);
  const Bytes trailer = pkg::TrailerBytes(pkg::SealIndex(
      index, std::span<const std::uint8_t>(pkg::kGame1Key.data(), pkg::kGame1Key.size())));
  archive.insert(archive.end(), trailer.begin(), trailer.end());
  return archive;
}

// A fresh scratch folder for one input, removed with everything in it when
// the input is done; left as it is when the fuzzer stops on a finding.
class Scratch {
 public:
  Scratch() {
    std::string base = (fs::temp_directory_path() / "pkg-extract-fuzz-XXXXXX").string();
    Require(::mkdtemp(base.data()) != nullptr, "cannot make the scratch folder");
    path_ = base;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const Bytes archive = ArchiveOf(data, size);
  const Scratch scratch;
  const fs::path& run = scratch.path();
  fs::create_directories(run / "outside");
  const fs::path pkgPath = run / "a.pkg";
  {
    std::FILE* f = std::fopen(pkgPath.c_str(), "wb");
    Require(f != nullptr, "cannot write the archive");
    std::fwrite(archive.data(), 1, archive.size(), f);
    std::fclose(f);
  }

  pkgtool::ExtractRequest request;
  request.archive = pkgPath.string();
  request.dest = (run / "dest").string();
  request.key.kind = pkgtool::KeyChoice::Kind::kGame1;
  request.sync = false;  // a scratch folder: no need to wait for the disk
  const int code = pkgtool::ExtractArchive(pkg::SystemPlatform(), pkgtool::SystemExtractFs(),
                                           request, [](std::FILE*, const std::string&) {});
  Require(code == 0 || code == 1, "an exit code extraction does not give");

  // Beside DEST, only what was there.
  for (const auto& e : fs::directory_iterator(run)) {
    const std::string name = e.path().filename().string();
    Require(name == "a.pkg" || name == "outside" || name == "dest",
            "something written beside DEST");
  }
  Require(fs::is_empty(run / "outside"), "something written outside DEST");
  if (!fs::exists(run / "dest")) return 0;

  // Below DEST, only folders and files the archive names, each of its size.
  pkg::TMemoryStream in;
  in.Write(archive.data(), archive.size());
  pkg::PkgArchive read;
  const bool sound =
      pkg::ReadArchive(in, Bytes(pkg::kGame1Key.begin(), pkg::kGame1Key.end()), read).ok();
  std::map<std::string, std::uint32_t> sizes;  // by name in code page 936
  if (sound)
    for (const pkg::IndexRecord& r : read.records) sizes[r.name] = r.size;
  pkg::Platform& platform = pkg::SystemPlatform();
  for (auto it = fs::recursive_directory_iterator(run / "dest"); it != fs::end(it); ++it) {
    const fs::file_status st = it->symlink_status();
    Require(fs::is_directory(st) || fs::is_regular_file(st), "a link or device below DEST");
    if (!fs::is_regular_file(st)) continue;
    std::string rel = "/" + fs::relative(it->path(), run / "dest").generic_string(), cp936;
    for (char& c : rel)
      if (c == '/') c = '\\';
    Require(platform.ToCodePage936(rel, cp936), "a file name the archive cannot hold");
    const auto found = sizes.find(cp936);
    Require(found != sizes.end(), "a file below DEST that the archive does not name");
    Require(fs::file_size(it->path()) == found->second, "a file of another size than its record");
  }
  return 0;
}

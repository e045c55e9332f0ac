// pkgtool list: the header, the key that opens the index, and one line per
// record.
#include <cinttypes>
#include <cstdio>

#include "archive_session.h"
#include "commands.h"
#include "console.h"
#include "exit_codes.h"

namespace pkgtool {
namespace {

const char* const kListHelp =
    "usage: pkgtool list ARCHIVE [--game 1|2|auto | --key HEX]\n"
    "\n"
    "Shows the archive's header, the key that opens its index, and one line per\n"
    "file: offset, size, stored size and name, in the order of the index; then\n"
    "the totals. Problems found on the way are shown on the error output.\n"
    "\n"
    "  --game auto      try the built-in keys of both games and say which fits\n"
    "                   (the default)\n"
    "  --game 1|2       open the index with the built-in key of game 1 or game 2\n"
    "  --key HEX        open the index with this key, e.g. 3A7F0C52E9\n"
    "\n"
    "Exit codes: 0 listed, 1 the archive cannot be read or has problems,\n"
    "2 bad command line.\n";

std::string Columns(std::uint64_t offset, std::uint64_t size, std::uint64_t stored,
                    const std::string& name) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%10" PRIu64 " %10" PRIu64 " %10" PRIu64 "  ", offset, size,
                stored);
  return buf + name;
}

}  // namespace

int RunList(const std::vector<std::string>& args) {
  ReadArgs a;
  std::string error;
  if (!ParseReadArgs(args, a, error)) return Usage("list", error);
  if (a.help) {
    std::fputs(kListHelp, stdout);
    return kExitOk;
  }
  if (a.positional.size() != 1) return Usage("list", "give one archive");

  ArchiveSession session(pkg::SystemPlatform(), a.positional[0], a.key);
  if (pkg::Status s = session.Open(); !s.ok()) {
    PrintLine(stderr, "pkgtool list: " + s.message());
    return kExitFailed;
  }
  std::vector<std::string> problems;
  const pkg::Inspection r =
      session.Inspect([&problems](const std::string& line) { problems.push_back(line); });
  const pkg::PkgArchive& archive = session.archive();
  if (r.trailerRead) {
    PrintLine(stdout,
              "archive: " + session.path() + " (" + std::to_string(archive.fileSize) + " bytes)");
    const std::uint32_t flag = archive.header.compression;
    PrintLine(stdout, "header: type " + std::to_string(archive.header.type) + ", compression " +
                          std::to_string(flag) +
                          (flag == 0   ? " (files stored as they are)"
                           : flag == 1 ? " (each file one zlib stream)"
                                       : " (unknown)") +
                          ", trailer at offset " + std::to_string(archive.header.trailerOffset));
  }
  if (r.key >= 0) {
    // The compressed index runs from the trailer's fixed part to the end.
    const std::uint64_t compressed =
        archive.fileSize - archive.header.trailerOffset - pkg::kTrailerFixedSize;
    PrintLine(stdout, "index: " + std::to_string(archive.indexSize) + " bytes, " +
                          std::to_string(compressed) + " compressed; key: " + session.KeyUsed());
  }
  std::uint64_t bytes = 0, stored = 0;
  if (!archive.records.empty()) {
    PrintLine(stdout, "    offset       size     stored  name");
    for (std::size_t i = 0; i < archive.records.size(); ++i) {
      const pkg::IndexRecord& rec = archive.records[i];
      PrintLine(stdout, Columns(rec.offset, rec.size, rec.storedSize, session.Name(i)));
      bytes += rec.size;
      stored += rec.storedSize;
    }
  }
  if (r.indexRead) {
    const std::size_t n = archive.records.size();
    PrintLine(stdout, std::to_string(n) + (n == 1 ? " file, " : " files, ") +
                          std::to_string(bytes) + " bytes, stored in " + std::to_string(stored) +
                          " bytes");
  }
  for (const std::string& p : problems) PrintLine(stderr, "pkgtool list: " + p);
  if (r.trailerRead && r.key < 0) PrintLine(stderr, "pkgtool list: " + session.KeyHint());
  return problems.empty() ? kExitOk : kExitFailed;
}

}  // namespace pkgtool

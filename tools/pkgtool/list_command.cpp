// pkgtool list: the header, the key that opens the index, and one line per
// record.
#include <cinttypes>
#include <cstdio>

#include "archive_names.h"
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
    "the totals, showing each record as it is read. Problems found on the way\n"
    "are shown on the error output; each record is checked on its own here,\n"
    "verify checks them against each other.\n"
    "\n"
    "  --game auto      try the built-in keys of both games and say which fits\n"
    "                   (the default)\n"
    "  --game 1|2       open the index with the built-in key of game 1 or game 2\n"
    "  --key HEX        open the index with this key, e.g. 3A7F0C52E9\n"
    "\n"
    "Exit codes: 0 listed, 1 the archive cannot be read or has problems,\n"
    "2 bad command line.\n";

std::string Bytes(std::uint64_t n) {
  return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

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
  // Problems go to the error output as they are found, records to the
  // output as they are read: nothing grows with the index.
  std::size_t problems = 0;
  const pkg::PkgArchive& archive = session.archive();
  bool headerShown = false;
  auto showHeader = [&] {
    if (headerShown) return;
    headerShown = true;
    PrintLine(stdout, "archive: " + session.path() + " (" + Bytes(archive.fileSize) + ")");
    const std::uint32_t flag = archive.header.compression;
    PrintLine(stdout, "header: type " + std::to_string(archive.header.type) + ", compression " +
                          std::to_string(flag) +
                          (flag == 0   ? " (files stored as they are)"
                           : flag == 1 ? " (each file one zlib stream)"
                                       : " (unknown)") +
                          ", trailer at offset " + std::to_string(archive.header.trailerOffset));
  };
  std::uint64_t bytes = 0, stored = 0;
  std::size_t count = 0;
  const pkg::Inspection r = session.List(
      [&problems](const std::string& line) {
        ++problems;
        PrintLine(stderr, "pkgtool list: " + line);
      },
      [&](const pkg::Inspection&) {
        showHeader();
        PrintLine(stdout, "index: " + Bytes(archive.indexSize) + ", " +
                              std::to_string(archive.compressedIndexSize) +
                              " compressed; key: " + session.KeyUsed());
      },
      [&](std::size_t, const pkg::IndexRecord& rec) {
        if (count++ == 0) PrintLine(stdout, "    offset       size     stored  name");
        PrintLine(stdout, Columns(rec.offset, rec.size, rec.storedSize,
                                  DisplayName(session.platform(), rec.name)));
        bytes += rec.size;
        stored += rec.storedSize;
        return true;
      });
  if (r.trailerRead) showHeader();
  if (r.indexRead)
    PrintLine(stdout, std::to_string(count) + (count == 1 ? " file, " : " files, ") + Bytes(bytes) +
                          ", stored in " + Bytes(stored));
  if (r.trailerRead && r.key < 0) PrintLine(stderr, "pkgtool list: " + session.KeyHint());
  return problems == 0 ? kExitOk : kExitFailed;
}

}  // namespace pkgtool

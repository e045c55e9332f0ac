// Reading an archive back: the header, the trailer, the unscrambled and
// checked index, and each file's data. Every size taken from the archive is
// checked against the file's length before anything is allocated for it, and
// the index is read as a stream of records: an archive cannot make the reader
// hold more than the limits below, whatever its index claims.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "pkg_format.h"
#include "pkg_index.h"
#include "status.h"
#include "streams.h"

namespace pkg {

// Records an inspection keeps for the checks that compare them with each
// other. Far more files than a game archive holds; the records of a full
// index take about 100 MiB.
inline constexpr std::size_t kMaxIndexRecords = std::size_t{1} << 20;
// The name bytes of the records kept, together.
inline constexpr std::uint64_t kMaxIndexNameBytes = std::uint64_t{128} << 20;
// One name's length: a code page 936 character takes at most two bytes, so a
// longer name has more than 32,767 characters, longer than any path a system
// takes (Windows' longest).
inline constexpr std::uint32_t kMaxNameLength = 65535;
// Problems with index records passed on before the inspection ends with a
// line saying it stopped, so that a damaged index cannot flood the output.
inline constexpr std::size_t kMaxRecordProblems = 100;

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
  // The compressed index's length: from the trailer's fixed part to the end.
  std::uint64_t compressedIndexSize = 0;
  std::array<std::uint8_t, kDigestTextSize> storedDigest{};  // as stored, masked
  std::vector<IndexRecord> records;  // kept by InspectArchive, not by ListArchive
};

// One thing wrong with an archive. The message is complete on its own: it says
// what is wrong and where ("index record 2 (byte 22 of the index): ...").
struct ArchiveProblem {
  static constexpr std::size_t kNoRecord = static_cast<std::size_t>(-1);
  std::size_t record = kNoRecord;  // the index record it concerns, from 0
  std::string message;
};

// Receives each problem as it is found; returning false ends the inspection.
using ProblemSink = std::function<bool(const ArchiveProblem&)>;

// How far an inspection got.
struct Inspection {
  bool trailerRead = false;    // the header and trailer fields are in the archive
  int key = -1;                // which of the keys opened the index; -1: none
  bool digestMatches = false;  // the stored digest is that of the index
  bool indexRead = false;      // every index record was read (and kept, by InspectArchive)
  std::size_t problems = 0;    // problems passed to the sink
};

// Receives each index record, numbered from 0, as the index is read;
// returning false ends the reading.
using RecordSink = std::function<bool(std::size_t record, const IndexRecord&)>;
// Told once the trailer is read and a key has opened the index, before the
// first record.
using OpenedSink = std::function<void(const Inspection&)>;

// Reads as much of the archive as its damage allows and reports every problem
// of its header, trailer, index and layout: magic, header constant,
// compression flag, trailer offset, the digest, the index size, records cut
// short, records outside the data area, stored sizes that differ from sizes
// when nothing is compressed, data that overlaps, leaves gaps, or departs from
// the index order, and names that appear twice. The files' data itself is not
// read; StreamRecordData checks it.
//
// The scrambled index is read in pieces of 64 KiB, digested and inflated as
// it comes, so memory stays bounded whatever its length. The keys are tried
// in turn: the first whose unscrambled index fits the stored digest opens it.
// When none fits, the first under which the index still inflates to its size
// and splits into records is taken, and the digest is reported as damaged;
// when none does, the index cannot be read. Trying a key stops reading as soon
// as its zlib stream has ended, failed, or given more than the index size, so
// a huge trailer costs one piece per wrong key; the digest is then compared
// over the zlib stream's own bytes when it ended before the file did.
//
// The records are kept in archive.records, at most kMaxIndexRecords of them
// with kMaxIndexNameBytes of names; an index beyond that, or with more records
// than its data area can hold, is reported and not read further. After
// kMaxRecordProblems problems with records, one more problem says that the
// inspection stopped, and it ends.
Inspection InspectArchive(TStream& in, std::span<const std::vector<std::uint8_t>> keys,
                          PkgArchive& archive, const ProblemSink& sink);

// Reads the archive as InspectArchive does, but passes each record to records
// as it is read instead of keeping it, so memory stays bounded whatever the
// number of records. Each record is checked on its own (its name length, its
// data within the data area, its stored size) but not against the others:
// InspectArchive does that. opened, when given, is told before the first record.
Inspection ListArchive(TStream& in, std::span<const std::vector<std::uint8_t>> keys,
                       PkgArchive& archive, const ProblemSink& problems, const RecordSink& records,
                       const OpenedSink& opened = {});

// InspectArchive with one key, failing with the first problem found.
Status ReadArchive(TStream& in, std::span<const std::uint8_t> key, PkgArchive& archive);

// True when the index of the archive in `in` unscrambles to its digest with
// key; reads only the header and the trailer, in pieces.
bool KeyFitsArchive(TStream& in, std::span<const std::uint8_t> key);

// Receives a file's content piece by piece; a failure ends the read with it.
using DataSink = std::function<Status(std::span<const std::uint8_t>)>;

// Passes one file's content to sink in pieces of at most 256 KiB: its stored
// bytes, inflated when the archive is compressed, checked to be exactly
// record.size bytes. Memory stays bounded whatever the sizes the record
// claims; a failure says what is wrong with the data and where it lies.
Status StreamRecordData(TStream& in, const PkgArchive& archive, const IndexRecord& record,
                        const DataSink& sink);

// The content of one file, whole (see StreamRecordData).
Status ReadRecordData(TStream& in, const PkgArchive& archive, const IndexRecord& record,
                      std::vector<std::uint8_t>& content);

// Inflates one complete zlib stream that must fill `in` exactly and give
// exactly expectedSize bytes. A failure's message is a predicate ("is cut
// short: ...", "inflates to 3 bytes, not its size of 5") for the caller to put
// after the name of what was inflated and where it lies.
Status InflateExact(std::span<const std::uint8_t> in, std::uint64_t expectedSize,
                    std::vector<std::uint8_t>& out);

}  // namespace pkg

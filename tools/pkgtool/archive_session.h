// What list, verify and extract share: their command lines' common parts, the
// archive opened and inspected with the chosen key, and problems shown with
// the name of the record they concern.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "file_stream.h"
#include "key_options.h"
#include "pkg_reader.h"
#include "platform.h"

namespace pkgtool {

// Prints "pkgtool COMMAND: message" and the way to the help; returns kExitUsage.
int Usage(const std::string& command, const std::string& message);

struct ReadArgs {
  std::vector<std::string> positional;
  KeyChoice key;
  bool help = false;
};

// Takes --help, the key options and positional arguments; any other option is
// handed to extra, which returns false (with error set) when it does not know
// it. On failure, error says why.
using ExtraOption =
    std::function<bool(const std::vector<std::string>& args, std::size_t& i, std::string& error)>;
bool ParseReadArgs(const std::vector<std::string>& args, ReadArgs& out, std::string& error,
                   const ExtraOption& extra = {});

class ArchiveSession {
 public:
  ArchiveSession(pkg::Platform& platform, std::string path, KeyChoice key)
      : platform_(platform), path_(std::move(path)), key_(std::move(key)) {}

  // Opens the archive for reading.
  pkg::Status Open();
  // Inspects it with the chosen key(s), passing on each problem as a line.
  pkg::Inspection Inspect(const std::function<void(const std::string& line)>& problem);
  // Reads it as Inspect does, but hands each record to record as it is read
  // and keeps none, so that any number of records can be shown.
  pkg::Inspection List(const std::function<void(const std::string& line)>& problem,
                       const pkg::OpenedSink& opened, const pkg::RecordSink& record);
  // After Inspect: which key opened the index, in words.
  std::string KeyUsed() const;
  // After an inspection that found no key: what to do about it.
  std::string KeyHint() const;

  std::string Name(std::size_t record) const;  // UTF-8, for display
  std::string ProblemLine(const pkg::ArchiveProblem& p) const;

  pkg::Platform& platform() { return platform_; }
  const std::string& path() const { return path_; }
  pkg::TStream& stream() { return *stream_; }
  const pkg::PkgArchive& archive() const { return archive_; }
  const pkg::Inspection& inspection() const { return inspection_; }

 private:
  pkg::Platform& platform_;
  std::string path_;
  KeyChoice key_;
  std::unique_ptr<pkg::TPlatformFileStream> stream_;
  pkg::PkgArchive archive_;
  pkg::Inspection inspection_;
};

}  // namespace pkgtool

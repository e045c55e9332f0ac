#include "archive_session.h"

#include "archive_names.h"
#include "console.h"
#include "exit_codes.h"

namespace pkgtool {

int Usage(const std::string& command, const std::string& message) {
  PrintLine(stderr, "pkgtool " + command + ": " + message);
  PrintLine(stderr, "Run 'pkgtool " + command + " --help' for the options.");
  return kExitUsage;
}

bool ParseReadArgs(const std::vector<std::string>& args, ReadArgs& out, std::string& error,
                   const ExtraOption& extra) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out.help = true;
      return true;
    }
    switch (TakeKeyOption(args, i, /*allowAuto=*/true, out.key, error)) {
      case OptionResult::kTaken:
        continue;
      case OptionResult::kBad:
        return false;
      case OptionResult::kNotMine:
        break;
    }
    if (a.size() > 1 && a[0] == '-') {
      if (extra && extra(args, i, error)) continue;
      if (error.empty()) error = "unknown option '" + a + "'";
      return false;
    }
    out.positional.push_back(a);
  }
  return true;
}

pkg::Status ArchiveSession::Open() {
  std::unique_ptr<pkg::PlatformFile> file;
  if (pkg::Status s = platform_.OpenForReading(path_, file); !s.ok()) return s;
  stream_ = std::make_unique<pkg::TPlatformFileStream>(std::move(file));
  return pkg::Status::Ok();
}

pkg::Inspection ArchiveSession::Inspect(const std::function<void(const std::string&)>& problem) {
  const std::vector<std::vector<std::uint8_t>> keys = KeysToTry(key_);
  inspection_ = pkg::InspectArchive(*stream_, keys, archive_, [&](const pkg::ArchiveProblem& p) {
    problem(ProblemLine(p));
    return true;
  });
  return inspection_;
}

pkg::Inspection ArchiveSession::List(const std::function<void(const std::string&)>& problem,
                                     const pkg::OpenedSink& opened, const pkg::RecordSink& record) {
  const std::vector<std::vector<std::uint8_t>> keys = KeysToTry(key_);
  inspection_ = pkg::ListArchive(
      *stream_, keys, archive_,
      [&](const pkg::ArchiveProblem& p) {
        problem(ProblemLine(p));
        return true;
      },
      record,
      [&](const pkg::Inspection& r) {
        inspection_ = r;
        if (opened) opened(r);
      });
  return inspection_;
}

std::string ArchiveSession::KeyUsed() const {
  return DescribeKey(key_, inspection_.key);
}

std::string ArchiveSession::KeyHint() const {
  if (key_.kind == KeyChoice::Kind::kAuto)
    return "neither built-in key (game 1 or game 2) fits this archive; give its key with --key "
           "HEX";
  return "give the key the archive was packed with: --game 1, --game 2 or --key HEX";
}

std::string ArchiveSession::Name(std::size_t record) const {
  return DisplayName(platform_, archive_.records.at(record).name);
}

std::string ArchiveSession::ProblemLine(const pkg::ArchiveProblem& p) const {
  if (p.record < archive_.records.size()) return p.message + " (name " + Name(p.record) + ")";
  return p.message;
}

}  // namespace pkgtool

// pkgtool verify: every check the layout allows, one line per problem.
#include <algorithm>
#include <cstdio>

#include "archive_names.h"
#include "archive_session.h"
#include "commands.h"
#include "console.h"
#include "exit_codes.h"

namespace pkgtool {
namespace {

// Warnings are bounded, so that an archive made to collide cannot flood the
// output.
constexpr std::size_t kMaxCaseWarnings = 100;

const char* const kVerifyHelp =
    "usage: pkgtool verify ARCHIVE [--game 1|2|auto | --key HEX]\n"
    "\n"
    "Checks the archive as a game would read it: the magic, the header constant,\n"
    "the compression flag, the trailer offset, the digest of the index, the index\n"
    "size, each record lying within the data area with the records back to back\n"
    "in index order, no name twice, each name a path relative to a folder and\n"
    "none also the folder of another, and each file's stored bytes giving exactly\n"
    "its size. Prints one line per problem (at most about 100), then the verdict.\n"
    "Names that differ only in letter case, which Windows takes for one, are\n"
    "shown as warnings ('warning: index records 1 and 2 (...) differ only in\n"
    "letter case'); they do not change the verdict.\n"
    "\n"
    "  --game auto      try the built-in keys of both games (the default)\n"
    "  --game 1|2       use the built-in key of game 1 or game 2\n"
    "  --key HEX        use this key, e.g. 3A7F0C52E9\n"
    "\n"
    "Exit codes: 0 sound, 1 a problem was found or the archive cannot be read,\n"
    "2 bad command line.\n";

}  // namespace

int RunVerify(const std::vector<std::string>& args) {
  ReadArgs a;
  std::string error;
  if (!ParseReadArgs(args, a, error)) return Usage("verify", error);
  if (a.help) {
    std::fputs(kVerifyHelp, stdout);
    return kExitOk;
  }
  if (a.positional.size() != 1) return Usage("verify", "give one archive");

  ArchiveSession session(pkg::SystemPlatform(), a.positional[0], a.key);
  const std::string prefix = session.path() + ": ";
  if (pkg::Status s = session.Open(); !s.ok()) {
    PrintLine(stdout, prefix + s.message());
    return kExitFailed;
  }
  std::size_t problems = 0;
  auto problem = [&](const std::string& line) {
    ++problems;
    PrintLine(stdout, prefix + line);
  };
  const pkg::Inspection r = session.Inspect(problem);
  if (r.trailerRead && r.key < 0) PrintLine(stdout, prefix + session.KeyHint());

  const pkg::PkgArchive& archive = session.archive();
  // Past kMaxRecordProblems, one line says that the check stopped, so that a
  // damaged archive cannot flood the output.
  bool stopped = false;
  auto recordProblem = [&](const std::string& line) {
    if (stopped) return false;
    if (problems >= pkg::kMaxRecordProblems) {
      problem("stopped after " + std::to_string(problems) +
              " problems; the rest of the archive is not checked");
      stopped = true;
      return false;
    }
    problem(line);
    return true;
  };
  if (r.indexRead) {
    std::vector<std::string> components;
    std::vector<std::pair<std::size_t, std::string>> sound;  // names that are paths, as UTF-8
    for (std::size_t i = 0; i < archive.records.size() && !stopped; ++i) {
      const std::string where = "index record " + std::to_string(i + 1);
      std::string utf8;
      if (!session.platform().FromCodePage936(archive.records[i].name, utf8)) {
        recordProblem(where + ": its name " + session.Name(i) + " is not code page 936 text");
        continue;
      }
      if (std::string why = CheckEntryPath(utf8, PathRules::kAnySystem, components); !why.empty())
        recordProblem(where + ": its name " + session.Name(i) + " is not a relative path: " + why);
      else
        sound.emplace_back(i, std::move(utf8));
    }
    // A name that is also a folder of another: extraction would write one and
    // fail on the other.
    std::vector<std::size_t> clashing;  // files already reported as another's folder
    if (!stopped) {
      for (const FolderClash& c : FindFolderClashes(sound))
        if (!recordProblem("index record " + std::to_string(c.file + 1) + ": its name " +
                           session.Name(c.file) + " is also the folder of index record " +
                           std::to_string(c.below + 1) + " (" + session.Name(c.below) +
                           "), as this system compares names; no extraction can write both"))
          break;
        else
          clashing.push_back(c.file);
    }
    // Names that differ only in letter case are sound here, but Windows takes
    // them for one: a warning, not a problem.
    if (!stopped) {
      std::size_t warnings = 0;
      for (const CaseCollision& c : FindCaseCollisions(sound)) {
        if (c.folder && std::find(clashing.begin(), clashing.end(), c.first) != clashing.end())
          continue;
        if (++warnings > kMaxCaseWarnings) {
          PrintLine(stdout, prefix + "warning: more names differ only in letter case");
          break;
        }
        const std::string first =
            "index record " + std::to_string(c.first + 1) + " (" + session.Name(c.first) + ")";
        const std::string second =
            "index record " + std::to_string(c.second + 1) + " (" + session.Name(c.second) + ")";
        PrintLine(
            stdout,
            prefix + "warning: " +
                (c.folder ? first + " differs only in letter case from the folder of " + second +
                                "; extracted on Windows the file and the folder "
                                "would collide"
                          : first + " and " + second +
                                " differ only in letter case; extracted on Windows "
                                "they would be one file"));
      }
    }
    sound = {};
    // Each file's data, wherever its record puts it within the archive.
    if (archive.header.compression <= 1) {
      for (std::size_t i = 0; i < archive.records.size() && !stopped; ++i) {
        const pkg::IndexRecord& rec = archive.records[i];
        if (rec.offset < pkg::kHeaderSize ||
            static_cast<std::uint64_t>(rec.offset) + rec.storedSize > archive.header.trailerOffset)
          continue;  // already reported
        const pkg::Status s =
            pkg::StreamRecordData(session.stream(), archive, rec,
                                  [](std::span<const std::uint8_t>) { return pkg::Status::Ok(); });
        if (!s.ok())
          recordProblem("index record " + std::to_string(i + 1) + " (" + session.Name(i) +
                        "): " + s.message());
      }
    }
  }

  if (problems == 0) {
    const std::size_t n = archive.records.size();
    PrintLine(stdout, prefix + "sound: " + std::to_string(n) + (n == 1 ? " file" : " files") +
                          ", opened with " + session.KeyUsed());
    return kExitOk;
  }
  PrintLine(stdout, prefix + std::to_string(problems) +
                        (problems == 1 ? " problem found" : " problems found"));
  return kExitFailed;
}

}  // namespace pkgtool

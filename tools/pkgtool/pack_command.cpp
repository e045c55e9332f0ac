#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <optional>

#include "archive_names.h"
#include "archive_session.h"
#include "commands.h"
#include "console.h"
#include "control_characters.h"
#include "exclude_file.h"
#include "exclusion_lines.h"
#include "exit_codes.h"
#include "extract_fs.h"
#include "key_options.h"
#include "outcome_text.h"
#include "pack_plan.h"
#include "pack_request.h"
#include "platform.h"
#include "progress.h"
#include "queue_host.h"
#include "text_convert.h"
#include "uPKGPackWorker.h"

namespace pkgtool {

namespace {

const char* const kPackHelp =
    "usage: pkgtool pack SRC OUT [--compress] [--type N] [--game 1|2 | --key HEX]\n"
    "                    [--exclude REL]... [--exclude-from FILE]... [--threads N]\n"
    "                    [--dry-run] [--verify] [--no-sync]\n"
    "                    [--no-reuse | --reuse-from ARCHIVE]\n"
    "\n"
    "Packs every file below the folder SRC into the archive OUT. OUT is replaced only\n"
    "when the new archive is complete; on failure or Ctrl-C it is left as it was.\n"
    "\n"
    "  --compress       store each file as a zlib stream (default: as is)\n"
    "  --type N         archive type number (default 1); decimal, or hex as $1F, 0x1F\n"
    "  --game 1|2       scramble the index with the built-in key of game 1 (default)\n"
    "                   or game 2\n"
    "  --key HEX        scramble the index with this key, e.g. 3A7F0C52E9\n"
    "  --exclude REL    leave out the file with this relative path, e.g. \\data\\a.bin\n"
    "                   (whole path, letter case ignored); may be repeated\n"
    "  --exclude-from FILE  leave out the files listed in FILE, a UTF-8 text with one\n"
    "                   relative path per line, each line taken as it is (blanks\n"
    "                   kept); CR LF, LF or a lone CR ends a line; may be repeated\n"
    "  --threads N      threads that read and compress ahead, 1 to 256 (default:\n"
    "                   one per core); the archive is the same whatever N\n"
    "  --dry-run        write nothing (OUT is not touched); print what would be\n"
    "                   packed instead, see below\n"
    "  --verify         before OUT is replaced, read every file back from the new\n"
    "                   archive (inflating compressed ones) and compare it with the\n"
    "                   file in SRC; a difference fails and keeps OUT as it was\n"
    "  --no-sync        do not wait for the new archive to reach the disk before it\n"
    "                   replaces OUT (scratch builds: faster, but a power cut may\n"
    "                   then lose both archives)\n"
    "  --no-reuse       compress every file afresh\n"
    "  --reuse-from ARCHIVE  take unchanged files' compressed bytes from ARCHIVE\n"
    "                   (opened with the pack's key) instead of from OUT\n"
    "\n"
    "With --compress, each file whose content the archive at OUT already holds,\n"
    "checked byte for byte, has its compressed bytes copied from there instead of\n"
    "being compressed again. A line after the outcome says how many were.\n"
    "\n"
    "After the outcome, each exclusion entry that matched no file is printed as\n"
    "'exclusion entry REL matched no file', and each pair of names that differ\n"
    "only in letter case as 'warning: ...': extracted on Windows they would be\n"
    "one file. Neither changes the exit code.\n"
    "\n"
    "--dry-run prints, in this order: a line 'dry run: nothing is written', then\n"
    "'      size  name' and one line per file that would be packed, in archive\n"
    "order: its size in bytes right-aligned in 10 columns ('?' when it cannot be\n"
    "read), two blanks, its relative path; then 'excluded REL by exclusion entry\n"
    "ENTRY' per file left out; then the entries that matched no file and the\n"
    "case warnings as above; then the totals, 'would pack N files, B bytes; K\n"
    "files excluded'. It fails, as the pack would, when a folder cannot be\n"
    "listed, a name cannot be packed, or no file is left to pack.\n"
    "\n"
    "On a terminal, progress shows on one line: files and bytes done of the total,\n"
    "the rate and the time left. Otherwise each step is printed on a line of its own.\n"
    "\n"
    "Exit codes: 0 packed (with --dry-run: nothing stands in the way), 1 the job\n"
    "failed (or would fail), 2 bad command line, 130 interrupted.\n";

int Usage(const std::string& message) {
  PrintLine(stderr, "pkgtool pack: " + message);
  PrintLine(stderr, "Run 'pkgtool pack --help' for the options.");
  return kExitUsage;
}

struct PackOptions {
  std::vector<std::string> positional;
  bool compress = false;
  std::int32_t type = 1;
  KeyChoice key{KeyChoice::Kind::kGame1, {}, false};
  std::vector<std::string> excludes;
  unsigned threads = 0;  // 0: one per core
  bool dryRun = false;
  bool verify = false;
  bool sync = true;
  bool reuse = true;
  std::string reuseFrom;
};

std::string Files(std::uint64_t n, std::uint64_t bytes) {
  return std::to_string(n) + (n == 1 ? " file (" : " files (") + std::to_string(bytes) +
         (bytes == 1 ? " byte)" : " bytes)");
}

// What the pack took from the older archive and what it compressed.
std::string ReuseLine(const pkg::ReuseSummary& r) {
  std::string line = "reused " + Files(r.reusedFiles, r.reusedBytes) + ", compressed " +
                     Files(r.compressedFiles, r.compressedBytes);
  if (!r.unavailable.empty()) line += "; nothing reused: " + r.unavailable;
  return line;
}

// Warnings are bounded, so that a tree or an archive made to collide cannot
// flood the output.
constexpr std::size_t kMaxCaseWarnings = 100;

std::string Plural(std::uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// One line per collision; names are UTF-8 in the archive's form.
void PrintCaseWarnings(const std::vector<std::pair<std::size_t, std::string>>& names) {
  const std::vector<CaseCollision> found = FindCaseCollisions(names);
  // Entry numbers to names: the names are given in entry order.
  auto name = [&](std::size_t entry) -> const std::string& {
    return std::lower_bound(names.begin(), names.end(), entry,
                            [](const auto& n, std::size_t e) { return n.first < e; })
        ->second;
  };
  for (std::size_t k = 0; k < found.size(); ++k) {
    if (k == kMaxCaseWarnings) {
      PrintLine(stdout, "warning: " + Plural(found.size() - k, "more pair", "more pairs") +
                            " of names differ only in letter case");
      break;
    }
    const CaseCollision& c = found[k];
    if (c.folder)
      PrintLine(stdout, "warning: " + name(c.first) +
                            " differs only in letter case from the folder of " + name(c.second) +
                            "; extracted on Windows the file and the folder would collide");
    else
      PrintLine(stdout, "warning: " + name(c.first) + " and " + name(c.second) +
                            " differ only in letter case; extracted on Windows they would be "
                            "one file");
  }
}

// The names in the archive just written, read back from its index: what
// was packed, whatever changed in the source since pkgtool's own scan.
void WarnOfCaseInArchive(const std::string& archive, const KeyChoice& key) {
  ArchiveSession session(pkg::SystemPlatform(), archive, key);
  if (!session.Open().ok()) return;
  std::vector<std::pair<std::size_t, std::string>> names;
  session.List([](const std::string&) {}, {},
               [&](std::size_t i, const pkg::IndexRecord& rec) {
                 std::string utf8;
                 if (session.platform().FromCodePage936(rec.name, utf8))
                   names.emplace_back(i, std::move(utf8));
                 return true;
               });
  PrintCaseWarnings(names);
}

// A folder is named with a separator at its end, as the job names it.
std::string AsFolder(const std::string& path) {
  if (path.ends_with('\\') || path.ends_with('/')) return path;
  return pkg::SystemPlatform().JoinRelative(path, "\\");
}

int DryRun(const std::string& source, const std::vector<std::string>& excludes) {
  pkg::Platform& platform = pkg::SystemPlatform();
  const PackPlan plan = PlanPack(platform, source, excludes);
  if (!plan.scan.status.ok()) {
    PrintLine(stderr, pkg::DescribeOutcome(pkg::NOTIFY_FAILED, pkg::FAIL_OPEN_SOURCE,
                                           AsFolder(plan.scan.failedFolder), {}, 0, ".")
                          .boxText);
    PrintLine(stderr, "pkgtool pack: " + plan.scan.status.message());
    return kExitFailed;
  }
  PrintLine(stdout, "dry run: nothing is written");
  PrintLine(stdout, "      size  name");
  std::uint64_t files = 0, bytes = 0, excluded = 0;
  const pkg::SourceFile* refused = nullptr;  // the first name the job would refuse
  std::vector<std::pair<std::size_t, std::string>> names;
  for (std::size_t i = 0; i < plan.files.size(); ++i) {
    if (plan.excludedBy[i] != pkg::kNotExcluded) continue;
    const pkg::SourceFile& f = plan.files[i];
    char size[32];
    if (plan.sizes[i])
      std::snprintf(size, sizeof size, "%10" PRIu64, *plan.sizes[i]);
    else
      std::snprintf(size, sizeof size, "%10s", "?");
    PrintLine(stdout, size + std::string("  ") + f.relative);
    ++files;
    bytes += plan.sizes[i].value_or(0);
    if (f.nameProblem != pkg::NameProblem::kNone && !refused) refused = &f;
    names.emplace_back(i, f.relative);
  }
  for (std::size_t i = 0; i < plan.files.size(); ++i) {
    if (plan.excludedBy[i] == pkg::kNotExcluded) continue;
    PrintLine(stdout, "excluded " + plan.files[i].relative + " by exclusion entry " +
                          excludes[plan.excludedBy[i]]);
    ++excluded;
  }
  for (const std::string& entry : UnmatchedEntries(platform, plan, excludes))
    PrintLine(stdout, UnmatchedEntryLine(entry));
  PrintCaseWarnings(names);
  PrintLine(stdout, "would pack " + Plural(files, "file", "files") + ", " +
                        Plural(bytes, "byte", "bytes") + "; " + Plural(excluded, "file", "files") +
                        " excluded");
  // What the job would fail with before writing anything.
  if (refused) {
    // The job's own texts for this failure, with the name escaped as it escapes it.
    const std::string path = platform.JoinRelative(source, refused->relative);
    const std::string full = pkg::EscapeControlCharacters(path);
    PrintLine(
        stderr,
        pkg::DescribeOutcome(pkg::NOTIFY_FAILED, pkg::FAIL_OPEN_SOURCE, full, {}, 0, ".").boxText);
    PrintLine(stderr, "pkgtool pack: cannot pack " + pkg::Quoted(full) + ": " +
                          pkg::NameRefusal(path, refused->nameProblem));
    return kExitFailed;
  }
  if (files == 0) {
    PrintLine(stderr,
              pkg::DescribeOutcome(pkg::NOTIFY_FAILED, pkg::FAIL_NO_FILES, {}, {}, 0, ".").boxText);
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int RunPack(const std::vector<std::string>& args) {
  PackOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v, error;
    switch (TakeKeyOption(args, i, /*allowAuto=*/false, o.key, error)) {
      case OptionResult::kTaken:
        continue;
      case OptionResult::kBad:
        return Usage(error);
      case OptionResult::kNotMine:
        break;
    }
    if (a == "--help" || a == "-h") {
      std::fputs(kPackHelp, stdout);
      return kExitOk;
    } else if (a == "--compress") {
      o.compress = true;
    } else if (a == "--verify") {
      o.verify = true;
    } else if (a == "--no-sync") {
      o.sync = false;
    } else if (a == "--type") {
      if (!value(v)) return Usage("--type needs a number");
      if (!pkg::TryStrToInt(v, o.type))
        return Usage("--type: '" + v +
                     "' is not a 32-bit integer (decimal, or hex as $1F or 0x1F)");
    } else if (a == "--exclude") {
      if (!value(v)) return Usage("--exclude needs a relative path");
      o.excludes.push_back(v);
    } else if (a == "--exclude-from") {
      if (!value(v)) return Usage("--exclude-from needs a file");
      if (pkg::Status s = ReadExcludeFile(pkg::SystemPlatform(), v, o.excludes); !s.ok())
        return Usage("--exclude-from: " + s.message());
    } else if (a == "--threads") {
      std::int32_t n = 0;
      if (!value(v) || !pkg::TryStrToInt(v, n) || n < 1 || n > 256)
        return Usage("--threads takes a number of threads from 1 to 256");
      o.threads = static_cast<unsigned>(n);
    } else if (a == "--dry-run") {
      o.dryRun = true;
    } else if (a == "--no-reuse") {
      o.reuse = false;
    } else if (a == "--reuse-from") {
      if (!value(v) || v.empty()) return Usage("--reuse-from needs an archive");
      o.reuseFrom = v;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return Usage("unknown option '" + a + "'");
    } else {
      o.positional.push_back(a);
    }
  }
  if (o.positional.size() != 2) return Usage("give the source folder and the output archive");
  if (o.positional[0].empty()) return Usage("the source folder is empty");
  if (o.positional[1].empty()) return Usage("the output archive path is empty");
  // Resolved once: "Z:" on Windows is the current folder of drive Z, and
  // what is checked must be what is packed and written.
  std::string source, output;
  if (pkg::Status s = FullPath(o.positional[0], source); !s.ok()) return Usage(s.message());
  if (pkg::Status s = FullPath(o.positional[1], output); !s.ok()) return Usage(s.message());
  if (!o.reuse && !o.reuseFrom.empty()) return Usage("give one of --no-reuse and --reuse-from");
  if (!o.reuseFrom.empty() && !o.compress)
    return Usage("--reuse-from takes compressed bytes: it needs --compress");
  std::string reuseFrom;
  if (!o.reuseFrom.empty()) {
    if (pkg::Status s = FullPath(o.reuseFrom, reuseFrom); !s.ok()) return Usage(s.message());
  }
  if (pkg::SystemPlatform().KindOf(source) != pkg::PathKind::kDirectory)
    return Usage("打包目录不存在！ '" + source + "' is not a folder");

  if (o.dryRun) return DryRun(source, o.excludes);

  pkg::PackRequest request;
  request.sourceDirectory = source;
  request.outputPath = output;
  request.compress = o.compress;
  request.type = o.type;
  request.key = KeysToTry(o.key).front();
  request.exclude = o.excludes;
  request.threads = o.threads;
  request.sync = o.sync;
  request.verify = o.verify;
  request.reuse = o.reuse;
  request.reuseFrom = reuseFrom;
  // On a terminal the job's events feed one progress line, with the totals
  // the job finds after its scan and bytes within large files. Elsewhere
  // each step's and each file's text is a line of its own.
  std::optional<TerminalProgress> progress;
  std::optional<ProgressLog> log;
  if (IsTerminal(stdout)) {
    progress.emplace(stdout);
    request.progressBytes = kProgressBytes;
  } else {
    log.emplace(stdout);
  }
  pkg::QueueHost host({}, [&](const pkg::PackProgress& p) {
    if (progress)
      progress->OnProgress(p);
    else
      log->OnProgress(p);
  });
  // Before any other line: the outcome follows the progress.
  auto clearProgress = [&] {
    if (progress) progress->Clear();
    if (log) log->Flush();
  };
  auto job = pkg::PKGPackWorker::Create(host, request);

  CatchInterrupt();
  if (pkg::Status s = job->Start(); !s.ok()) {
    clearProgress();
    PrintLine(stderr, "pkgtool pack: Thread creation error: " + s.message());
    return kExitFailed;
  }
  for (;;) {
    if (InterruptRequested() && job->Abort()) {
      clearProgress();
      PrintLine(stderr, "打包进程已中止！");
      return kExitInterrupted;
    }
    const auto n = host.Pump(std::chrono::milliseconds(50));
    if (progress) progress->Tick();
    if (log) log->Tick();
    if (!n) continue;
    clearProgress();
    const pkg::PackOutcome& outcome = n->outcome;
    const pkg::OutcomeText text = pkg::DescribeOutcome(outcome, ".");
    if (!text.failed) {
      PrintLine(stdout, text.panelText);
      if (o.compress) PrintLine(stdout, ReuseLine(job->FReuseSummary));
      for (const std::string& entry : outcome.unmatchedExclusions)
        PrintLine(stdout, UnmatchedEntryLine(entry));
      WarnOfCaseInArchive(output, o.key);
      return kExitOk;
    }
    PrintLine(stderr, text.boxText);
    if (outcome.result != pkg::PackResult::kWrite && !outcome.detail.empty())
      PrintLine(stderr, "pkgtool pack: " + outcome.detail);
    return kExitFailed;
  }
}

}  // namespace pkgtool

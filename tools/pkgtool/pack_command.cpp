#include <chrono>
#include <cstdio>
#include <optional>

#include "commands.h"
#include "console.h"
#include "exclude_file.h"
#include "exit_codes.h"
#include "extract_fs.h"
#include "key_options.h"
#include "outcome_text.h"
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
    "                    [--exclude REL]... [--exclude-from FILE]...\n"
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
    "                   kept); LF or CR LF line ends; may be repeated\n"
    "\n"
    "On a terminal, progress shows on one line: files and bytes done of the total,\n"
    "the rate and the time left. Otherwise each step is printed on a line of its own.\n"
    "\n"
    "Exit codes: 0 packed, 1 the job failed, 2 bad command line, 130 interrupted.\n";

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
};

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
  if (pkg::SystemPlatform().KindOf(source) != pkg::PathKind::kDirectory)
    return Usage("打包目录不存在！ '" + source + "' is not a folder");

  pkg::PackRequest request;
  request.sourceDirectory = source;
  request.outputPath = output;
  request.compress = o.compress;
  request.type = o.type;
  request.key = KeysToTry(o.key).front();
  request.exclude = o.excludes;
  request.threads = o.threads;
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
      return kExitOk;
    }
    PrintLine(stderr, text.boxText);
    if (outcome.result != pkg::PackResult::kWrite && !outcome.detail.empty())
      PrintLine(stderr, "pkgtool pack: " + outcome.detail);
    return kExitFailed;
  }
}

}  // namespace pkgtool

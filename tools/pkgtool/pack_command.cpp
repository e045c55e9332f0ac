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
#include "pkg_format.h"
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
    "                   kept); LF or CR LF line ends; may be repeated\n"
    "  --no-reuse       compress every file afresh\n"
    "  --reuse-from ARCHIVE  take unchanged files' compressed bytes from ARCHIVE\n"
    "                   (opened with the pack's key) instead of from OUT\n"
    "\n"
    "With --compress, each file whose content the archive at OUT already holds,\n"
    "checked byte for byte, has its compressed bytes copied from there instead of\n"
    "being compressed again. A line after the outcome says how many were.\n"
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

  const std::vector<std::uint8_t> key = KeysToTry(o.key).front();
  // On a terminal the texts feed one progress line; the totals it shows come
  // from a scan of the source made now.
  // Elsewhere each text is a line of its own.
  std::optional<TerminalProgress> progress;
  std::optional<ProgressLog> log;
  if (IsTerminal(stdout))
    progress.emplace(stdout, ScanPackTotals(pkg::SystemPlatform(), source, o.excludes));
  else
    log.emplace(stdout);
  pkg::QueueHost host([&](const std::string& text) {
    if (progress)
      progress->OnStatus(text);
    else
      log->OnStatus(text);
  });
  // Before any other line: the outcome follows the progress.
  auto clearProgress = [&] {
    if (progress) progress->Clear();
    if (log) log->Flush();
  };
  auto job = pkg::PKGPackWorker::Create(host);
  job->FWindowHandle = 0;
  job->FSourceDirectory = source;
  job->FOutputPKGPath = output;
  job->FCompressData = o.compress;
  job->FPKGType = o.type;
  job->FKey = key;
  job->FKeyLength = static_cast<std::uint32_t>(key.size());
  job->FExcludeList = o.excludes;
  job->FExcludeCount = static_cast<std::uint32_t>(o.excludes.size());
  job->FThreadCount = o.threads;
  job->FReuse = o.reuse;
  job->FReuseFrom = reuseFrom;

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
    const pkg::OutcomeText text = pkg::DescribeOutcome(
        n->lParam, n->wParam, pkg::FailedSourceFile, pkg::FailureDetail, pkg::ElapsedSeconds, ".");
    if (!text.failed) {
      PrintLine(stdout, text.panelText);
      if (o.compress) PrintLine(stdout, ReuseLine(job->FReuseSummary));
      return kExitOk;
    }
    PrintLine(stderr, text.boxText);
    if (n->wParam != pkg::FAIL_WRITE_PKG && !pkg::FailureDetail.empty())
      PrintLine(stderr, "pkgtool pack: " + pkg::FailureDetail);
    return kExitFailed;
  }
}

}  // namespace pkgtool

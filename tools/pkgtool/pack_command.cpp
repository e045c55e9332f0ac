#include "pack_command.h"

#include <chrono>
#include <cstdio>

#include "console.h"
#include "exit_codes.h"
#include "outcome_text.h"
#include "pkg_format.h"
#include "platform.h"
#include "queue_host.h"
#include "text_convert.h"
#include "uPKGPackWorker.h"

namespace pkgtool {

const char* const kPackHelp =
    "usage: pkgtool pack SRC OUT [--compress] [--type N] [--game 1|2 | --key HEX] "
    "[--exclude REL]...\n"
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
    "\n"
    "Exit codes: 0 packed, 1 the job failed, 2 bad command line, 130 interrupted.\n";

namespace {

int Usage(const std::string& message) {
  PrintLine(stderr, "pkgtool pack: " + message);
  PrintLine(stderr, "Run 'pkgtool pack --help' for the options.");
  return kExitUsage;
}

struct PackOptions {
  std::vector<std::string> positional;
  bool compress = false;
  std::int32_t type = 1;
  std::vector<std::uint8_t> key{pkg::kGame1Key.begin(), pkg::kGame1Key.end()};
  bool keyChosen = false;
  std::vector<std::string> excludes;
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
    std::string v;
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
    } else if (a == "--game" || a == "--key") {
      if (o.keyChosen) return Usage("give one of --game and --key, once");
      o.keyChosen = true;
      if (!value(v)) return Usage(a + " needs a value");
      if (a == "--game") {
        if (v == "1")
          o.key.assign(pkg::kGame1Key.begin(), pkg::kGame1Key.end());
        else if (v == "2")
          o.key.assign(pkg::kGame2Key.begin(), pkg::kGame2Key.end());
        else
          return Usage("--game takes 1 or 2, not '" + v + "'");
      } else {
        const pkg::KeyTextResult k = pkg::ParseKeyText(v);
        switch (k.error) {
          case pkg::KeyTextError::kNone:
            o.key = k.bytes;
            break;
          case pkg::KeyTextError::kEmpty:
            return Usage("--key: the key is empty");
          case pkg::KeyTextError::kOddLength:
            return Usage("--key: '" + v +
                         "' has an odd number of characters; give two hex digits per byte");
          case pkg::KeyTextError::kBadPair:
            return Usage("--key: '" + v.substr(2 * k.badPair, 2) + "' at character " +
                         std::to_string(2 * k.badPair + 1) + " is not two hex digits");
        }
      }
    } else if (a == "--exclude") {
      if (!value(v)) return Usage("--exclude needs a relative path");
      o.excludes.push_back(v);
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return Usage("unknown option '" + a + "'");
    } else {
      o.positional.push_back(a);
    }
  }
  if (o.positional.size() != 2) return Usage("give the source folder and the output archive");
  const std::string& source = o.positional[0];
  const std::string& output = o.positional[1];
  if (source.empty()) return Usage("the source folder is empty");
  if (output.empty()) return Usage("the output archive path is empty");
  if (pkg::SystemPlatform().KindOf(source) != pkg::PathKind::kDirectory)
    return Usage("打包目录不存在！ '" + source + "' is not a folder");

  pkg::QueueHost host([](const std::string& text) { PrintLine(stdout, text); });
  auto job = pkg::PKGPackWorker::Create(host);
  job->FWindowHandle = 0;
  job->FSourceDirectory = source;
  job->FOutputPKGPath = output;
  job->FCompressData = o.compress;
  job->FPKGType = o.type;
  job->FKey = o.key;
  job->FKeyLength = static_cast<std::uint32_t>(o.key.size());
  job->FExcludeList = o.excludes;
  job->FExcludeCount = static_cast<std::uint32_t>(o.excludes.size());

  CatchInterrupt();
  if (pkg::Status s = job->Start(); !s.ok()) {
    PrintLine(stderr, "pkgtool pack: Thread creation error: " + s.message());
    return kExitFailed;
  }
  for (;;) {
    if (InterruptRequested() && job->Abort()) {
      PrintLine(stderr, "打包进程已中止！");
      return kExitInterrupted;
    }
    const auto n = host.Pump(std::chrono::milliseconds(50));
    if (!n) continue;
    const pkg::OutcomeText text = pkg::DescribeOutcome(
        n->lParam, n->wParam, pkg::FailedSourceFile, pkg::FailureDetail, pkg::ElapsedSeconds, ".");
    if (!text.failed) {
      PrintLine(stdout, text.panelText);
      return kExitOk;
    }
    PrintLine(stderr, text.boxText);
    if (n->wParam != pkg::FAIL_WRITE_PKG && !pkg::FailureDetail.empty())
      PrintLine(stderr, "pkgtool pack: " + pkg::FailureDetail);
    return kExitFailed;
  }
}

}  // namespace pkgtool

// pkgtool extract: every file (or those chosen with --only) written below
// DEST under its relative path. Names are checked before anything is written;
// each file is written to a temporary name and moved into place only when
// its data has been read in full and found sound.
#include <cstdio>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

#include "archive_names.h"
#include "archive_session.h"
#include "commands.h"
#include "console.h"
#include "exit_codes.h"
#include "extract_fs.h"

namespace pkgtool {
namespace {

const char* const kExtractHelp =
    "usage: pkgtool extract ARCHIVE DEST [--game 1|2|auto | --key HEX] [--only REL]...\n"
    "                       [--force]\n"
    "\n"
    "Writes each file of the archive below the folder DEST under its relative\n"
    "path, creating DEST and the folders on the way. Nothing is written when the\n"
    "archive's index or layout has a problem, or when a name would lead out of\n"
    "DEST (\"..\", an absolute path, a drive letter, a \":\" stream, a device name\n"
    "on Windows). A file whose data is damaged is not written at all; the others\n"
    "are. Existing files are never replaced unless --force is given.\n"
    "\n"
    "  --game auto      try the built-in keys of both games (the default)\n"
    "  --game 1|2       use the built-in key of game 1 or game 2\n"
    "  --key HEX        use this key, e.g. 3A7F0C52E9\n"
    "  --only REL       extract only this file, or the files of this folder, given\n"
    "                   as the archive names it (\\data\\a.bin; letter case ignored);\n"
    "                   may be repeated\n"
    "  --force          replace files that already exist below DEST\n"
    "\n"
    "Exit codes: 0 extracted, 1 the archive or a file failed (nothing half-written\n"
    "is left), 2 bad command line, 130 interrupted by Ctrl-C.\n";

struct IdentityHash {
  std::size_t operator()(const pkg::FileIdentity& id) const {
    return std::hash<std::uint64_t>()(id.volume * 0x9E3779B97F4A7C15ull ^ id.index);
  }
};

// The archive's form of a path as the user typed it: backslashes, one at the
// start, none at the end.
std::string NormalizeOnly(std::string rel) {
  for (char& c : rel)
    if (c == '/') c = '\\';
  if (rel.empty() || rel[0] != '\\') rel.insert(rel.begin(), '\\');
  while (rel.size() > 1 && rel.back() == '\\') rel.pop_back();
  return rel;
}

bool Selects(pkg::Platform& platform, const std::string& rel, const std::string& name) {
  if (rel == "\\") return true;
  if (platform.SameTextIgnoreCase(name, rel)) return true;
  return name.size() > rel.size() && name[rel.size()] == '\\' &&
         platform.SameTextIgnoreCase(std::string_view(name).substr(0, rel.size()), rel);
}

// DEST without separators at its end, unless it is a root.
std::string TrimDest(std::string dest) {
#ifdef _WIN32
  const std::string_view seps = "\\/";
  auto isRoot = [](const std::string& d) { return d.size() == 3 && d[1] == ':'; };
#else
  const std::string_view seps = "/";
  auto isRoot = [](const std::string&) { return false; };
#endif
  while (dest.size() > 1 && seps.find(dest.back()) != std::string_view::npos && !isRoot(dest))
    dest.pop_back();
  return dest;
}

std::string Join(const std::vector<std::string>& components, std::size_t count) {
  std::string rel;
  for (std::size_t i = 0; i < count; ++i) rel += "\\" + components[i];
  return rel;
}

struct Entry {
  std::size_t record;
  std::string name;  // UTF-8, for messages
  std::vector<std::string> components;
};

}  // namespace

int RunExtract(const std::vector<std::string>& args) {
  ReadArgs a;
  std::vector<std::string> only;
  bool force = false;
  std::string error;
  const bool parsed = ParseReadArgs(
      args, a, error, [&](const std::vector<std::string>& all, std::size_t& i, std::string& e) {
        if (all[i] == "--force") return force = true;
        if (all[i] != "--only") return false;
        if (i + 1 >= all.size()) {
          e = "--only needs a relative path";
          return false;
        }
        only.push_back(NormalizeOnly(all[++i]));
        return true;
      });
  if (!parsed) return Usage("extract", error);
  if (a.help) {
    std::fputs(kExtractHelp, stdout);
    return kExitOk;
  }
  if (a.positional.size() != 2) return Usage("extract", "give the archive and the folder DEST");
  pkg::Platform& platform = pkg::SystemPlatform();
  const std::string& dest = a.positional[1];
  if (dest.empty()) return Usage("extract", "the folder DEST is empty");
  if (platform.KindOf(dest) == pkg::PathKind::kFile)
    return Usage("extract", "'" + dest + "' is a file, not a folder");

  ArchiveSession session(platform, a.positional[0], a.key);
  std::vector<std::string> problems;
  auto fail = [&problems](const std::string& line) { problems.push_back(line); };
  auto refuse = [&problems]() {
    for (const std::string& p : problems) PrintLine(stderr, "pkgtool extract: " + p);
    PrintLine(stderr, "pkgtool extract: nothing was extracted");
    return kExitFailed;
  };
  if (pkg::Status s = session.Open(); !s.ok()) {
    fail(s.message());
    return refuse();
  }
  const pkg::Inspection r = session.Inspect(fail);
  if (r.trailerRead && r.key < 0) fail(session.KeyHint());
  if (!problems.empty()) return refuse();
  const pkg::PkgArchive& archive = session.archive();

  // Which records, and is each name a path below DEST?
  std::vector<Entry> entries;
  std::vector<bool> onlyUsed(only.size());
  for (std::size_t i = 0; i < archive.records.size(); ++i) {
    const std::string where = "index record " + std::to_string(i + 1);
    std::string utf8;
    if (!platform.FromCodePage936(archive.records[i].name, utf8)) {
      fail(where + ": its name " + session.Name(i) + " is not code page 936 text");
      continue;
    }
    bool chosen = only.empty();
    for (std::size_t k = 0; k < only.size(); ++k)
      if (Selects(platform, only[k], utf8)) chosen = onlyUsed[k] = true;
    if (!chosen) continue;
    Entry e{i, session.Name(i), {}};
    if (std::string why = CheckEntryPath(utf8, kNativeRules, e.components); !why.empty()) {
      fail(where + ": refused the name " + e.name + ": " + why);
      continue;
    }
    entries.push_back(std::move(e));
  }
  for (std::size_t k = 0; k < only.size(); ++k)
    if (!onlyUsed[k])
      fail("--only " + only[k] + ": the archive holds no file or folder of that name");
  if (!problems.empty()) return refuse();

  // What is already below DEST: folders to reuse, files not to replace, and
  // links not to write through.
  const std::string root = TrimDest(dest);
  auto pathOf = [&](const Entry& e, std::size_t depth) {
    return platform.JoinRelative(root, Join(e.components, depth));
  };
  std::unordered_set<std::string> folderSeen;
  for (const Entry& e : entries) {
    const std::string where = "index record " + std::to_string(e.record + 1) + " (" + e.name + ")";
    bool missing = false;
    for (std::size_t depth = 1; depth < e.components.size() && !missing; ++depth) {
      const std::string folder = pathOf(e, depth);
      if (!folderSeen.insert(folder).second) continue;
      switch (KindOf(folder)) {
        case EntryKind::kMissing:
          missing = true;
          break;
        case EntryKind::kDirectory:
          break;
        case EntryKind::kFile:
          fail(where + ": '" + folder + "' is a file, where a folder is needed");
          missing = true;
          break;
        case EntryKind::kOther:
          fail(where + ": '" + folder +
               "' is a link or a device, which extraction does not write through");
          missing = true;
          break;
      }
    }
    if (missing) continue;
    const std::string target = pathOf(e, e.components.size());
    switch (KindOf(target)) {
      case EntryKind::kMissing:
        break;
      case EntryKind::kFile:
        if (!force) fail(where + ": '" + target + "' exists already; give --force to replace it");
        break;
      case EntryKind::kDirectory:
        fail(where + ": '" + target + "' is a folder");
        break;
      case EntryKind::kOther:
        fail(where + ": '" + target + "' is a link or a device, which extraction does not replace");
        break;
    }
  }
  if (!problems.empty()) return refuse();

  if (platform.KindOf(dest) == pkg::PathKind::kMissing) {
    std::error_code ec;
    std::filesystem::create_directories(
        std::filesystem::path(std::u8string(dest.begin(), dest.end())), ec);
    if (ec) {
      fail("cannot create the folder '" + dest + "': " + ec.message());
      return refuse();
    }
  }

  CatchInterrupt();
  std::unordered_map<pkg::FileIdentity, std::size_t, IdentityHash> written;
  std::unordered_set<std::string> folderMade;
  std::size_t files = 0;
  std::uint64_t bytes = 0;
  auto interruptedAfter = [](std::size_t done) {
    PrintLine(stderr, "pkgtool extract: interrupted; " + std::to_string(done) +
                          " files were extracted, none is left half-written");
    return kExitInterrupted;
  };
  for (const Entry& e : entries) {
    if (InterruptRequested()) return interruptedAfter(files);
    const pkg::IndexRecord& rec = archive.records[e.record];
    const std::string where = "index record " + std::to_string(e.record + 1) + " (" + e.name + ")";
    bool folderFailed = false;
    for (std::size_t depth = 1; depth < e.components.size() && !folderFailed; ++depth) {
      const std::string folder = pathOf(e, depth);
      if (folderMade.count(folder)) continue;
      const EntryKind kind = KindOf(folder);
      if (kind == EntryKind::kMissing) {
        if (pkg::Status s = MakeDirectory(folder); !s.ok()) {
          fail(where + ": " + s.message());
          folderFailed = true;
        }
      } else if (kind != EntryKind::kDirectory) {
        fail(where + ": '" + folder + "' is not a folder");
        folderFailed = true;
      }
      if (!folderFailed) folderMade.insert(folder);
    }
    if (folderFailed) continue;

    const std::string target = pathOf(e, e.components.size());
    const std::string temp = platform.SiblingTempPath(target);
    std::unique_ptr<pkg::PlatformFile> file;
    if (pkg::Status s = platform.CreateNewFile(temp, file); !s.ok()) {
      fail(where + ": " + s.message());
      continue;
    }
    bool interrupted = false;
    pkg::Status s = pkg::StreamRecordData(session.stream(), archive, rec,
                                          [&](std::span<const std::uint8_t> piece) {
                                            if (InterruptRequested()) {
                                              interrupted = true;
                                              return pkg::Status::Fail("interrupted");
                                            }
                                            return file->Write(piece.data(), piece.size());
                                          });
    if (pkg::Status closed = file->Close(); s.ok() && !closed.ok()) s = closed;
    file.reset();
    if (s.ok()) {
      // Two names that this system does not tell apart (letter case, on
      // Windows) must not silently become one file.
      pkg::FileIdentity id;
      if (KindOf(target) != EntryKind::kMissing && platform.IdentityOf(target, id).ok()) {
        if (const auto it = written.find(id); it != written.end())
          s = pkg::Status::Fail("'" + target + "' is the file just extracted for index record " +
                                std::to_string(it->second + 1) + " (" + session.Name(it->second) +
                                "); this system takes the two names for one");
      }
    }
    if (s.ok())
      s = force ? platform.MoveFileOver(temp, target) : MoveWithoutReplacing(temp, target);
    if (!s.ok()) {
      (void)platform.RemoveFile(temp);
      if (interrupted) return interruptedAfter(files);
      fail(where + ": " + s.message());
      continue;
    }
    pkg::FileIdentity id;
    if (platform.IdentityOf(target, id).ok()) written.emplace(id, e.record);
    PrintLine(stdout, e.name);
    ++files;
    bytes += rec.size;
  }
  PrintLine(stdout, "extracted " + std::to_string(files) + (files == 1 ? " file, " : " files, ") +
                        std::to_string(bytes) + " bytes, into " + dest);
  for (const std::string& p : problems) PrintLine(stderr, "pkgtool extract: " + p);
  return problems.empty() ? kExitOk : kExitFailed;
}

}  // namespace pkgtool

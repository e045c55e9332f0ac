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

// One extraction: the archive read and inspected, what it will write, and
// every problem met, each kept as one line.
class Extraction {
 public:
  Extraction(ArchiveSession& session, std::string dest, bool force)
      : session_(session),
        platform_(session.platform()),
        archive_(session.archive()),
        dest_(std::move(dest)),
        root_(TrimDest(dest_)),
        force_(force) {}

  std::vector<std::string>& problems() { return problems_; }

  // Chooses the records (all, or those --only names) and checks that each
  // name is a path below DEST.
  void Select(const std::vector<std::string>& only) {
    std::vector<bool> used(only.size());
    for (std::size_t i = 0; i < archive_.records.size(); ++i) {
      const std::string where = "index record " + std::to_string(i + 1);
      std::string utf8;
      if (!platform_.FromCodePage936(archive_.records[i].name, utf8)) {
        Fail(where + ": its name " + session_.Name(i) + " is not code page 936 text");
        continue;
      }
      bool chosen = only.empty();
      for (std::size_t k = 0; k < only.size(); ++k) {
        if (Selects(platform_, only[k], utf8)) {
          chosen = true;
          used[k] = true;
        }
      }
      if (!chosen) continue;
      Entry e{i, session_.Name(i), {}};
      if (std::string why = CheckEntryPath(utf8, kNativeRules, e.components); !why.empty()) {
        Fail(where + ": refused the name " + e.name + ": " + why);
        continue;
      }
      entries_.push_back(std::move(e));
    }
    for (std::size_t k = 0; k < only.size(); ++k)
      if (!used[k])
        Fail("--only " + only[k] + ": the archive holds no file or folder of that name");
    CheckFolderClashes();
  }

  // Looks at what is below DEST already: folders to reuse, files not to
  // replace, and links not to write through.
  void CheckDest() {
    std::unordered_set<std::string> seen;
    for (const Entry& e : entries_) {
      bool missing = false;
      for (std::size_t depth = 1; depth < e.components.size() && !missing; ++depth) {
        const std::string folder = PathOf(e, depth);
        if (!seen.insert(folder).second) continue;
        switch (KindOf(folder)) {
          case EntryKind::kMissing:
            missing = true;
            break;
          case EntryKind::kDirectory:
            break;
          case EntryKind::kFile:
            Fail(Where(e) + ": '" + folder + "' is a file, where a folder is needed");
            missing = true;
            break;
          case EntryKind::kOther:
            Fail(Where(e) + ": '" + folder +
                 "' is a link or a device, which extraction does not write through");
            missing = true;
            break;
        }
      }
      if (missing) continue;
      const std::string target = PathOf(e, e.components.size());
      switch (KindOf(target)) {
        case EntryKind::kMissing:
          break;
        case EntryKind::kFile:
          if (!force_)
            Fail(Where(e) + ": '" + target + "' exists already; give --force to replace it");
          break;
        case EntryKind::kDirectory:
          Fail(Where(e) + ": '" + target + "' is a folder");
          break;
        case EntryKind::kOther:
          Fail(Where(e) + ": '" + target +
               "' is a link or a device, which extraction does not replace");
          break;
      }
    }
  }

  // Writes every chosen file; returns the exit code.
  int WriteAll() {
    if (platform_.KindOf(dest_) == pkg::PathKind::kMissing) {
      std::error_code ec;
      std::filesystem::create_directories(
          std::filesystem::path(std::u8string(dest_.begin(), dest_.end())), ec);
      if (ec) {
        Fail("cannot create the folder '" + dest_ + "': " + ec.message());
        return kExitFailed;
      }
    }
    CatchInterrupt();
    for (const Entry& e : entries_) {
      if (InterruptRequested()) return Interrupted();
      bool interrupted = false;
      if (pkg::Status s = WriteOne(e, interrupted); !s.ok()) {
        if (interrupted) return Interrupted();
        Fail(Where(e) + ": " + s.message());
      }
    }
    PrintLine(stdout, "extracted " + std::to_string(files_) +
                          (files_ == 1 ? " file, " : " files, ") + std::to_string(bytes_) +
                          (bytes_ == 1 ? " byte, into " : " bytes, into ") + dest_);
    return problems_.empty() ? kExitOk : kExitFailed;
  }

 private:
  // Past kMaxRecordProblems, one line says that more were found, so that a
  // damaged archive cannot flood the output.
  void Fail(std::string line) {
    if (failures_ < pkg::kMaxRecordProblems)
      problems_.push_back(std::move(line));
    else if (failures_ == pkg::kMaxRecordProblems)
      problems_.push_back("more problems were found than these " +
                          std::to_string(pkg::kMaxRecordProblems) + "; they are not shown");
    ++failures_;
  }

  // A file whose name is also the folder of another file chosen: one of the
  // two could not be written, so neither is.
  void CheckFolderClashes() {
    std::vector<std::pair<std::size_t, std::string>> names;
    names.reserve(entries_.size());
    std::string utf8;
    for (std::size_t k = 0; k < entries_.size(); ++k)
      if (platform_.FromCodePage936(archive_.records[entries_[k].record].name, utf8))
        names.emplace_back(k, utf8);
    for (const FolderClash& c : FindFolderClashes(names))
      Fail(Where(entries_[c.file]) + ": its name is also the folder of index record " +
           std::to_string(entries_[c.below].record + 1) + " (" + entries_[c.below].name +
           "), as this system compares names; extraction cannot write both");
  }

  std::string Where(const Entry& e) const {
    return "index record " + std::to_string(e.record + 1) + " (" + e.name + ")";
  }

  // The path of e's first depth components below DEST.
  std::string PathOf(const Entry& e, std::size_t depth) {
    return platform_.JoinRelative(root_, Join(e.components, depth));
  }

  int Interrupted() {
    PrintLine(stderr, "pkgtool extract: interrupted; " + std::to_string(files_) +
                          " files were extracted, none is left half-written");
    return kExitInterrupted;
  }

  pkg::Status MakeFolders(const Entry& e) {
    for (std::size_t depth = 1; depth < e.components.size(); ++depth) {
      const std::string folder = PathOf(e, depth);
      if (foldersMade_.count(folder)) continue;
      const EntryKind kind = KindOf(folder);
      if (kind == EntryKind::kMissing) {
        if (pkg::Status s = MakeDirectory(folder); !s.ok()) return s;
      } else if (kind != EntryKind::kDirectory) {
        return pkg::Status::Fail("'" + folder + "' is not a folder");
      }
      foldersMade_.insert(folder);
    }
    return pkg::Status::Ok();
  }

  // Writes e's data to a temporary file beside its place and moves it there
  // once the data has been read in full and found sound; on failure nothing
  // of it is left.
  pkg::Status WriteOne(const Entry& e, bool& interrupted) {
    if (pkg::Status s = MakeFolders(e); !s.ok()) return s;
    const pkg::IndexRecord& rec = archive_.records[e.record];
    const std::string target = PathOf(e, e.components.size());
    const std::string temp = platform_.SiblingTempPath(target);
    std::unique_ptr<pkg::PlatformFile> file;
    if (pkg::Status s = platform_.CreateNewFile(temp, file); !s.ok()) return s;
    pkg::Status s = pkg::StreamRecordData(session_.stream(), archive_, rec,
                                          [&](std::span<const std::uint8_t> piece) {
                                            if (InterruptRequested()) {
                                              interrupted = true;
                                              return pkg::Status::Fail("interrupted");
                                            }
                                            return file->Write(piece.data(), piece.size());
                                          });
    if (pkg::Status closed = file->Close(); s.ok() && !closed.ok()) s = closed;
    file.reset();
    // Two names that this system does not tell apart (letter case, on
    // Windows) must not silently become one file.
    pkg::FileIdentity id;
    if (s.ok() && KindOf(target) != EntryKind::kMissing && platform_.IdentityOf(target, id).ok()) {
      if (const auto it = written_.find(id); it != written_.end())
        s = pkg::Status::Fail("'" + target + "' is the file just extracted for index record " +
                              std::to_string(it->second + 1) + " (" + session_.Name(it->second) +
                              "); this system takes the two names for one");
    }
    if (s.ok())
      s = force_ ? platform_.MoveFileOver(temp, target) : MoveWithoutReplacing(temp, target);
    if (!s.ok()) {
      (void)platform_.RemoveFile(temp);
      return s;
    }
    if (platform_.IdentityOf(target, id).ok()) written_.emplace(id, e.record);
    PrintLine(stdout, e.name);
    ++files_;
    bytes_ += rec.size;
    return pkg::Status::Ok();
  }

  ArchiveSession& session_;
  pkg::Platform& platform_;
  const pkg::PkgArchive& archive_;
  const std::string dest_, root_;
  const bool force_;
  std::vector<Entry> entries_;
  std::vector<std::string> problems_;
  std::unordered_set<std::string> foldersMade_;
  std::unordered_map<pkg::FileIdentity, std::size_t, IdentityHash> written_;  // by record
  std::size_t files_ = 0;
  std::uint64_t bytes_ = 0;
  std::size_t failures_ = 0;
};

}  // namespace

int RunExtract(const std::vector<std::string>& args) {
  ReadArgs a;
  std::vector<std::string> only;
  bool force = false;
  std::string error;
  const bool parsed = ParseReadArgs(
      args, a, error, [&](const std::vector<std::string>& all, std::size_t& i, std::string& e) {
        if (all[i] == "--force") {
          force = true;
          return true;
        }
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
  Extraction x(session, dest, force);
  std::vector<std::string>& problems = x.problems();
  auto show = [&problems] {
    for (const std::string& p : problems) PrintLine(stderr, "pkgtool extract: " + p);
  };
  // Nothing is written while the archive or any chosen name has a problem.
  auto ready = [&] {
    if (problems.empty()) return true;
    show();
    PrintLine(stderr, "pkgtool extract: nothing was extracted");
    return false;
  };
  if (pkg::Status s = session.Open(); !s.ok()) problems.push_back(s.message());
  if (!ready()) return kExitFailed;
  const pkg::Inspection r =
      session.Inspect([&problems](const std::string& line) { problems.push_back(line); });
  if (r.trailerRead && r.key < 0) problems.push_back(session.KeyHint());
  if (!ready()) return kExitFailed;
  x.Select(only);
  if (!ready()) return kExitFailed;
  x.CheckDest();
  if (!ready()) return kExitFailed;
  const int code = x.WriteAll();
  show();
  return code;
}

}  // namespace pkgtool

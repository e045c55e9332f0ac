// pkgtool extract: every file (or those chosen with --only) written below
// DEST under its relative path. Names are checked before anything is written;
// each file is written to a temporary name and moved into place only when
// its data has been read in full and found sound.
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "archive_names.h"
#include "archive_session.h"
#include "commands.h"
#include "console.h"
#include "exit_codes.h"
#include "extract.h"
#include "extract_fs.h"

namespace pkgtool {
namespace {

const char* const kExtractHelp =
    "usage: pkgtool extract ARCHIVE DEST [--game 1|2|auto | --key HEX] [--only REL]...\n"
    "                       [--force] [--no-sync]\n"
    "\n"
    "Writes each file of the archive below the folder DEST under its relative\n"
    "path, creating DEST and the folders on the way. Nothing is written when the\n"
    "archive's index or layout has a problem, or when a name would lead out of\n"
    "DEST (\"..\", an absolute path, a drive letter, a \":\" stream, a device name\n"
    "on Windows). A file whose data is damaged is not written at all; the others\n"
    "are. Existing files are never replaced unless --force is given. Each folder\n"
    "below DEST is opened from the one above it, never through a link.\n"
    "\n"
    "  --game auto      try the built-in keys of both games (the default)\n"
    "  --game 1|2       use the built-in key of game 1 or game 2\n"
    "  --key HEX        use this key, e.g. 3A7F0C52E9\n"
    "  --only REL       extract only this file, or the files of this folder, given\n"
    "                   as the archive names it (\\data\\a.bin; letter case ignored);\n"
    "                   may be repeated\n"
    "  --force          replace files that already exist below DEST\n"
    "  --no-sync        do not wait for each file to reach the disk before it takes\n"
    "                   its name (faster; a power cut may then leave empty files)\n"
    "\n"
    "Exit codes: 0 extracted, 1 the archive or a file failed (nothing half-written\n"
    "is left), 2 bad command line, 130 interrupted by Ctrl-C.\n";

struct IdentityHash {
  std::size_t operator()(const pkg::FileIdentity& id) const {
    return std::hash<std::uint64_t>()(
        (id.volume * 0x9E3779B97F4A7C15ull ^ id.indexHigh) * 0x9E3779B97F4A7C15ull ^ id.index);
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
//
// The folders of the current entry's path are held open, one per level, each
// opened from its parent without following a link. The next entry reuses the
// levels it shares, so a file costs only the levels that differ from the
// previous one's, whatever its depth, and nothing is ever reached by a full
// path that a link swapped in could redirect.
class Extraction {
 public:
  Extraction(ArchiveSession& session, ExtractFs& fs, const LineSink& print, std::string dest,
             bool force, bool sync)
      : session_(session),
        platform_(session.platform()),
        fs_(fs),
        print_(print),
        archive_(session.archive()),
        dest_(std::move(dest)),
        root_(TrimDest(dest_)),
        force_(force),
        sync_(sync),
        maxDepth_(fs.MaxDepth()) {}

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
      if (e.components.size() - 1 > maxDepth_) {
        Fail(where + ": refused the name " + e.name + ": it lies " +
             std::to_string(e.components.size() - 1) + " folders deep, and extraction holds " +
             "each folder on the way open; this system allows " + std::to_string(maxDepth_) +
             " (raise the limit of open files, ulimit -n)");
        continue;
      }
      entries_.push_back(std::move(e));
    }
    for (std::size_t k = 0; k < only.size(); ++k)
      if (!used[k])
        Fail("--only " + DisplayText(only[k]) +
             ": the archive holds no file or folder of that name");
    CheckFolderClashes();
  }

  // Looks at what is below DEST already: folders to reuse, files not to
  // replace, and links not to write through.
  void CheckDest() {
    if (platform_.KindOf(dest_) != pkg::PathKind::kMissing) {
      if (pkg::Status s = fs_.OpenRoot(dest_, false, rootFolder_); !s.ok()) {
        Fail("cannot open the folder '" + DisplayText(dest_) + "': " + s.message());
        return;
      }
    }
    for (const Entry& e : entries_) {
      std::string why;
      Folder* folder = Descend(e, /*make=*/false, why);
      if (!why.empty()) {
        Fail(Where(e) + ": " + why);
        continue;
      }
      // Dest, or a folder on the way, is missing: so is the file.
      if (!folder) continue;
      const std::string& name = e.components.back();
      switch (fs_.KindAt(*folder, name)) {
        case EntryKind::kMissing:
          break;
        case EntryKind::kFile:
          if (!force_)
            Fail(Where(e) + ": '" + Shown(e, e.components.size()) +
                 "' exists already; give --force to replace it");
          break;
        case EntryKind::kDirectory:
          Fail(Where(e) + ": '" + Shown(e, e.components.size()) + "' is a folder");
          break;
        case EntryKind::kOther:
          Fail(Where(e) + ": '" + Shown(e, e.components.size()) +
               "' is a link or a device, which extraction does not replace");
          break;
      }
    }
    PopTo(0);
  }

  // Writes every chosen file; returns the exit code.
  int WriteAll() {
    if (!rootFolder_) {
      if (pkg::Status s = fs_.OpenRoot(dest_, true, rootFolder_); !s.ok()) {
        Fail("cannot create the folder '" + DisplayText(dest_) + "': " + s.message());
        return kExitFailed;
      }
    }
    for (const Entry& e : entries_) {
      if (InterruptRequested()) return Interrupted();
      bool interrupted = false;
      if (pkg::Status s = WriteOne(e, interrupted); !s.ok()) {
        if (interrupted) return Interrupted();
        Fail(Where(e) + ": " + s.message());
      }
    }
    FlushFolders();
    print_(stdout, "extracted " + std::to_string(files_) + (files_ == 1 ? " file, " : " files, ") +
                       std::to_string(bytes_) + (bytes_ == 1 ? " byte, into " : " bytes, into ") +
                       DisplayText(dest_));
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

  // A folder on the current path, held open; files published below it are
  // counted, so that it can be seen whether they stayed in place.
  struct Level {
    std::unique_ptr<Folder> folder;  // null: missing, while DEST is only looked at
    std::size_t filesBelow = 0;
    bool changed = false;  // a file was published or a folder made in it
  };

  std::string Where(const Entry& e) const {
    return "index record " + std::to_string(e.record + 1) + " (" + e.name + ")";
  }

  // The path of the first depth components of names below DEST, for messages.
  std::string Shown(const std::vector<std::string>& names, std::size_t depth) {
    return DisplayText(platform_.JoinRelative(root_, Join(names, depth)));
  }
  std::string Shown(const Entry& e, std::size_t depth) { return Shown(e.components, depth); }

  int Interrupted() {
    FlushFolders();
    print_(stderr, "pkgtool extract: interrupted; " + std::to_string(files_) +
                       " files were extracted, none is left half-written");
    return kExitInterrupted;
  }

  // Lets go of every level, then flushes DEST's own names.
  void FlushFolders() {
    PopTo(0);
    if (rootChanged_) SyncFolder(*rootFolder_, DisplayText(dest_));
    rootChanged_ = false;
  }

  void SyncFolder(Folder& folder, const std::string& shown) {
    if (!sync_) return;
    if (pkg::Status s = fs_.SyncFolder(folder); !s.ok())
      Fail("cannot flush the folder '" + shown + "' to the disk: " + s.message() +
           "; its files may not keep their names after a power cut");
  }

  // Marks the folder at level (0: DEST, 1: the first below it...) as changed.
  void Changed(std::size_t level) {
    if (level == 0)
      rootChanged_ = true;
    else
      levels_[level - 1].changed = true;
  }

  Folder& ParentOf(std::size_t level) {
    return level == 0 ? *rootFolder_ : *levels_[level - 1].folder;
  }

  // Whether the folder held for level is still the one at its name: a folder
  // moved away and replaced (by a link, say) keeps receiving what is written
  // through its handle, never what the replacement leads to, but its files
  // are then not where the archive puts them.
  bool InPlace(std::size_t level) {
    pkg::FileIdentity id;
    return fs_.IdentityAt(ParentOf(level), path_[level], id).ok() &&
           id == levels_[level].folder->identity();
  }

  // Lets go of the levels from depth down, each checked for having stayed in
  // place while files were published below it.
  void PopTo(std::size_t depth) {
    while (levels_.size() > depth) {
      const std::size_t top = levels_.size() - 1;
      const std::size_t below = levels_[top].filesBelow;
      if (below > 0 && levels_[top].folder && !InPlace(top))
        Fail(
            "'" + Shown(path_, top + 1) +
            "' was moved or replaced while files were extracted into it: " + std::to_string(below) +
            (below == 1 ? " file" : " files") + " written below it " + (below == 1 ? "is" : "are") +
            " not at " + (below == 1 ? "its place" : "their places"));
      if (top > 0) levels_[top - 1].filesBelow += below;
      // Its names are flushed once, when it is left: after its last file.
      if (levels_[top].changed && levels_[top].folder)
        SyncFolder(*levels_[top].folder, Shown(path_, top + 1));
      levels_.pop_back();
      path_.pop_back();
    }
  }

  // Makes e's folders the current path, opening only the levels that differ
  // from the current one; with make, missing folders are created. Returns the
  // folder e's file goes into. Null with why empty: a folder on the way is
  // missing, or already reported (when only looking).
  Folder* Descend(const Entry& e, bool make, std::string& why) {
    const std::size_t folders = e.components.size() - 1;
    std::size_t common = 0;
    while (common < path_.size() && common < folders && path_[common] == e.components[common])
      ++common;
    PopTo(common);
    for (std::size_t d = common; d < folders; ++d) {
      const std::string& name = e.components[d];
      Folder* parent = d == 0 ? rootFolder_.get() : levels_[d - 1].folder.get();
      std::unique_ptr<Folder> folder;
      if (parent && make) {
        if (!fs_.OpenFolder(*parent, name, folder).ok()) {
          pkg::Status s = pkg::Status::Ok();
          if (fs_.KindAt(*parent, name) == EntryKind::kMissing) {
            s = fs_.MakeFolder(*parent, name);
            if (!s.ok()) {
              why = "cannot create the folder '" + Shown(e, d + 1) + "': " + s.message();
              return nullptr;
            }
            Changed(d);
          }
          if (s = fs_.OpenFolder(*parent, name, folder); !s.ok()) {
            why = "cannot open the folder '" + Shown(e, d + 1) + "': " + s.message();
            return nullptr;
          }
        }
      } else if (parent) {
        std::string problem;
        switch (fs_.KindAt(*parent, name)) {
          case EntryKind::kMissing:
            break;
          case EntryKind::kDirectory:
            if (pkg::Status s = fs_.OpenFolder(*parent, name, folder); !s.ok())
              problem = "cannot open the folder '" + Shown(e, d + 1) + "': " + s.message();
            break;
          case EntryKind::kFile:
            problem = "'" + Shown(e, d + 1) + "' is a file, where a folder is needed";
            break;
          case EntryKind::kOther:
            problem = "'" + Shown(e, d + 1) +
                      "' is a link or a device, which extraction does not write through";
            break;
        }
        if (!problem.empty()) {
          // Said once per folder; the files below it are left out with it.
          if (reported_.insert(Join(e.components, d + 1)).second) why = problem;
          return nullptr;
        }
      }
      levels_.push_back({std::move(folder), 0});
      path_.push_back(name);
    }
    return folders == 0 ? rootFolder_.get() : levels_.back().folder.get();
  }

  // Writes e's data to a temporary file in its folder and gives it its name
  // once the data has been read in full and found sound; on failure nothing
  // of it is left.
  pkg::Status WriteOne(const Entry& e, bool& interrupted) {
    std::string why;
    Folder* folder = Descend(e, /*make=*/true, why);
    if (!folder) return pkg::Status::Fail(why);
    const std::size_t depth = e.components.size();
    const pkg::IndexRecord& rec = archive_.records[e.record];
    const std::string& name = e.components.back();
    std::unique_ptr<NewFile> file;
    if (pkg::Status s = fs_.CreateTempFile(*folder, file); !s.ok())
      return pkg::Status::Fail("cannot create a file in '" +
                               (depth > 1 ? Shown(e, depth - 1) : DisplayText(dest_)) +
                               "': " + s.message());
    pkg::Status s = pkg::StreamRecordData(session_.stream(), archive_, rec,
                                          [&](std::span<const std::uint8_t> piece) {
                                            if (InterruptRequested()) {
                                              interrupted = true;
                                              return pkg::Status::Fail("interrupted");
                                            }
                                            return file->Write(piece.data(), piece.size());
                                          });
    // Two names that this system does not tell apart (letter case, on
    // Windows) must not silently become one file.
    pkg::FileIdentity id;
    if (s.ok() && fs_.IdentityAt(*folder, name, id).ok()) {
      if (const auto it = written_.find(id); it != written_.end())
        s = pkg::Status::Fail("'" + Shown(e, depth) +
                              "' is the file just extracted for index record " +
                              std::to_string(it->second + 1) + " (" + session_.Name(it->second) +
                              "); this system takes the two names for one");
    }
    if (s.ok() && depth > 1 && !InPlace(levels_.size() - 1))
      s = pkg::Status::Fail("'" + Shown(e, depth - 1) +
                            "' was moved or replaced while files were extracted into it; the "
                            "file was not written");
    // The data reaches the disk before the name does.
    if (s.ok() && sync_) {
      if (pkg::Status f = file->Sync(); !f.ok())
        s = pkg::Status::Fail("cannot flush '" + Shown(e, depth) + "' to the disk: " + f.message());
    }
    if (s.ok()) {
      if (pkg::Status p = file->Publish(name, force_); !p.ok())
        s = pkg::Status::Fail("cannot move the new file to '" + Shown(e, depth) +
                              "': " + p.message());
    }
    if (!s.ok()) return s;
    written_.emplace(file->identity(), e.record);
    Changed(depth - 1);
    if (depth > 1) ++levels_.back().filesBelow;
    print_(stdout, e.name);
    ++files_;
    bytes_ += rec.size;
    return pkg::Status::Ok();
  }

  ArchiveSession& session_;
  pkg::Platform& platform_;
  ExtractFs& fs_;
  const LineSink& print_;
  const pkg::PkgArchive& archive_;
  const std::string dest_, root_;
  const bool force_;
  const bool sync_;
  const std::size_t maxDepth_;
  std::vector<Entry> entries_;
  std::vector<std::string> problems_;
  std::unique_ptr<Folder> rootFolder_;
  bool rootChanged_ = false;                  // a file was published or a folder made in DEST
  std::vector<Level> levels_;                 // the folders of the current path, from DEST down
  std::vector<std::string> path_;             // their names
  std::unordered_set<std::string> reported_;  // folders in the way, already said
  std::unordered_map<pkg::FileIdentity, std::size_t, IdentityHash> written_;  // by record
  std::size_t files_ = 0;
  std::uint64_t bytes_ = 0;
  std::size_t failures_ = 0;
};

}  // namespace

int ExtractArchive(pkg::Platform& platform, ExtractFs& fs, const ExtractRequest& request,
                   const LineSink& print) {
  ArchiveSession session(platform, request.archive, request.key);
  Extraction x(session, fs, print, request.dest, request.force, request.sync);
  std::vector<std::string>& problems = x.problems();
  auto show = [&problems, &print] {
    for (const std::string& p : problems) print(stderr, "pkgtool extract: " + p);
  };
  // Nothing is written while the archive or any chosen name has a problem.
  auto ready = [&] {
    if (problems.empty()) return true;
    show();
    print(stderr, "pkgtool extract: nothing was extracted");
    return false;
  };
  if (pkg::Status s = session.Open(); !s.ok()) problems.push_back(s.message());
  if (!ready()) return kExitFailed;
  const pkg::Inspection r =
      session.Inspect([&problems](const std::string& line) { problems.push_back(line); });
  if (r.trailerRead && r.key < 0) problems.push_back(session.KeyHint());
  if (!ready()) return kExitFailed;
  x.Select(request.only);
  if (!ready()) return kExitFailed;
  x.CheckDest();
  if (!ready()) return kExitFailed;
  const int code = x.WriteAll();
  show();
  return code;
}

int RunExtract(const std::vector<std::string>& args) {
  ReadArgs a;
  std::vector<std::string> only;
  bool force = false, sync = true;
  std::string error;
  const bool parsed = ParseReadArgs(
      args, a, error, [&](const std::vector<std::string>& all, std::size_t& i, std::string& e) {
        if (all[i] == "--force") {
          force = true;
          return true;
        }
        if (all[i] == "--no-sync") {
          sync = false;
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
  if (a.positional[1].empty()) return Usage("extract", "the folder DEST is empty");
  // Resolved once: "Z:" on Windows is the current folder of drive Z, and
  // what is checked must be what is written.
  ExtractRequest request{a.positional[0], {}, a.key, only, force, sync};
  if (pkg::Status s = FullPath(a.positional[1], request.dest); !s.ok())
    return Usage("extract", s.message());
  if (platform.KindOf(request.dest) == pkg::PathKind::kFile)
    return Usage("extract", "'" + DisplayText(request.dest) + "' is a file, not a folder");
  CatchInterrupt();
  return ExtractArchive(
      platform, SystemExtractFs(), request,
      [](std::FILE* stream, const std::string& line) { PrintLine(stream, line); });
}

}  // namespace pkgtool

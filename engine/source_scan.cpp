#include "source_scan.h"

#include "control_characters.h"

#include <algorithm>
#include <deque>
#include <set>
#include <utility>

namespace pkg {
namespace {

struct QueuedDirectory {
  std::string fullPath;  // as the system takes it
  std::string relative;  // "" for the source folder, else "\sub\dir"
  NameProblem problem;   // what the folder's path, and so every file below it, has
};

// Code page 936 keeps ASCII as it is, so most names need no conversion.
bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool Stopped(const std::atomic<bool>* stop) {
  return stop && stop->load(std::memory_order_relaxed);
}

// A control character outweighs a missing code page 936 form: it is the one
// that makes the archive unreadable, and the one to tell the user about.
NameProblem ProblemOf(NameProblem inherited, std::string_view name) {
  if (inherited == NameProblem::kControlCharacter ||
      std::any_of(name.begin(), name.end(), IsControlCharacter))
    return NameProblem::kControlCharacter;
  if (inherited == NameProblem::kNotCodePage936 || name.find('\\') != std::string_view::npos)
    return NameProblem::kNotCodePage936;
  return NameProblem::kNone;
}

}  // namespace

std::string NameRefusal(const std::string& full, NameProblem problem) {
  if (problem != NameProblem::kControlCharacter)
    return "its name has characters that code page 936 cannot hold";
  const char control = *std::find_if(full.begin(), full.end(), IsControlCharacter);
  return "its name holds the control character " +
         EscapedByte(static_cast<unsigned char>(control)) +
         ", which an archive's names may not hold";
}

ScanResult BuildFileList(Platform& platform, const std::string& sourceDirectory,
                         std::vector<SourceFile>& fileList, const std::atomic<bool>* stop,
                         const std::function<void(std::size_t from)>& folderListed) {
  std::deque<QueuedDirectory> queue;
  std::set<FileIdentity> listed;
  std::vector<DirEntry> entries;
  queue.push_back({sourceDirectory, std::string(), NameProblem::kNone});

  while (!queue.empty() && !Stopped(stop)) {
    QueuedDirectory current = std::move(queue.front());
    queue.pop_front();

    FileIdentity id;
    if (platform.IdentityOf(current.fullPath, id).ok() && !listed.insert(id).second) continue;
    bool missing = false;
    if (Status s = platform.ListDirectory(current.fullPath, entries, missing); !s.ok()) {
      if (missing) continue;
      return {std::move(s), std::move(current.fullPath)};
    }

    const std::string prefix = platform.JoinRelative(current.fullPath, "\\");
    const std::size_t from = fileList.size();
    for (DirEntry& entry : entries) {
      const NameProblem problem = ProblemOf(current.problem, entry.name);
      std::string relative = current.relative + "\\" + entry.name;
      if (entry.isDirectory) {
        queue.push_back({prefix + entry.name, std::move(relative), problem});
        continue;
      }
      SourceFile file;
      file.relative = std::move(relative);
      file.nameProblem = problem;
      if (problem == NameProblem::kNone) {
        if (IsAscii(file.relative)) {
          file.name936 = file.relative;
        } else if (!platform.ToCodePage936(file.relative, file.name936)) {
          file.nameProblem = NameProblem::kNotCodePage936;
          file.name936.clear();
        }
      }
      fileList.push_back(std::move(file));
    }
    if (folderListed && fileList.size() > from) folderListed(from);
  }
  return {};
}

}  // namespace pkg

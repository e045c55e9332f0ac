#include "source_scan.h"

#include <algorithm>
#include <deque>
#include <set>
#include <string_view>
#include <utility>

namespace pkg {
namespace {

struct IdentityLess {
  bool operator()(const FileIdentity& a, const FileIdentity& b) const {
    return a.volume != b.volume ? a.volume < b.volume : a.index < b.index;
  }
};

struct QueuedDirectory {
  std::string fullPath;  // as the system takes it
  std::string relative;  // "" for the source folder, else "\sub\dir"
  bool expressible;      // false below a folder whose name the index cannot hold
};

// Code page 936 keeps ASCII as it is, so most names need no conversion.
bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool Stopped(const std::atomic<bool>* stop) {
  return stop && stop->load(std::memory_order_relaxed);
}

}  // namespace

void BuildFileList(Platform& platform, const std::string& sourceDirectory,
                   std::vector<SourceFile>& fileList, const std::atomic<bool>* stop,
                   const std::function<void(std::size_t from)>& folderListed) {
  std::deque<QueuedDirectory> queue;
  std::set<FileIdentity, IdentityLess> listed;
  std::vector<DirEntry> entries;
  queue.push_back({sourceDirectory, std::string(), true});

  while (!queue.empty() && !Stopped(stop)) {
    QueuedDirectory current = std::move(queue.front());
    queue.pop_front();

    FileIdentity id;
    if (platform.IdentityOf(current.fullPath, id).ok() && !listed.insert(id).second) continue;
    if (!platform.ListDirectory(current.fullPath, entries).ok()) continue;

    const std::string prefix = platform.JoinRelative(current.fullPath, "\\");
    const std::size_t from = fileList.size();
    for (DirEntry& entry : entries) {
      const bool nameFits = current.expressible && entry.name.find('\\') == std::string::npos;
      std::string relative = current.relative + "\\" + entry.name;
      if (entry.isDirectory) {
        queue.push_back({prefix + entry.name, std::move(relative), nameFits});
        continue;
      }
      SourceFile file;
      file.relative = std::move(relative);
      if (!nameFits)
        file.expressible = false;
      else if (IsAscii(file.relative))
        file.name936 = file.relative;
      else
        file.expressible = platform.ToCodePage936(file.relative, file.name936);
      fileList.push_back(std::move(file));
    }
    if (folderListed && fileList.size() > from) folderListed(from);
  }
}

}  // namespace pkg

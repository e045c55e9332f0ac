#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "extract_fs.h"

namespace pkgtool {
namespace {

pkg::Status Errno(const std::string& what, int err) {
  return pkg::Status::Fail(what + ": " + std::strerror(err));
}

}  // namespace

EntryKind KindOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return EntryKind::kMissing;
  if (S_ISREG(st.st_mode)) return EntryKind::kFile;
  if (S_ISDIR(st.st_mode)) return EntryKind::kDirectory;
  return EntryKind::kOther;
}

pkg::Status MakeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0)
    return Errno("cannot create the folder '" + path + "'", errno);
  return pkg::Status::Ok();
}

pkg::Status MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return pkg::Status::Ok();
  int err = errno;
  // File systems without RENAME_NOREPLACE: a hard link is refused just as
  // atomically when the name is taken.
  if (err == EINVAL || err == ENOSYS || err == ENOTSUP) {
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return pkg::Status::Ok();
    }
    err = errno;
  }
  return Errno("cannot move the new file to '" + to + "'", err);
}

}  // namespace pkgtool

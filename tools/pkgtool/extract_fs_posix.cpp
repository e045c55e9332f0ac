#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "extract_fs.h"

namespace pkgtool {
namespace {

pkg::Status Errno(int err) {
  if (err == ELOOP) return pkg::Status::Fail("it is a link, which extraction does not follow");
  if (err == ENOTDIR) return pkg::Status::Fail("it is not a folder");
  return pkg::Status::Fail(std::strerror(err));
}

pkg::FileIdentity IdentityOf(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

class PosixFolder final : public Folder {
 public:
  PosixFolder(int fd, pkg::FileIdentity id) : fd_(fd), id_(id) {}
  ~PosixFolder() override { ::close(fd_); }
  pkg::FileIdentity identity() const override { return id_; }
  int fd() const { return fd_; }

 private:
  const int fd_;
  const pkg::FileIdentity id_;
};

int FdOf(Folder& f) {
  return static_cast<PosixFolder&>(f).fd();
}

pkg::Status Hold(int fd, std::unique_ptr<Folder>& out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return Errno(err);
  }
  out = std::make_unique<PosixFolder>(fd, IdentityOf(st));
  return pkg::Status::Ok();
}

class PosixNewFile final : public NewFile {
 public:
  PosixNewFile(int folder, int fd, std::string temp, pkg::FileIdentity id)
      : folder_(folder), fd_(fd), temp_(std::move(temp)), id_(id) {}
  ~PosixNewFile() override {
    if (fd_ >= 0) ::close(fd_);
    if (!published_) ::unlinkat(folder_, temp_.c_str(), 0);
  }

  pkg::Status Write(const void* data, std::size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::write(fd_, p, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Errno(errno);
      }
      p += n;
      size -= static_cast<std::size_t>(n);
    }
    return pkg::Status::Ok();
  }

  pkg::FileIdentity identity() const override { return id_; }

  pkg::Status Sync() override {
    while (::fdatasync(fd_) != 0)
      if (errno != EINTR) return Errno(errno);
    return pkg::Status::Ok();
  }

  pkg::Status Publish(const std::string& name, bool replace) override {
    // A deferred write error shows at close, before the file takes its name.
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) return Errno(errno);
    if (replace) {
      if (::renameat(folder_, temp_.c_str(), folder_, name.c_str()) != 0) return Errno(errno);
    } else if (::renameat2(folder_, temp_.c_str(), folder_, name.c_str(), RENAME_NOREPLACE) != 0) {
      int err = errno;
      // File systems without RENAME_NOREPLACE: a hard link is refused just as
      // atomically when the name is taken.
      if (err != EINVAL && err != ENOSYS && err != ENOTSUP) return Errno(err);
      if (::linkat(folder_, temp_.c_str(), folder_, name.c_str(), 0) != 0) return Errno(errno);
      ::unlinkat(folder_, temp_.c_str(), 0);
    }
    published_ = true;
    return pkg::Status::Ok();
  }

 private:
  const int folder_;
  int fd_;
  const std::string temp_;
  const pkg::FileIdentity id_;
  bool published_ = false;
};

class PosixExtractFs final : public ExtractFs {
 public:
  pkg::Status OpenRoot(const std::string& path, bool create,
                       std::unique_ptr<Folder>& out) override {
    if (create) {
      std::error_code ec;
      std::filesystem::create_directories(std::filesystem::path(path), ec);
      if (ec) return pkg::Status::Fail(ec.message());
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Errno(errno);
    return Hold(fd, out);
  }

  EntryKind KindAt(Folder& parent, const std::string& name) override {
    struct stat st;
    if (::fstatat(FdOf(parent), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return EntryKind::kMissing;
    if (S_ISREG(st.st_mode)) return EntryKind::kFile;
    if (S_ISDIR(st.st_mode)) return EntryKind::kDirectory;
    return EntryKind::kOther;
  }

  pkg::Status IdentityAt(Folder& parent, const std::string& name, pkg::FileIdentity& id) override {
    struct stat st;
    if (::fstatat(FdOf(parent), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Errno(errno);
    id = IdentityOf(st);
    return pkg::Status::Ok();
  }

  pkg::Status OpenFolder(Folder& parent, const std::string& name,
                         std::unique_ptr<Folder>& out) override {
    const int fd =
        ::openat(FdOf(parent), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      // A link is refused as ENOTDIR or ELOOP; the message says which it was.
      if ((err == ENOTDIR || err == ELOOP) && KindAt(parent, name) == EntryKind::kOther)
        return Errno(ELOOP);
      return Errno(err == ELOOP ? ENOTDIR : err);
    }
    return Hold(fd, out);
  }

  pkg::Status MakeFolder(Folder& parent, const std::string& name) override {
    if (::mkdirat(FdOf(parent), name.c_str(), 0777) != 0) return Errno(errno);
    return pkg::Status::Ok();
  }

  pkg::Status SyncFolder(Folder& folder) override {
    while (::fsync(FdOf(folder)) != 0)
      if (errno != EINTR) return Errno(errno);
    return pkg::Status::Ok();
  }

  pkg::Status CreateTempFile(Folder& parent, std::unique_ptr<NewFile>& out) override {
    static std::atomic<unsigned> counter{0};
    static const unsigned long seed = std::random_device{}();
    for (int attempt = 0;; ++attempt) {
      char temp[96];
      std::snprintf(temp, sizeof temp, ".Zerith_DURAdazov-%ld-%lx-%u.tmp",
                    static_cast<long>(::getpid()), seed, counter.fetch_add(1));
      const int fd =
          ::openat(FdOf(parent), temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd < 0) {
        if (errno == EEXIST && attempt < 100) continue;
        return Errno(errno);
      }
      struct stat st;
      if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        ::unlinkat(FdOf(parent), temp, 0);
        return Errno(err);
      }
      out = std::make_unique<PosixNewFile>(FdOf(parent), fd, temp, IdentityOf(st));
      return pkg::Status::Ok();
    }
  }

  std::size_t MaxDepth() override {
    // Each level is one open descriptor: the soft limit is raised as far as
    // the hard one allows, and some are kept for everything else.
    constexpr rlim_t kReserve = 64;
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 1024 - kReserve;
    if (lim.rlim_cur != lim.rlim_max) {
      rlimit raised = lim;
      raised.rlim_cur = lim.rlim_max;
      if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    constexpr rlim_t kCap = 1 << 20;
    const rlim_t n = lim.rlim_cur == RLIM_INFINITY ? kCap : std::min(lim.rlim_cur, kCap);
    return n > kReserve ? static_cast<std::size_t>(n - kReserve) : 0;
  }
};

}  // namespace

ExtractFs& SystemExtractFs() {
  static PosixExtractFs fs;
  return fs;
}

pkg::Status FullPath(const std::string& path, std::string& full) {
  if (!path.empty() && path[0] == '/') {
    full = path;
    return pkg::Status::Ok();
  }
  std::error_code ec;
  const std::filesystem::path here = std::filesystem::current_path(ec);
  if (ec) return pkg::Status::Fail("cannot learn the current folder: " + ec.message());
  full = here.string();
  if (full.empty() || full.back() != '/') full += '/';
  full += path;
  return pkg::Status::Ok();
}

}  // namespace pkgtool

// POSIX implementation of the platform interface: file names are taken to be
// UTF-8, code page 936 goes through iconv.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>

#include "name_order.h"
#include "platform.h"
#include "utf8.h"

namespace pkg {
namespace {

Status Errno(const char* what, const std::string& path, int err) {
  return Status::Fail(std::string(what) + " " + Quoted(path) + ": " + std::strerror(err));
}

FileStamp StampFromStat(const struct stat& st) {
  // The change time moves with every write and cannot be set back by hand.
  return {{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)},
          static_cast<std::uint64_t>(st.st_size),
          static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
}

class PosixFile final : public PlatformFile {
 public:
  PosixFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  // Opened for reading, with a stat of the open file made before any read.
  PosixFile(int fd, std::string path, const FileStamp& opened, bool nonBlocking)
      : fd_(fd),
        path_(std::move(path)),
        opened_(opened),
        haveOpened_(true),
        nonBlocking_(nonBlocking) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Status Read(void* buffer, std::size_t count, std::size_t& got) override {
    got = 0;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, count);
      if (n >= 0) {
        got = static_cast<std::size_t>(n);
        return Status::Ok();
      }
      // Opened without blocking, which regular files ignore today; should
      // the system ever honour it for one, the file blocks from then on.
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && nonBlocking_) {
        nonBlocking_ = false;
        if (::fcntl(fd_, F_SETFL, 0) == 0) continue;
      }
      if (errno != EINTR) return Errno("cannot read", path_, errno);
    }
  }

  Status Write(const void* buffer, std::size_t count) override {
    const auto* p = static_cast<const char*>(buffer);
    while (count > 0) {
      const ssize_t n = ::write(fd_, p, count);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Errno("cannot write to", path_, errno);
      }
      p += n;
      count -= static_cast<std::size_t>(n);
    }
    return Status::Ok();
  }

  Status Seek(std::uint64_t position) override {
    if (::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0)
      return Errno("cannot seek in", path_, errno);
    return Status::Ok();
  }

  Status Size(std::uint64_t& size) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return Errno("cannot read the size of", path_, errno);
    size = static_cast<std::uint64_t>(st.st_size);
    return Status::Ok();
  }

  Status Identity(FileIdentity& id) override {
    if (haveOpened_) {  // an open file keeps its identity
      id = opened_.id;
      return Status::Ok();
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0) return Errno("cannot identify", path_, errno);
    id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return Status::Ok();
  }

  Status Stamp(FileStamp& stamp) override {
    if (haveOpened_) {  // the stat made on opening, before any read
      stamp = opened_;
      return Status::Ok();
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0) return Errno("cannot identify", path_, errno);
    stamp = StampFromStat(st);
    return Status::Ok();
  }

  Status Sync() override {
    // The data and the size; the times can wait.
    while (::fdatasync(fd_) != 0)
      if (errno != EINTR) return Errno("cannot flush to the disk", path_, errno);
    return Status::Ok();
  }

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  Status Close() override {
    if (fd_ < 0) return Status::Ok();
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && errno != EINTR) return Errno("cannot finish writing", path_, errno);
    return Status::Ok();
  }

 private:
  int fd_;
  std::string path_;
  FileStamp opened_;
  bool haveOpened_ = false;
  bool nonBlocking_ = false;  // opened with O_NONBLOCK
};

// iconv descriptors are not thread-safe; one pair, used under a lock.
class Cp936Converter {
 public:
  bool Convert(bool toCp936, std::string_view in, std::string& out) {
    std::lock_guard<std::mutex> lock(m_);
    iconv_t& cd = toCp936 ? to_ : from_;
    if (cd == iconv_t(-1)) {
      cd = toCp936 ? iconv_open("CP936", "UTF-8") : iconv_open("UTF-8", "CP936");
      if (cd == iconv_t(-1)) return false;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    // A code page 936 byte can become three UTF-8 bytes (0x80 is the euro sign).
    out.assign(in.size() * 3 + 4, '\0');
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) == std::size_t(-1)) return false;
    if (iconv(cd, nullptr, nullptr, &dst, &dstLeft) == std::size_t(-1)) return false;
    out.resize(out.size() - dstLeft);
    return true;
  }

 private:
  std::mutex m_;  // protects both descriptors
  iconv_t to_ = iconv_t(-1);
  iconv_t from_ = iconv_t(-1);
};

// Code page 936 as Windows has it maps 2,149 codes that iconv's CP936 leaves
// out, all to the private use area: the user-defined areas AAA1-AFFE,
// F8A1-FEFE and A140-A7A0 from U+E000, then the codes left free in the symbol
// rows and at FE50-FEA0 from U+E766, each in code order. With them a name
// reads and writes alike on both systems.
struct Cp936Run {
  std::uint16_t first;  // lead byte and trail byte
  std::uint16_t count;
};
constexpr Cp936Run kCp936FreeCodes[] = {
    {0xA2AB, 6},  {0xA2E3, 2},  {0xA2EF, 2},  {0xA2FD, 2},  {0xA4F4, 11}, {0xA5F7, 8},
    {0xA6B9, 8},  {0xA6D9, 7},  {0xA6EC, 2},  {0xA6F3, 1},  {0xA6F6, 9},  {0xA7C2, 15},
    {0xA7F2, 13}, {0xA896, 11}, {0xA8BC, 1},  {0xA8BF, 1},  {0xA8C1, 4},  {0xA8EA, 21},
    {0xA958, 1},  {0xA95B, 1},  {0xA95D, 3},  {0xA989, 13}, {0xA997, 13}, {0xA9F0, 15},
    {0xD7FA, 5},  {0xFE50, 47}, {0xFE80, 33},
};
constexpr char32_t kCp936UserArea1 = 0xE000;  // AAA1-AFFE, 6 rows of 94
constexpr char32_t kCp936UserArea2 = 0xE234;  // F8A1-FEFE, 7 rows of 94
constexpr char32_t kCp936UserArea3 = 0xE4C6;  // A140-A7A0, 7 rows of 96 (no 7F)
constexpr char32_t kCp936FreeArea = 0xE766;   // kCp936FreeCodes
constexpr char32_t kCp936PrivateEnd = 0xE865;

bool Cp936PrivateToUnicode(unsigned lead, unsigned trail, char32_t& c) {
  if (lead >= 0xAA && lead <= 0xAF && trail >= 0xA1 && trail <= 0xFE) {
    c = kCp936UserArea1 + (lead - 0xAA) * 94 + (trail - 0xA1);
    return true;
  }
  if (lead >= 0xF8 && lead <= 0xFE && trail >= 0xA1 && trail <= 0xFE) {
    c = kCp936UserArea2 + (lead - 0xF8) * 94 + (trail - 0xA1);
    return true;
  }
  if (lead >= 0xA1 && lead <= 0xA7 && trail >= 0x40 && trail <= 0xA0 && trail != 0x7F) {
    c = kCp936UserArea3 + (lead - 0xA1) * 96 + (trail - 0x40) - (trail > 0x7F ? 1 : 0);
    return true;
  }
  const unsigned code = lead << 8 | trail;
  char32_t next = kCp936FreeArea;
  for (const Cp936Run& r : kCp936FreeCodes) {
    if (code >= r.first && code < r.first + r.count) {
      c = next + (code - r.first);
      return true;
    }
    next += r.count;
  }
  return false;
}

bool UnicodeToCp936Private(char32_t c, std::string& out) {
  if (c < kCp936UserArea1 || c >= kCp936PrivateEnd) return false;
  unsigned lead = 0, trail = 0;
  if (c < kCp936UserArea2) {
    lead = 0xAA + (c - kCp936UserArea1) / 94;
    trail = 0xA1 + (c - kCp936UserArea1) % 94;
  } else if (c < kCp936UserArea3) {
    lead = 0xF8 + (c - kCp936UserArea2) / 94;
    trail = 0xA1 + (c - kCp936UserArea2) % 94;
  } else if (c < kCp936FreeArea) {
    const unsigned i = (c - kCp936UserArea3) % 96;
    lead = 0xA1 + (c - kCp936UserArea3) / 96;
    trail = 0x40 + i + (i >= 0x3F ? 1 : 0);
  } else {
    unsigned i = c - kCp936FreeArea;
    for (const Cp936Run& r : kCp936FreeCodes) {
      if (i < r.count) {
        lead = (r.first + i) >> 8;
        trail = (r.first + i) & 0xFF;
        break;
      }
      i -= r.count;
    }
  }
  out.push_back(static_cast<char>(lead));
  out.push_back(static_cast<char>(trail));
  return true;
}

class PosixPlatform final : public Platform {
 public:
  Status CreateNewFile(const std::string& path, std::unique_ptr<PlatformFile>& file) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return Errno("cannot create", path, errno);
    file = std::make_unique<PosixFile>(fd, path);
    return Status::Ok();
  }

  Status OpenExistingForWriting(const std::string& path,
                                std::unique_ptr<PlatformFile>& file) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Errno("cannot write to", path, errno);
    // The superuser may write a file that nobody has write permission for;
    // that the user made it read-only is kept all the same, as on Windows.
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      const int err = errno;
      ::close(fd);
      return Errno("cannot write to", path, err);
    }
    if ((st.st_mode & 0222) == 0) {
      ::close(fd);
      return Status::Fail("cannot write to " + Quoted(path) +
                          ": it is read-only (nobody has permission to write it)");
    }
    file = std::make_unique<PosixFile>(fd, path);
    return Status::Ok();
  }

  Status OpenForReading(const std::string& path, std::unique_ptr<PlatformFile>& file) override {
    // O_NONBLOCK so that a FIFO in the tree cannot stall the job; only regular
    // files are packed.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Errno("cannot open", path, errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return Status::Fail("cannot open " + Quoted(path) + ": not a regular file");
    }
    // O_NONBLOCK stays: regular files ignore it, and clearing it would cost
    // a call per file.
    file = std::make_unique<PosixFile>(fd, path, StampFromStat(st), true);
    return Status::Ok();
  }

  Status RemoveFile(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return Errno("cannot delete", path, errno);
    return Status::Ok();
  }

  Status MoveFileOver(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return Errno("cannot replace", to, errno);
    return Status::Ok();
  }

  Status SyncFolderOf(const std::string& path) override {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Errno("cannot open the folder", folder, errno);
    int rc;
    while ((rc = ::fsync(fd)) != 0 && errno == EINTR) {
    }
    const int err = errno;
    ::close(fd);
    if (rc != 0) return Errno("cannot flush to the disk the folder", folder, err);
    return Status::Ok();
  }

  // Through a pipe of 1 MiB: the kernel moves references to the source's
  // cached pages into it and copies them once, into the destination. As fast
  // as copy_file_range where that is fast, and twice as fast where it is
  // not: when the two offsets differ within a page, as the archive's data,
  // which starts at 24, always does.
  Status CopyData(PlatformFile& from, PlatformFile& to, std::size_t count,
                  std::span<std::uint8_t> scratch, std::size_t& copied) override {
    copied = 0;
    auto* in = dynamic_cast<PosixFile*>(&from);
    auto* out = dynamic_cast<PosixFile*>(&to);
    int pipe[2];
    if (!in || !out || count == 0 || ::pipe2(pipe, O_CLOEXEC) != 0)
      return CopyThroughBuffer(from, to, count, scratch, copied);
    ::fcntl(pipe[1], F_SETPIPE_SZ, 1 << 20);
    Status status;
    while (copied < count) {
      const ssize_t n = ::splice(in->fd(), nullptr, pipe[1], nullptr, count - copied, 0);
      if (n < 0 && errno == EINTR) continue;
      // An error before any byte moved may be a file the kernel cannot splice:
      // the plain way then tells, naming the file that failed.
      if (n < 0 && copied > 0) status = Errno("cannot read", in->path(), errno);
      if (n <= 0) break;
      for (ssize_t left = n; left > 0 && status.ok();) {
        const ssize_t m =
            ::splice(pipe[0], nullptr, out->fd(), nullptr, static_cast<std::size_t>(left), 0);
        if (m < 0 && errno == EINTR) continue;
        if (m <= 0) status = Errno("cannot write to", out->path(), m < 0 ? errno : EIO);
        if (m > 0) left -= m;
      }
      if (!status.ok()) break;
      copied += static_cast<std::size_t>(n);
    }
    ::close(pipe[0]);
    ::close(pipe[1]);
    if (!status.ok() || copied > 0) return status;
    // Nothing moved: the end of the file, or one whose size the system does
    // not know (as in /proc), or one it cannot splice; reading tells.
    return CopyThroughBuffer(from, to, count, scratch, copied);
  }

  Status ListDirectory(const std::string& path, std::vector<DirEntry>& entries,
                       bool& missing) override {
    entries.clear();
    missing = false;
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
      const int err = errno;
      missing = err == ENOENT;
      return Errno("cannot list", path, err);
    }
    const int dfd = ::dirfd(dir);
    errno = 0;
    while (const dirent* e = ::readdir(dir)) {
      const char* name = e->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      bool isDir = e->d_type == DT_DIR;
      if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
        struct stat st;
        isDir = ::fstatat(dfd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
      }
      entries.push_back({name, isDir});
      errno = 0;
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0) {
      entries.clear();  // a part of a listing is no listing
      return Errno("cannot list all of", path, err);
    }
    SortByName(entries);  // readdir's order differs from one file system to the next
    return Status::Ok();
  }

  PathKind KindOf(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return PathKind::kMissing;
    return S_ISDIR(st.st_mode) ? PathKind::kDirectory : PathKind::kFile;
  }

  Status IdentityOf(const std::string& path, FileIdentity& id) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Errno("cannot identify", path, errno);
    id = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return Status::Ok();
  }

  Status StampOf(const std::string& path, FileStamp& stamp) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Errno("cannot identify", path, errno);
    stamp = StampFromStat(st);
    return Status::Ok();
  }

  std::string JoinRelative(const std::string& dir, const std::string& relative) override {
    std::string full = dir;
    full.reserve(dir.size() + relative.size());
    for (char c : relative) full.push_back(c == '\\' ? '/' : c);
    return full;
  }

  std::string SiblingTempPath(const std::string& path) override {
    static std::atomic<unsigned> counter{0};
    static const unsigned long seed = std::random_device{}();
    const std::size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    char name[96];
    std::snprintf(name, sizeof name, ".Zerith_DURAdazov-%ld-%lx-%u.tmp",
                  static_cast<long>(getpid()), seed, counter.fetch_add(1));
    return folder + name;
  }

  // iconv converts the runs between the codes it lacks, which are added here.
  bool ToCodePage936(std::string_view utf8, std::string& cp936) override {
    cp936.clear();
    std::u32string chars;
    if (!DecodeUtf8(utf8, chars)) return false;
    std::string run, part;
    for (const char32_t c : chars) {
      if (c < kCp936UserArea1 || c >= kCp936PrivateEnd) {
        EncodeUtf8(c, run);
        continue;
      }
      if (!run.empty() && !converter_.Convert(true, run, part)) return false;
      if (!run.empty()) cp936 += part;
      run.clear();
      UnicodeToCp936Private(c, cp936);
    }
    if (!run.empty() && !converter_.Convert(true, run, part)) return false;
    if (!run.empty()) cp936 += part;
    return true;
  }

  bool FromCodePage936(std::string_view cp936, std::string& utf8) override {
    utf8.clear();
    std::string run, part;
    for (std::size_t i = 0; i < cp936.size();) {
      const auto lead = static_cast<unsigned char>(cp936[i]);
      // A lead byte takes the next byte with it, so runs end between characters.
      const std::size_t width = lead >= 0x81 && lead <= 0xFE && i + 1 < cp936.size() ? 2 : 1;
      char32_t c = 0;
      if (width == 2 && Cp936PrivateToUnicode(lead, static_cast<unsigned char>(cp936[i + 1]), c)) {
        if (!run.empty() && !converter_.Convert(false, run, part)) return false;
        if (!run.empty()) utf8 += part;
        run.clear();
        EncodeUtf8(c, utf8);
      } else {
        run.append(cp936.substr(i, width));
      }
      i += width;
    }
    if (!run.empty() && !converter_.Convert(false, run, part)) return false;
    if (!run.empty()) utf8 += part;
    return true;
  }

  bool SameTextIgnoreCase(std::string_view a, std::string_view b) override {
    std::u32string ua, ub;
    if (!DecodeUtf8(a, ua) || !DecodeUtf8(b, ub)) return a == b;
    if (ua.size() != ub.size()) return false;
    locale_t loc = CaseLocale();
    for (std::size_t i = 0; i < ua.size(); ++i) {
      if (ua[i] == ub[i]) continue;
      const auto la =
          loc ? towlower_l(static_cast<wint_t>(ua[i]), loc) : towlower(static_cast<wint_t>(ua[i]));
      const auto lb =
          loc ? towlower_l(static_cast<wint_t>(ub[i]), loc) : towlower(static_cast<wint_t>(ub[i]));
      if (la != lb) return false;
    }
    return true;
  }

  std::uint32_t TickCount() override {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
  }

 private:
  // The user's character-type rules when they are Unicode ones, else C.UTF-8,
  // whose case table covers all of Unicode.
  static locale_t CaseLocale() {
    static locale_t loc = [] {
      locale_t l = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
      if (l) {
        const char* cs = nl_langinfo_l(CODESET, l);
        if (cs && std::strcmp(cs, "UTF-8") == 0) return l;
        ::freelocale(l);
      }
      return ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    }();
    return loc;
  }

  Cp936Converter converter_;
};

}  // namespace

Platform& SystemPlatform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace pkg

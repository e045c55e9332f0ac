// Win32 implementation of the platform interface. Everything goes through the
// wide-character API; code page 936 is used explicitly where the archive needs
// it, so the program behaves the same whatever the system's ANSI code page.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform.h"
#include "win32_identity.h"
#include "win32_text.h"

namespace pkg {
namespace {

constexpr UINT kCodePage936 = 936;

using win32::LongPath;
using win32::SystemErrorText;
std::wstring Widen(std::string_view utf8) {
  return win32::Utf8ToWide(utf8);
}
std::string Narrow(std::wstring_view w) {
  return win32::WideToUtf8(w);
}

Status LastError(const char* what, const std::string& path) {
  const DWORD code = GetLastError();
  return Status::Fail(std::string(what) + " '" + path + "': " + SystemErrorText(code));
}

// GetFileInformationByHandleEx's FileIdInfo class and its answer, which the
// headers declare only for builds that require Windows 8.
constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
struct FileIdInfoData {
  ULONGLONG VolumeSerialNumber;
  BYTE FileId[16];  // little-endian
};

}  // namespace

namespace win32 {

FileIdentity IdentityFromFileId(std::uint64_t volumeSerial, const std::uint8_t (&fileId)[16]) {
  FileIdentity id;
  id.volume = volumeSerial;
  for (int i = 7; i >= 0; --i) {
    id.index = (id.index << 8) | fileId[i];
    id.indexHigh = (id.indexHigh << 8) | fileId[8 + i];
  }
  return id;
}

}  // namespace win32

namespace {

// The one source of identities: the 128-bit file ID where the volume gives
// one, since the 64-bit file index is not unique on ReFS; the 64-bit index
// where the system has no such call (before Windows 8, some file systems,
// Wine). One handle always gets the same kind, so identities stay comparable.
bool IdentityFromHandle(HANDLE h, FileIdentity& id) {
  FileIdInfoData ex{};
  if (GetFileInformationByHandleEx(h, kFileIdInfo, &ex, sizeof ex)) {
    std::uint8_t fileId[16];
    std::memcpy(fileId, ex.FileId, sizeof fileId);
    id = win32::IdentityFromFileId(ex.VolumeSerialNumber, fileId);
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return false;
  id = {info.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

bool StampFromHandle(HANDLE h, FileStamp& stamp) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!IdentityFromHandle(h, stamp.id) || !GetFileInformationByHandle(h, &info)) return false;
  stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  stamp.changed = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime);
  return true;
}

class Win32File final : public PlatformFile {
 public:
  Win32File(HANDLE h, std::string path) : h_(h), path_(std::move(path)) {}
  ~Win32File() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }

  Status Read(void* buffer, std::size_t count, std::size_t& got) override {
    got = 0;
    DWORD n = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
    if (!ReadFile(h_, buffer, want, &n, nullptr)) return LastError("cannot read", path_);
    got = n;
    return Status::Ok();
  }

  Status Write(const void* buffer, std::size_t count) override {
    const auto* p = static_cast<const char*>(buffer);
    while (count > 0) {
      DWORD n = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
      if (!WriteFile(h_, p, chunk, &n, nullptr)) return LastError("cannot write to", path_);
      if (n == 0) return Status::Fail("cannot write to '" + path_ + "': nothing was written");
      p += n;
      count -= n;
    }
    return Status::Ok();
  }

  Status Seek(std::uint64_t position) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(position);
    if (!SetFilePointerEx(h_, to, nullptr, FILE_BEGIN)) return LastError("cannot seek in", path_);
    return Status::Ok();
  }

  Status Size(std::uint64_t& size) override {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(h_, &s)) return LastError("cannot read the size of", path_);
    size = static_cast<std::uint64_t>(s.QuadPart);
    return Status::Ok();
  }

  Status Identity(FileIdentity& id) override {
    return IdentityFromHandle(h_, id) ? Status::Ok() : LastError("cannot identify", path_);
  }

  Status Stamp(FileStamp& stamp) override {
    return StampFromHandle(h_, stamp) ? Status::Ok() : LastError("cannot identify", path_);
  }

  Status Sync() override {
    // The closed value is also the process's own pseudo-handle: never pass it.
    if (h_ == INVALID_HANDLE_VALUE)
      return Status::Fail("cannot flush to the disk '" + path_ + "': the file is closed");
    return FlushFileBuffers(h_) ? Status::Ok() : LastError("cannot flush to the disk", path_);
  }

  Status Close() override {
    if (h_ == INVALID_HANDLE_VALUE) return Status::Ok();
    const BOOL ok = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok ? Status::Ok() : LastError("cannot finish writing", path_);
  }

 private:
  HANDLE h_;
  std::string path_;
};

Status Open(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
            const char* what, std::unique_ptr<PlatformFile>& file) {
  HANDLE h =
      CreateFileW(LongPath(path).c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError(what, path);
  file = std::make_unique<Win32File>(h, path);
  return Status::Ok();
}

class Win32Platform final : public Platform {
 public:
  Status CreateNewFile(const std::string& path, std::unique_ptr<PlatformFile>& file) override {
    // No sharing: while the job holds the archive nobody else opens it, the
    // job's own reading of source files included.
    return Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                "cannot create", file);
  }

  Status OpenExistingForWriting(const std::string& path,
                                std::unique_ptr<PlatformFile>& file) override {
    // Windows refuses to write to a read-only file, except where the system
    // does not check (Wine run as root): refused here alike everywhere.
    const DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return LastError("cannot write to", path);
    }
    return Open(path, GENERIC_WRITE, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, "cannot write to",
                file);
  }

  Status OpenForReading(const std::string& path, std::unique_ptr<PlatformFile>& file) override {
    return Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, "cannot open", file);
  }

  Status RemoveFile(const std::string& path) override {
    if (!::DeleteFileW(LongPath(path).c_str())) return LastError("cannot delete", path);
    return Status::Ok();
  }

  Status MoveFileOver(const std::string& from, const std::string& to) override {
    if (!MoveFileExW(LongPath(from).c_str(), LongPath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return LastError("cannot replace", to);
    return Status::Ok();
  }

  // MoveFileOver writes the move through before it returns.
  Status SyncFolderOf(const std::string&) override { return Status::Ok(); }

  // Windows copies between two open handles only through memory; large
  // blocks keep the number of calls low.
  Status CopyData(PlatformFile& from, PlatformFile& to, std::size_t count,
                  std::span<std::uint8_t> scratch, std::size_t& copied) override {
    return CopyThroughBuffer(from, to, count, scratch, copied);
  }

  Status ListDirectory(const std::string& path, std::vector<DirEntry>& entries,
                       bool& missing) override {
    entries.clear();
    missing = false;
    std::wstring pattern = LongPath(path);
    if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
    pattern += L"*";
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD err = GetLastError();
      // Not found: gone, or an empty drive root (it has no "." entry); both
      // list nothing.
      missing = err == ERROR_PATH_NOT_FOUND || err == ERROR_FILE_NOT_FOUND;
      return LastError("cannot list", path);
    }
    do {
      const std::wstring_view name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      entries.push_back({Narrow(name), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(h, &data));
    const DWORD err = GetLastError();
    FindClose(h);
    if (err != ERROR_NO_MORE_FILES) {
      entries.clear();  // a part of a listing is no listing
      SetLastError(err);
      return LastError("cannot list all of", path);
    }
    return Status::Ok();
  }

  PathKind KindOf(const std::string& path) override {
    const DWORD a = GetFileAttributesW(LongPath(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
    return (a & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::kDirectory : PathKind::kFile;
  }

  Status IdentityOf(const std::string& path, FileIdentity& id) override {
    // Backup semantics open directories too; links and junctions are followed.
    HANDLE h = CreateFileW(LongPath(path).c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError("cannot identify", path);
    const Status s = IdentityFromHandle(h, id) ? Status::Ok() : LastError("cannot identify", path);
    CloseHandle(h);
    return s;
  }

  Status StampOf(const std::string& path, FileStamp& stamp) override {
    HANDLE h = CreateFileW(LongPath(path).c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError("cannot identify", path);
    FileStamp got;
    const bool ok = StampFromHandle(h, got);
    const Status s = ok ? Status::Ok() : LastError("cannot identify", path);
    CloseHandle(h);
    if (ok) stamp = got;
    return s;
  }

  std::string JoinRelative(const std::string& dir, const std::string& relative) override {
    return dir + relative;
  }

  std::string SiblingTempPath(const std::string& path) override {
    static std::atomic<unsigned> counter{0};
    static const unsigned long seed = std::random_device{}();
    const std::size_t slash = path.find_last_of("\\/:");
    const std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    char name[96];
    std::snprintf(name, sizeof name, ".Zerith_DURAdazov-%lu-%lx-%u.tmp",
                  static_cast<unsigned long>(GetCurrentProcessId()), seed, counter.fetch_add(1));
    return folder + name;
  }

  bool ToCodePage936(std::string_view utf8, std::string& cp936) override {
    cp936.clear();
    if (utf8.empty()) return true;
    const int wn = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                       static_cast<int>(utf8.size()), nullptr, 0);
    if (wn <= 0) return false;
    std::wstring w(static_cast<std::size_t>(wn), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), wn);
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(kCodePage936, WC_NO_BEST_FIT_CHARS, w.data(), wn, nullptr, 0,
                                      nullptr, &usedDefault);
    if (n <= 0 || usedDefault) return false;
    cp936.assign(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(kCodePage936, WC_NO_BEST_FIT_CHARS, w.data(), wn, cp936.data(), n, nullptr,
                        &usedDefault);
    if (usedDefault) return false;
    // Only a name that comes back unchanged is stored.
    std::string back;
    return FromCodePage936(cp936, back) && back == utf8;
  }

  bool FromCodePage936(std::string_view cp936, std::string& utf8) override {
    utf8.clear();
    if (cp936.empty()) return true;
    const int wn = MultiByteToWideChar(kCodePage936, MB_ERR_INVALID_CHARS, cp936.data(),
                                       static_cast<int>(cp936.size()), nullptr, 0);
    if (wn <= 0) return false;
    std::wstring w(static_cast<std::size_t>(wn), L'\0');
    MultiByteToWideChar(kCodePage936, 0, cp936.data(), static_cast<int>(cp936.size()), w.data(),
                        wn);
    utf8 = Narrow(w);
    return true;
  }

  bool SameTextIgnoreCase(std::string_view a, std::string_view b) override {
    const std::wstring wa = Widen(a), wb = Widen(b);
    return CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, wa.data(),
                           static_cast<int>(wa.size()), wb.data(), static_cast<int>(wb.size()),
                           nullptr, nullptr, 0) == CSTR_EQUAL;
  }

  std::uint32_t TickCount() override { return GetTickCount(); }
};

}  // namespace

Platform& SystemPlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace pkg

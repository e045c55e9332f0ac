// Handle-relative file calls: NtCreateFile with the parent folder's handle as
// RootDirectory and FILE_OPEN_REPARSE_POINT, so that a link or junction is
// opened as itself and refused, never followed.
#include <windows.h>
// winternl.h needs windows.h first.
#include <winternl.h>

#include <vector>

#include "extract_fs.h"
#include "platform.h"
#include "win32_text.h"

namespace pkgtool {
namespace {

pkg::Status Fail(DWORD error) {
  return pkg::Status::Fail(pkg::win32::SystemErrorText(error));
}

pkg::Status FailNt(NTSTATUS status) {
  return Fail(RtlNtStatusToDosError(status));
}

bool IsNotFound(NTSTATUS status) {
  const ULONG e = RtlNtStatusToDosError(status);
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

class Win32Folder final : public Folder {
 public:
  Win32Folder(HANDLE h, pkg::FileIdentity id) : h_(h), id_(id) {}
  ~Win32Folder() override { CloseHandle(h_); }
  pkg::FileIdentity identity() const override { return id_; }
  HANDLE handle() const { return h_; }

 private:
  const HANDLE h_;
  const pkg::FileIdentity id_;
};

HANDLE HandleOf(Folder& f) {
  return static_cast<Win32Folder&>(f).handle();
}

pkg::FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// Opens name in parent; a reparse point is opened as itself.
NTSTATUS OpenAt(HANDLE parent, const std::string& name, ACCESS_MASK access, ULONG share,
                ULONG disposition, ULONG options, HANDLE& out) {
  std::wstring wide = pkg::win32::Utf8ToWide(name);
  UNICODE_STRING us;
  us.Buffer = wide.data();
  us.Length = us.MaximumLength = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES oa;
  // Names are found as the Win32 calls find them: letter case ignored.
  InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK io{};
  return NtCreateFile(&out, access | SYNCHRONIZE, &oa, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                      disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                      nullptr, 0);
}

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

// Holds h as a folder once it is seen to be one, and no reparse point.
pkg::Status HoldFolder(HANDLE h, std::unique_ptr<Folder>& out) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) {
    const DWORD e = GetLastError();
    CloseHandle(h);
    return Fail(e);
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    CloseHandle(h);
    return pkg::Status::Fail("it is a link or junction, which extraction does not follow");
  }
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    return pkg::Status::Fail("it is not a folder");
  }
  out = std::make_unique<Win32Folder>(h, IdentityOf(info));
  return pkg::Status::Ok();
}

class Win32NewFile final : public NewFile {
 public:
  Win32NewFile(HANDLE folder, HANDLE h, pkg::FileIdentity id) : folder_(folder), h_(h), id_(id) {}
  ~Win32NewFile() override {
    if (h_ == INVALID_HANDLE_VALUE) return;
    FILE_DISPOSITION_INFO gone{TRUE};
    SetFileInformationByHandle(h_, FileDispositionInfo, &gone, sizeof gone);
    CloseHandle(h_);
  }

  pkg::Status Write(const void* data, std::size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(h_, p, chunk, &written, nullptr)) return Fail(GetLastError());
      p += written;
      size -= written;
    }
    return pkg::Status::Ok();
  }

  pkg::FileIdentity identity() const override { return id_; }

  pkg::Status Sync() override {
    if (!FlushFileBuffers(h_)) return Fail(GetLastError());
    return pkg::Status::Ok();
  }

  pkg::Status Publish(const std::string& name, bool replace) override {
    // The new name is relative to the folder's handle, as the file was made.
    const std::wstring wide = pkg::win32::Utf8ToWide(name);
    std::vector<unsigned char> buf(sizeof(FILE_RENAME_INFO) + wide.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = folder_;
    info->FileNameLength = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
    std::copy(wide.begin(), wide.end(), info->FileName);
    // The native call: the Win32 one takes no RootDirectory on every system.
    IO_STATUS_BLOCK io{};
    if (const NTSTATUS st = NtSetInformationFile(h_, &io, info, static_cast<ULONG>(buf.size()),
                                                 FileRenameInformation);
        !NT_SUCCESS(st))
      return FailNt(st);
    CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return pkg::Status::Ok();
  }

 private:
  const HANDLE folder_;
  HANDLE h_;
  const pkg::FileIdentity id_;
};

class Win32ExtractFs final : public ExtractFs {
 public:
  pkg::Status OpenRoot(const std::string& path, bool create,
                       std::unique_ptr<Folder>& out) override {
    const std::wstring full = pkg::win32::LongPath(path);
    if (create) {
      // Each missing folder on the way, from the top: DEST's own path is the
      // user's to choose, links included.
      for (std::size_t at = full.find(L'\\', 4); at != std::wstring::npos;
           at = full.find(L'\\', at + 1))
        CreateDirectoryW(full.substr(0, at).c_str(), nullptr);
      if (!CreateDirectoryW(full.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return Fail(GetLastError());
    }
    const HANDLE h = ::CreateFileW(full.c_str(), kFolderAccess, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Fail(GetLastError());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      CloseHandle(h);
      return pkg::Status::Fail("it is not a folder");
    }
    out = std::make_unique<Win32Folder>(h, IdentityOf(info));
    return pkg::Status::Ok();
  }

  EntryKind KindAt(Folder& parent, const std::string& name) override {
    HANDLE h = nullptr;
    const NTSTATUS st =
        OpenAt(HandleOf(parent), name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, h);
    if (!NT_SUCCESS(st)) return IsNotFound(st) ? EntryKind::kMissing : EntryKind::kOther;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) return EntryKind::kOther;
    const DWORD a = info.dwFileAttributes;
    if (a & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) return EntryKind::kOther;
    return (a & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::kDirectory : EntryKind::kFile;
  }

  pkg::Status IdentityAt(Folder& parent, const std::string& name, pkg::FileIdentity& id) override {
    HANDLE h = nullptr;
    const NTSTATUS st =
        OpenAt(HandleOf(parent), name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, h);
    if (!NT_SUCCESS(st)) return FailNt(st);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = GetFileInformationByHandle(h, &info);
    const DWORD e = GetLastError();
    CloseHandle(h);
    if (!ok) return Fail(e);
    id = IdentityOf(info);
    return pkg::Status::Ok();
  }

  pkg::Status OpenFolder(Folder& parent, const std::string& name,
                         std::unique_ptr<Folder>& out) override {
    HANDLE h = nullptr;
    const NTSTATUS st =
        OpenAt(HandleOf(parent), name, kFolderAccess, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, h);
    if (!NT_SUCCESS(st)) return FailNt(st);
    return HoldFolder(h, out);
  }

  pkg::Status MakeFolder(Folder& parent, const std::string& name) override {
    HANDLE h = nullptr;
    const NTSTATUS st = OpenAt(HandleOf(parent), name, FILE_LIST_DIRECTORY, kShareAll, FILE_CREATE,
                               FILE_DIRECTORY_FILE, h);
    if (!NT_SUCCESS(st)) return FailNt(st);
    CloseHandle(h);
    return pkg::Status::Ok();
  }

  pkg::Status SyncFolder(Folder&) override { return pkg::Status::Ok(); }

  pkg::Status CreateTempFile(Folder& parent, std::unique_ptr<NewFile>& out) override {
    for (int attempt = 0;; ++attempt) {
      const std::string temp = pkg::SystemPlatform().SiblingTempPath("x");
      HANDLE h = nullptr;
      // No sharing: nobody else uses the file until it has its name.
      const NTSTATUS st = OpenAt(HandleOf(parent), temp.substr(temp.find_last_of("\\/") + 1),
                                 GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, FILE_CREATE,
                                 FILE_NON_DIRECTORY_FILE, h);
      if (!NT_SUCCESS(st)) {
        if (RtlNtStatusToDosError(st) == ERROR_ALREADY_EXISTS && attempt < 100) continue;
        return FailNt(st);
      }
      BY_HANDLE_FILE_INFORMATION info{};
      if (!GetFileInformationByHandle(h, &info)) {
        const DWORD e = GetLastError();
        FILE_DISPOSITION_INFO gone{TRUE};
        SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
        CloseHandle(h);
        return Fail(e);
      }
      out = std::make_unique<Win32NewFile>(HandleOf(parent), h, IdentityOf(info));
      return pkg::Status::Ok();
    }
  }

  // Handles are not scarce as POSIX descriptors are; but a file deeper than
  // this could not be named by any full path (32,767 characters at most, two
  // per level at the least), so no other program could open it.
  std::size_t MaxDepth() override { return 16000; }
};

}  // namespace

ExtractFs& SystemExtractFs() {
  static Win32ExtractFs fs;
  return fs;
}

pkg::Status FullPath(const std::string& path, std::string& full) {
  const std::wstring wide = pkg::win32::Utf8ToWide(path);
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  for (;;) {
    if (n == 0)
      return pkg::Status::Fail("cannot make a full path of '" + path +
                               "': " + pkg::win32::SystemErrorText(GetLastError()));
    std::wstring buf(n, L'\0');
    const DWORD got = GetFullPathNameW(wide.c_str(), n, buf.data(), nullptr);
    if (got < n) {
      buf.resize(got);
      full = pkg::win32::WideToUtf8(buf);
      return pkg::Status::Ok();
    }
    n = got;
  }
}

}  // namespace pkgtool

#include <windows.h>

#include "extract_fs.h"
#include "win32_text.h"

namespace pkgtool {
namespace {

pkg::Status LastError(const std::string& what) {
  return pkg::Status::Fail(what + ": " + pkg::win32::SystemErrorText(GetLastError()));
}

}  // namespace

EntryKind KindOf(const std::string& path) {
  const DWORD a = GetFileAttributesW(pkg::win32::LongPath(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return EntryKind::kMissing;
  // Symbolic links and junctions are reparse points.
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kOther;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kDirectory;
  if (a & FILE_ATTRIBUTE_DEVICE) return EntryKind::kOther;
  return EntryKind::kFile;
}

pkg::Status MakeDirectory(const std::string& path) {
  if (!CreateDirectoryW(pkg::win32::LongPath(path).c_str(), nullptr))
    return LastError("cannot create the folder '" + path + "'");
  return pkg::Status::Ok();
}

pkg::Status MoveWithoutReplacing(const std::string& from, const std::string& to) {
  if (!MoveFileExW(pkg::win32::LongPath(from).c_str(), pkg::win32::LongPath(to).c_str(),
                   MOVEFILE_WRITE_THROUGH))
    return LastError("cannot move the new file to '" + to + "'");
  return pkg::Status::Ok();
}

}  // namespace pkgtool

// What only Windows shows: sharing modes, file attributes, drive-style paths,
// the user's locale in comparisons, and paths past MAX_PATH.
#include <windows.h>

#include <gtest/gtest.h>

#include "pkg_reader.h"
#include "source_scan.h"
#include "test_support.h"
#include "win32_identity.h"

namespace {

using namespace pkgtest;

const std::vector<std::uint8_t> kKey = {0x3D, 0x91, 0xC4, 0x58, 0xE2, 0x07, 0xAF, 0x6B};

std::wstring Wide(const std::string& utf8) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

std::vector<std::string> RecordNames(const fs::path& archive) {
  const Bytes raw = ReadFile(archive);
  pkg::TMemoryStream in;
  in.Write(raw.data(), raw.size());
  pkg::PkgArchive a;
  const pkg::Status s = pkg::ReadArchive(in, kKey, a);
  EXPECT_TRUE(s.ok()) << s.message();
  std::vector<std::string> names;
  for (const auto& r : a.records) names.push_back(r.name);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Win32Platform, SourceHeldWithoutSharingFailsNamingIt) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  WriteFile(dir / "src/held.bin", "h");
  WriteFile(dir / "o.pkg", "older archive");
  HANDLE h = CreateFileW((dir / "src/held.bin").wstring().c_str(), GENERIC_READ, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const JobRun run = RunJob({(dir / "src").string(), (dir / "o.pkg").string(), true, 1, kKey, {}});
  CloseHandle(h);
  EXPECT_EQ(run.notification.lParam, pkg::NOTIFY_FAILED);
  EXPECT_EQ(run.notification.wParam, pkg::FAIL_OPEN_SOURCE);
  EXPECT_EQ(pkg::FailedSourceFile, (dir / "src").string() + "\\held.bin");
  EXPECT_EQ(ReadFile(dir / "o.pkg"), ToBytes("older archive"));
  EXPECT_EQ(ListNames(dir.path()), (std::vector<std::string>{"o.pkg", "src"}));
}

TEST(Win32Platform, SourceOpenForWritingElsewhereIsStillRead) {
  TempDir dir;
  WriteFile(dir / "src/log.txt", "being written");
  // Another program writing the file while letting others read and write.
  HANDLE h = CreateFileW((dir / "src/log.txt").wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const JobRun run = RunJob({(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kKey, {}});
  CloseHandle(h);
  EXPECT_EQ(run.notification.lParam, pkg::NOTIFY_FINISHED);
}

TEST(Win32Platform, NobodyElseOpensTheArchiveWhileTheJobHoldsIt) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  WriteFile(dir / "src/b.txt", "b");
  int refused = 0, tried = 0;
  pkg::QueueHost host([&](const std::string& t) {
    if (t.rfind("(3/5)", 0) != 0) return;
    // The job waits while its text is shown: its temporary archive is open.
    for (const auto& name : ListNames(dir.path())) {
      if (name.find(".tmp") == std::string::npos) continue;
      ++tried;
      HANDLE h = CreateFileW((dir.path() / name).wstring().c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) ++refused;
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  });
  auto job = MakeJob(host, {(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kKey, {}});
  ASSERT_TRUE(job->Start().ok());
  EXPECT_EQ(host.RunUntilNotified().lParam, pkg::NOTIFY_FINISHED);
  EXPECT_EQ(tried, 2);
  EXPECT_EQ(refused, 2);
}

// The user keeps a read-only archive as it is: the job cannot create its
// replacement, and the file stays, attribute and bytes.
TEST(Win32Platform, ReadOnlyArchiveIsNotReplaced) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  WriteFile(dir / "o.pkg", "older");
  const std::wstring archive = (dir / "o.pkg").wstring();
  ASSERT_TRUE(SetFileAttributesW(archive.c_str(), FILE_ATTRIBUTE_READONLY));
  const JobRun run = RunJob({(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kKey, {}});
  EXPECT_EQ(run.notification.wParam, pkg::FAIL_CREATE_PKG);
  EXPECT_NE(pkg::FailureDetail.find("o.pkg"), std::string::npos) << pkg::FailureDetail;
  EXPECT_EQ(ReadFile(dir / "o.pkg"), ToBytes("older"));
  EXPECT_TRUE(GetFileAttributesW(archive.c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
  SetFileAttributesW(archive.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Every identity comes from one place: the path's, the open file's and the
// stamps' agree for one file, whatever path leads to it, and differ for two.
TEST(Win32Platform, IdentityIsOneForEveryPathToAFileAndTwoForTwoFiles) {
  pkg::Platform& p = pkg::SystemPlatform();
  TempDir dir;
  WriteFile(dir / "sub/a.txt", "a");
  WriteFile(dir / "sub/b.txt", "b");
  const std::string a = U8(dir / "sub/a.txt");
  const bool linked = CreateHardLinkW((dir / "link.txt").wstring().c_str(),
                                      (dir / "sub/a.txt").wstring().c_str(), nullptr);
  std::vector<std::string> toA = {a, U8(dir.path()) + "\\sub\\..\\sub\\a.txt",
                                  U8(dir.path()) + "/sub/a.txt"};
  if (linked) toA.push_back(U8(dir / "link.txt"));

  pkg::FileIdentity id, other;
  ASSERT_TRUE(p.IdentityOf(a, id).ok());
  ASSERT_TRUE(p.IdentityOf(U8(dir / "sub/b.txt"), other).ok());
  EXPECT_NE(id, other);
  for (const std::string& path : toA) {
    SCOPED_TRACE(path);
    pkg::FileIdentity byPath, open;
    pkg::FileStamp stampByPath, openStamp;
    ASSERT_TRUE(p.IdentityOf(path, byPath).ok());
    ASSERT_TRUE(p.StampOf(path, stampByPath).ok());
    std::unique_ptr<pkg::PlatformFile> f;
    ASSERT_TRUE(p.OpenForReading(path, f).ok());
    ASSERT_TRUE(f->Identity(open).ok());
    ASSERT_TRUE(f->Stamp(openStamp).ok());
    EXPECT_EQ(byPath, id);
    EXPECT_EQ(open, id);
    EXPECT_EQ(stampByPath.id, id);
    EXPECT_EQ(openStamp, stampByPath);
  }
  // A folder too, as the scan asks for it.
  pkg::FileIdentity folder, again;
  ASSERT_TRUE(p.IdentityOf(U8(dir / "sub"), folder).ok());
  ASSERT_TRUE(p.IdentityOf(U8(dir / "sub") + "\\", again).ok());
  EXPECT_EQ(folder, again);
  EXPECT_NE(folder, id);
}

// ReFS gives 128-bit file IDs whose low 64 bits may repeat: two such files
// must stay two, while an NTFS-style ID (high half zero) keeps the 64-bit
// file index as it was.
TEST(Win32Platform, FileIdsEqualInTheirLow64BitsAreDifferentIdentities) {
  std::uint8_t first[16] = {0x21, 0x43, 0x65, 0x87, 0, 0, 0, 0, 1};
  std::uint8_t second[16] = {0x21, 0x43, 0x65, 0x87, 0, 0, 0, 0, 2};
  std::uint8_t ntfs[16] = {0x21, 0x43, 0x65, 0x87};
  const pkg::FileIdentity a = pkg::win32::IdentityFromFileId(9, first);
  const pkg::FileIdentity b = pkg::win32::IdentityFromFileId(9, second);
  EXPECT_NE(a, b);
  EXPECT_EQ(a, pkg::win32::IdentityFromFileId(9, first));
  EXPECT_NE(a, pkg::win32::IdentityFromFileId(10, first));
  EXPECT_EQ(pkg::win32::IdentityFromFileId(9, ntfs), (pkg::FileIdentity{9, 0x87654321u, 0}));
}

TEST(Win32Platform, HiddenAndSystemEntriesAreListed) {
  TempDir dir;
  WriteFile(dir / "src/plain.txt", "p");
  WriteFile(dir / "src/hidden.txt", "h");
  WriteFile(dir / "src/system.txt", "s");
  WriteFile(dir / "src/secret/inside.txt", "i");
  ASSERT_TRUE(
      SetFileAttributesW((dir / "src/hidden.txt").wstring().c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesW((dir / "src/system.txt").wstring().c_str(),
                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(
      SetFileAttributesW((dir / "src/secret").wstring().c_str(),
                         FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  ASSERT_EQ(RunJob({(dir / "src").string(), (dir / "o.pkg").string(), false, 1, kKey, {}})
                .notification.lParam,
            pkg::NOTIFY_FINISHED);
  EXPECT_EQ(RecordNames(dir / "o.pkg"),
            (std::vector<std::string>{"\\hidden.txt", "\\plain.txt", "\\secret\\inside.txt",
                                      "\\system.txt"}));
  SetFileAttributesW((dir / "src/system.txt").wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(Win32Platform, TrailingBackslashSourceGivesSingleBackslashNames) {
  TempDir dir;
  WriteFile(dir / "src/a.txt", "a");
  WriteFile(dir / "src/sub/b.txt", "b");
  const std::string source = (dir / "src").string() + "\\";
  std::vector<pkg::SourceFile> files;
  ASSERT_TRUE(pkg::BuildFileList(pkg::SystemPlatform(), source, files).status.ok());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].relative, "\\a.txt");
  EXPECT_EQ(files[1].relative, "\\sub\\b.txt");
  // The doubled backslash of the full path is accepted like a single one.
  ASSERT_EQ(RunJob({source, (dir / "o.pkg").string(), true, 1, kKey, {}}).notification.lParam,
            pkg::NOTIFY_FINISHED);
  EXPECT_EQ(RecordNames(dir / "o.pkg"), (std::vector<std::string>{"\\a.txt", "\\sub\\b.txt"}));
}

TEST(Win32Platform, ExclusionsIgnoreLetterCaseInTheUsersLocale) {
  struct Case {
    const char* entry;
    const char* name;
    bool matches;
  } cases[] = {
      {"\\DATA\\A.BIN", "\\data\\a.bin", true}, {"\\Ä\\É.TXT", "\\ä\\é.txt", true},
      {"\\données.txt", "\\DONNÉES.TXT", true}, {"\\a.bin", "\\b.bin", false},
      {"\\数据.bin", "\\数据.BIN", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    EXPECT_EQ(pkg::SystemPlatform().SameTextIgnoreCase(c.entry, c.name), c.matches);
  }
}

TEST(Win32Platform, DirectoryLinkToAnAncestorIsListedOnce) {
  TempDir dir;
  WriteFile(dir / "src/a/f.txt", "f");
  const std::wstring link = (dir / "src/a/loop").wstring();
  if (!CreateSymbolicLinkW(link.c_str(), (dir / "src").wstring().c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2 /* unprivileged create */))
    GTEST_SKIP() << "this system does not create directory links (error " << GetLastError() << ")";
  std::vector<pkg::SourceFile> files;
  ASSERT_TRUE(pkg::BuildFileList(pkg::SystemPlatform(), (dir / "src").string(), files).status.ok());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].relative, "\\a\\f.txt");
  RemoveDirectoryW(link.c_str());
}

TEST(Win32Platform, PathsLongerThanMaxPathPack) {
  TempDir dir;
  // Build a folder chain of about 330 characters with the long-path prefix,
  // since the runtime's own folder calls stop at MAX_PATH.
  std::wstring deep = L"\\\\?\\" + dir.path().wstring() + L"\\src";
  CreateDirectoryW(deep.c_str(), nullptr);
  std::string rel;
  for (int i = 0; i < 6; ++i) {
    const std::string part = "level" + std::to_string(i) + std::string(45, 'x');
    deep += L"\\" + Wide(part);
    rel += "\\" + part;
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  const std::wstring file = deep + L"\\deep.txt";
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  WriteFile(h, "deep", 4, &n, nullptr);
  CloseHandle(h);
  ASSERT_GT(file.size(), 300u);

  const std::string out = (dir / "o.pkg").string();
  ASSERT_EQ(RunJob({(dir / "src").string(), out, true, 1, kKey, {}}).notification.lParam,
            pkg::NOTIFY_FINISHED);
  EXPECT_EQ(RecordNames(dir / "o.pkg"), (std::vector<std::string>{rel + "\\deep.txt"}));

  // TempDir's clean-up cannot reach that deep either.
  std::wstring p = deep;
  DeleteFileW(file.c_str());
  while (p.size() > dir.path().wstring().size() + 4) {
    RemoveDirectoryW(p.c_str());
    p.resize(p.rfind(L'\\'));
  }
}

}  // namespace

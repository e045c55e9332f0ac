// Platform calls the packer's fast paths rest on, on every system: the copy
// between two open files and the stamp that shows a file changed.
#include "platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "test_support.h"
#include "utf8.h"

namespace {

using namespace pkgtest;

TEST(PlatformCopyData, CopiesAtMostCountFromBothPositionsOnAndEndsWithZero) {
  pkg::Platform& p = pkg::SystemPlatform();
  TempDir dir;
  const Bytes content = Deterministic(200000, 3, false);
  WriteFile(dir / "src", content);
  std::unique_ptr<pkg::PlatformFile> from, to;
  ASSERT_TRUE(p.OpenForReading(U8(dir / "src"), from).ok());
  ASSERT_TRUE(p.CreateNewFile(U8(dir / "dst"), to).ok());
  // Both files start part-way in.
  ASSERT_TRUE(from->Seek(1000).ok());
  ASSERT_TRUE(to->Write("prefix", 6).ok());
  Bytes scratch(4096);
  std::size_t total = 0, copied = 0;
  do {
    ASSERT_TRUE(p.CopyData(*from, *to, 65536, scratch, copied).ok());
    EXPECT_LE(copied, 65536u);
    total += copied;
  } while (copied > 0);
  EXPECT_EQ(total, content.size() - 1000);
  ASSERT_TRUE(to->Write("!", 1).ok());
  ASSERT_TRUE(to->Close().ok());
  Bytes expected = ToBytes("prefix");
  expected.insert(expected.end(), content.begin() + 1000, content.end());
  expected.push_back('!');
  EXPECT_EQ(ReadFile(dir / "dst"), expected);
}

// fdatasync on POSIX, FlushFileBuffers on Windows: a file being written
// flushes and keeps its bytes and position; a released one cannot. The folder
// holding a file flushes on POSIX; on Windows the move is written through.
TEST(PlatformSync, FlushesAnOpenFileAndItsFolderAndFailsOnAReleasedFile) {
  pkg::Platform& p = pkg::SystemPlatform();
  TempDir dir;
  std::unique_ptr<pkg::PlatformFile> f;
  ASSERT_TRUE(p.CreateNewFile(U8(dir / "new"), f).ok());
  ASSERT_TRUE(f->Write("abc", 3).ok());
  const pkg::Status synced = f->Sync();
  EXPECT_TRUE(synced.ok()) << synced.message();
  ASSERT_TRUE(f->Write("d", 1).ok());
  ASSERT_TRUE(f->Close().ok());
  EXPECT_EQ(ReadFile(dir / "new"), ToBytes("abcd"));

  const pkg::Status released = f->Sync();
  EXPECT_FALSE(released.ok());

  const pkg::Status folder = p.SyncFolderOf(U8(dir / "new"));
  EXPECT_TRUE(folder.ok()) << folder.message();
#ifndef _WIN32
  const std::string missing = U8(dir / "gone/new");
  const pkg::Status s = p.SyncFolderOf(missing);
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.message().find(U8(dir / "gone")), std::string::npos) << s.message();
#endif
}

TEST(PlatformStamp, ChangesWithEveryChangeOfTheFileAndOnlyThen) {
  pkg::Platform& p = pkg::SystemPlatform();
  TempDir dir;
  const fs::path f = dir / "f";
  auto stamp = [&] {
    pkg::FileStamp s;
    EXPECT_TRUE(p.StampOf(U8(f), s).ok());
    return s;
  };
  struct Case {
    const char* what;
    std::function<void()> change;
    bool changes;
  };
  const Case cases[] = {
      {"read", [&] { (void)ReadFile(f); }, false},
      {"appended to", [&] { WriteFile(f, "content, longer"); }, true},
      {"rewritten, same size", [&] { WriteFile(f, "CONTENT, LONGER"); }, true},
      {"replaced",
       [&] {
         WriteFile(dir / "g", "CONTENT, LONGER");
         fs::rename(dir / "g", f);
       },
       true},
  };
  WriteFile(f, "content");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const pkg::FileStamp before = stamp();
    // Past the coarsest clock a file system may keep change times with.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    c.change();
    EXPECT_EQ(stamp() != before, c.changes);
  }
  pkg::FileStamp s;
  EXPECT_FALSE(p.StampOf(U8(dir / "missing"), s).ok());
}

// Code page 936 reads and writes alike on Linux and Windows: the codes that
// Windows maps to the private use area (the user-defined areas and the free
// codes of the symbol rows) map there on both, every other byte sequence as
// before. The expected values are what Windows gives.
TEST(PlatformCodePage936, PrivateUseCodesMapAsWindowsMapsThem) {
  pkg::Platform& p = pkg::SystemPlatform();
  auto utf8Of = [](char32_t c) {
    std::string s;
    pkg::EncodeUtf8(c, s);
    return s;
  };
  const struct {
    const char* bytes;
    char32_t c;
  } kCodes[] = {
      {"\xAA\xA1", 0xE000}, {"\xAF\xFE", 0xE233}, {"\xF8\xA1", 0xE234}, {"\xFE\xFE", 0xE4C5},
      {"\xA1\x40", 0xE4C6}, {"\xA1\x7E", 0xE504}, {"\xA1\x80", 0xE505}, {"\xA1\xA0", 0xE525},
      {"\xA7\xA0", 0xE765}, {"\xA2\xAB", 0xE766}, {"\xA6\xF3", 0xE796}, {"\xA8\xBF", 0xE7C8},
      {"\xD7\xFA", 0xE810}, {"\xFE\x50", 0xE815}, {"\xFE\x7E", 0xE843}, {"\xFE\x80", 0xE844},
      {"\xFE\xA0", 0xE864},
  };
  for (const auto& k : kCodes) {
    SCOPED_TRACE(k.bytes);
    // Also between other characters, so that the conversions around it hold.
    const std::string bytes = std::string("a\xCA\xFD") + k.bytes + "\x80";
    const std::string text = "a\xE6\x95\xB0" + utf8Of(k.c) + "\xE2\x82\xAC";  // a数…€
    std::string utf8, back;
    ASSERT_TRUE(p.FromCodePage936(bytes, utf8));
    EXPECT_EQ(utf8, text);
    ASSERT_TRUE(p.ToCodePage936(text, back));
    EXPECT_EQ(back, bytes);
  }
  // Every character of the range comes back as the two bytes it went out as.
  std::set<std::string> seen;
  for (char32_t c = 0xE000; c <= 0xE864; ++c) {
    std::string bytes, utf8;
    ASSERT_TRUE(p.ToCodePage936(utf8Of(c), bytes)) << std::hex << static_cast<unsigned>(c);
    ASSERT_EQ(bytes.size(), 2u) << std::hex << static_cast<unsigned>(c);
    ASSERT_TRUE(p.FromCodePage936(bytes, utf8)) << std::hex << static_cast<unsigned>(c);
    ASSERT_EQ(utf8, utf8Of(c));
    ASSERT_TRUE(seen.insert(bytes).second) << std::hex << static_cast<unsigned>(c);
  }
  // What neither system takes.
  std::string out;
  for (const char* bad : {"\xFF", "\xAA", "a\xAA", "\xAA\x30", "\xFE\x7F", "\x81\x20"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(p.FromCodePage936(bad, out));
  }
  for (const unsigned c : {0xE865u, 0xF8F5u, 0xF8FFu}) {
    SCOPED_TRACE(c);
    EXPECT_FALSE(p.ToCodePage936(utf8Of(static_cast<char32_t>(c)), out));
  }
}

}  // namespace

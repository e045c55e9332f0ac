// Platform calls the packer's fast paths rest on, on every system: the copy
// between two open files and the stamp that shows a file changed.
#include "platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "test_support.h"

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

}  // namespace

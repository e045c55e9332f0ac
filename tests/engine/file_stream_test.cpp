// The archive's write path: the buffered stream in front of the file, and
// appending another file's bytes by copy or by reading into the buffer.
#include "file_stream.h"

#include <gtest/gtest.h>

#include <numeric>

#include "forwarding_platform.h"
#include "test_support.h"

namespace {

using namespace pkgtest;

std::unique_ptr<pkg::TPlatformFileStream> NewFile(const fs::path& p,
                                                  const std::atomic<bool>* stop = nullptr) {
  std::unique_ptr<pkg::PlatformFile> f;
  EXPECT_TRUE(pkg::SystemPlatform().CreateNewFile(U8(p), f).ok());
  return std::make_unique<pkg::TPlatformFileStream>(std::move(f), stop);
}

std::unique_ptr<pkg::PlatformFile> OpenRead(const fs::path& p) {
  std::unique_ptr<pkg::PlatformFile> f;
  EXPECT_TRUE(pkg::SystemPlatform().OpenForReading(U8(p), f).ok());
  return f;
}

// Pieces of each size in turn, against a 1000-byte buffer: smaller than its
// room, exactly filling it, half of it and more, larger than it.
TEST(BufferedWriteStream, GathersWritesAndKeepsPositionsExact) {
  const std::vector<std::vector<std::size_t>> sequences = {
      {1, 2, 3}, {1000}, {999, 1}, {600, 600}, {499, 501, 10}, {2500, 3}, {0, 7, 0, 1200, 400}};
  for (const auto& sizes : sequences) {
    SCOPED_TRACE(::testing::PrintToString(sizes));
    TempDir dir;
    auto file = NewFile(dir / "out");
    pkg::TBufferedWriteStream out(*file, 1000);
    Bytes expected;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      const Bytes piece = Deterministic(sizes[i], static_cast<std::uint32_t>(i), false);
      out.Write(piece.data(), piece.size());
      expected.insert(expected.end(), piece.begin(), piece.end());
      EXPECT_EQ(out.Position(), static_cast<std::int64_t>(expected.size()));
    }
    out.Flush();
    ASSERT_TRUE(file->Close().ok());  // Windows lets nobody else read it while open
    EXPECT_EQ(ReadFile(dir / "out"), expected);
  }
}

TEST(BufferedWriteStream, SeekingElsewhereFlushesFirstAndUnflushedBytesAreDropped) {
  TempDir dir;
  auto file = NewFile(dir / "out");
  {
    pkg::TBufferedWriteStream out(*file, 64);
    out.Write("header--body", 12);
    out.SetPosition(12);  // where it is: nothing moves
    EXPECT_EQ(fs::file_size(dir / "out"), 0u);
    out.SetPosition(6);
    EXPECT_EQ(fs::file_size(dir / "out"), 12u);
    out.Write("::", 2);
    out.Flush();
    out.SetPosition(12);
    out.Write("never written", 13);
  }
  ASSERT_TRUE(file->Close().ok());
  EXPECT_EQ(ReadFile(dir / "out"), ToBytes("header::body"));
}

// The stop flag is looked at when bytes would reach the file: an abort
// leaves the file as it was, buffered bytes and all.
TEST(BufferedWriteStream, NothingReachesTheFileOnceStopped) {
  TempDir dir;
  std::atomic<bool> stop{false};
  auto file = NewFile(dir / "out", &stop);
  WriteFile(dir / "src", Deterministic(5000, 1, true));
  pkg::TBufferedWriteStream out(*file, 100);
  out.Write("kept", 4);
  out.Flush();
  out.Write("buffered", 8);
  stop = true;
  EXPECT_THROW(out.Flush(), pkg::EJobAborted);
  EXPECT_THROW(out.Write(Bytes(500).data(), 500), pkg::EJobAborted);
  auto src = OpenRead(dir / "src");
  Bytes scratch(64);
  EXPECT_THROW(out.CopyFrom(pkg::SystemPlatform(), *src, 5000, scratch), pkg::EJobAborted);
  ASSERT_TRUE(file->Close().ok());
  EXPECT_EQ(ReadFile(dir / "out"), ToBytes("kept"));
}

// Platform files that pass everything on, so that the system's own copy
// cannot be used and the portable one is.
class WrappedFiles : public ForwardingPlatform {
 public:
  class File : public pkg::PlatformFile {
   public:
    explicit File(std::unique_ptr<pkg::PlatformFile> f) : f_(std::move(f)) {}
    pkg::Status Read(void* b, std::size_t n, std::size_t& got) override {
      return f_->Read(b, n, got);
    }
    pkg::Status Write(const void* b, std::size_t n) override { return f_->Write(b, n); }
    pkg::Status Seek(std::uint64_t p) override { return f_->Seek(p); }
    pkg::Status Size(std::uint64_t& s) override { return f_->Size(s); }
    pkg::Status Identity(pkg::FileIdentity& id) override { return f_->Identity(id); }
    pkg::Status Stamp(pkg::FileStamp& st) override { return f_->Stamp(st); }
    pkg::Status Sync() override { return f_->Sync(); }
    pkg::Status Close() override { return f_->Close(); }

   private:
    std::unique_ptr<pkg::PlatformFile> f_;
  };
  pkg::Status OpenForReading(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    pkg::Status s = inner_.OpenForReading(p, f);
    if (s.ok()) f = std::make_unique<File>(std::move(f));
    return s;
  }
};

// After some buffered bytes, a file is appended in pieces of at most count
// bytes, by the system's copy or by reading into the buffer; the next write
// follows it.
TEST(BufferedWriteStream, AppendsAFileByCopyOrByReading) {
  const Bytes content = Deterministic(300000, 7, false);
  for (const bool wrapped : {false, true}) {
    for (const bool reading : {false, true}) {
      for (const std::size_t count : {std::size_t{1} << 20, std::size_t{70000}}) {
        SCOPED_TRACE(std::string(wrapped ? "wrapped" : "system") +
                     (reading ? ", reading" : ", copying") + ", pieces of " +
                     std::to_string(count));
        TempDir dir;
        WriteFile(dir / "src", content);
        WrappedFiles wrapper;
        pkg::Platform& platform =
            wrapped ? static_cast<pkg::Platform&>(wrapper) : pkg::SystemPlatform();
        std::unique_ptr<pkg::PlatformFile> src;
        ASSERT_TRUE(platform.OpenForReading(U8(dir / "src"), src).ok());
        auto file = NewFile(dir / "out");
        pkg::TBufferedWriteStream out(*file, 4096);
        out.Write("head", 4);
        Bytes scratch(50000);
        std::uint64_t total = 0;
        for (;;) {
          const std::size_t got =
              reading ? out.ReadFrom(*src, count) : out.CopyFrom(platform, *src, count, scratch);
          ASSERT_LE(got, count);
          if (got == 0) break;
          total += got;
          EXPECT_EQ(out.Position(), static_cast<std::int64_t>(4 + total));
        }
        out.Write("tail", 4);
        out.Flush();
        ASSERT_TRUE(file->Close().ok());
        Bytes expected = ToBytes("head");
        expected.insert(expected.end(), content.begin(), content.end());
        expected.insert(expected.end(), {'t', 'a', 'i', 'l'});
        EXPECT_EQ(ReadFile(dir / "out"), expected);
      }
    }
  }
}

}  // namespace

// The archive's way to the disk: read back, flushed, and only then moved over
// the older archive, whose folder is flushed after; a disk that lost or altered
// a write fails the job and keeps the older archive.
#include "output_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "forwarding_platform.h"
#include "pkg_format.h"
#include "pkg_reader.h"
#include "test_support.h"

namespace {

using namespace pkgtest;

const Bytes kOlder = ToBytes("the older archive");

std::map<std::string, Bytes> Tree() {
  return {{"a.txt", ToBytes("alpha alpha alpha")},
          {"empty", {}},
          {"sub/b.bin", Deterministic(300000, 5, false)},
          {"sub/c.txt", Deterministic(90000, 6, true)}};
}

struct Folder {
  TempDir dir;
  JobSettings settings;
  explicit Folder(bool older = true) {
    for (const auto& [rel, content] : Tree()) WriteFile(dir / ("src/" + rel), content);
    fs::create_directories(dir / "out");
    if (older) WriteFile(dir / "out/o.pkg", kOlder);
    settings.source = U8(dir / "src");
    settings.output = U8(dir / "out/o.pkg");
  }
  std::string out() const { return settings.output; }
};

// Records what the job does to its files, in order: the archive's
// temporary file ("temp"), the output path ("out").
class Recorder : public ForwardingPlatform {
 public:
  explicit Recorder(std::string out) : out_(std::move(out)) {}

  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(m_);
    return log_;
  }

  pkg::Status CreateNewFile(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    pkg::Status s = inner_.CreateNewFile(p, f);
    if (s.ok()) f = std::make_unique<File>(std::move(f), *this, Label(p));
    return s;
  }
  pkg::Status MoveFileOver(const std::string& a, const std::string& b) override {
    Add("move " + Label(a) + " over " + Label(b));
    return inner_.MoveFileOver(a, b);
  }
  pkg::Status SyncFolderOf(const std::string& p) override {
    Add("sync the folder of " + Label(p));
    return inner_.SyncFolderOf(p);
  }

 private:
  class File : public ForwardingFile {
   public:
    File(std::unique_ptr<pkg::PlatformFile> f, Recorder& r, std::string name)
        : ForwardingFile(std::move(f)), r_(r), name_(std::move(name)) {}
    pkg::Status Read(void* b, std::size_t n, std::size_t& got) override {
      r_.Add("read " + name_);
      return inner_->Read(b, n, got);
    }
    pkg::Status Write(const void* b, std::size_t n) override {
      r_.Add("write " + name_);
      return inner_->Write(b, n);
    }
    pkg::Status Sync() override {
      r_.Add("sync " + name_);
      return inner_->Sync();
    }
    pkg::Status Close() override {
      r_.Add("close " + name_);
      return inner_->Close();
    }

   private:
    Recorder& r_;
    std::string name_;
  };

  std::string Label(const std::string& p) const { return p == out_ ? "out" : "temp"; }
  void Add(std::string e) {
    std::lock_guard<std::mutex> lock(m_);
    log_.push_back(std::move(e));
  }

  std::string out_;
  std::mutex m_;
  std::vector<std::string> log_;
};

std::ptrdiff_t First(const std::vector<std::string>& log, const std::string& e) {
  const auto it = std::find(log.begin(), log.end(), e);
  return it == log.end() ? -1 : it - log.begin();
}
std::ptrdiff_t Last(const std::vector<std::string>& log, const std::string& e) {
  const auto it = std::find(log.rbegin(), log.rend(), e);
  return it == log.rend() ? -1 : log.rend() - it - 1;
}

TEST(OutputFile, ReadsBackAndFlushesTheDataBeforeTheMoveAndTheFolderAfter) {
  for (const bool older : {true, false}) {
    for (const bool sync : {true, false}) {
      for (const unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(std::string(older ? "older archive" : "no older archive") +
                     (sync ? ", synced" : ", --no-sync") + ", threads " + std::to_string(threads));
        Folder f(older);
        f.settings.sync = sync;
        f.settings.threads = threads;
        Recorder r(f.out());
        ASSERT_EQ(RunJob(f.settings, r).notification.lParam, pkg::NOTIFY_FINISHED)
            << pkg::FailureDetail;
        const auto log = r.Log();
        const auto lastWrite = Last(log, "write temp");
        const auto readBack = Last(log, "read temp");
        const auto flush = First(log, "sync temp");
        const auto close = Last(log, "close temp");
        const auto move = First(log, "move temp over out");
        const auto folder = First(log, "sync the folder of out");
        ASSERT_GE(lastWrite, 0);
        EXPECT_GT(readBack, lastWrite) << "the header and trailer are read back";
        EXPECT_GT(move, close);
        EXPECT_GT(close, readBack);
        if (sync) {
          EXPECT_GT(flush, readBack);
          EXPECT_LT(flush, close) << "flushed while open, before the move";
          EXPECT_EQ(Last(log, "sync temp"), flush) << "once";
          EXPECT_GT(folder, move) << "the folder after the move";
          EXPECT_EQ(Last(log, "sync the folder of out"), folder) << "once";
        } else {
          EXPECT_EQ(flush, -1) << "--no-sync takes no flush";
          EXPECT_EQ(folder, -1);
        }
        EXPECT_EQ(log.back(), sync ? "sync the folder of out" : "move temp over out");
        EXPECT_EQ(ListNames(f.dir / "out"), (std::vector<std::string>{"o.pkg"}));
      }
    }
  }
}

// A disk that loses or alters a write of the temporary archive, as the job
// patches the trailer offset into the header (the last write): every byte
// is damaged only after it was written.
class LosingDisk : public ForwardingPlatform {
 public:
  enum class Kind { kDropPatch, kZero, kFlip, kFailRead };
  enum class Base { kFileStart, kTrailer, kEnd };
  struct Damage {
    Kind kind;
    Base base = Base::kFileStart;
    std::int64_t at = 0;
    std::size_t length = 1;
  };
  LosingDisk(std::string out, Damage d) : out_(std::move(out)), d_(d) {}

  pkg::Status CreateNewFile(const std::string& p, std::unique_ptr<pkg::PlatformFile>& f) override {
    pkg::Status s = inner_.CreateNewFile(p, f);
    if (s.ok() && p != out_) f = std::make_unique<File>(std::move(f), d_);
    return s;
  }

 private:
  class File : public ForwardingFile {
   public:
    File(std::unique_ptr<pkg::PlatformFile> f, Damage d) : ForwardingFile(std::move(f)), d_(d) {}
    pkg::Status Read(void* b, std::size_t n, std::size_t& got) override {
      got = 0;
      if (patched_ && d_.kind == Kind::kFailRead)
        return pkg::Status::Fail("injected read failure of the archive");
      pkg::Status s = inner_->Read(b, n, got);
      pos_ += got;
      return s;
    }
    pkg::Status Seek(std::uint64_t p) override {
      pos_ = p;
      return inner_->Seek(p);
    }
    pkg::Status Write(const void* b, std::size_t n) override {
      const auto* bytes = static_cast<const std::uint8_t*>(b);
      const bool patch = pos_ == pkg::kHeaderTrailerOffsetOffset && n == 4 && shadow_.size() > 24;
      if (shadow_.size() < pos_ + n) shadow_.resize(pos_ + n);
      std::copy(bytes, bytes + n, shadow_.begin() + static_cast<std::ptrdiff_t>(pos_));
      if (!patch) {
        pos_ += n;
        return inner_->Write(b, n);
      }
      patched_ = true;
      const std::uint64_t after = pos_ + n;
      if (d_.kind == Kind::kDropPatch) {
        pos_ = after;
        return inner_->Seek(after);  // the write is lost, the caller told it went
      }
      if (pkg::Status s = inner_->Write(b, n); !s.ok()) return s;
      if (d_.kind == Kind::kZero || d_.kind == Kind::kFlip) {
        const std::int64_t base = d_.base == Base::kFileStart ? 0
                                  : d_.base == Base::kTrailer
                                      ? static_cast<std::int64_t>(pkg::GetU32LE(bytes))
                                      : static_cast<std::int64_t>(shadow_.size());
        const auto at = static_cast<std::size_t>(base + d_.at);
        Bytes damaged(shadow_.begin() + static_cast<std::ptrdiff_t>(at),
                      shadow_.begin() + static_cast<std::ptrdiff_t>(at + d_.length));
        for (auto& x : damaged) x = d_.kind == Kind::kZero ? 0 : static_cast<std::uint8_t>(~x);
        if (pkg::Status s = inner_->Seek(at); !s.ok()) return s;
        if (pkg::Status s = inner_->Write(damaged.data(), damaged.size()); !s.ok()) return s;
      }
      pos_ = after;
      return inner_->Seek(after);
    }

   private:
    Damage d_;
    Bytes shadow_;  // what the job wrote
    std::uint64_t pos_ = 0;
    bool patched_ = false;
  };

  std::string out_;
  Damage d_;
};

using Kind = LosingDisk::Kind;
using Base = LosingDisk::Base;

TEST(OutputFile, AWriteLostOrAlteredFailsTheJobAndKeepsTheOlderArchive) {
  struct Case {
    const char* what;
    LosingDisk::Damage damage;
    const char* detail;  // in the failure's detail
  };
  // clang-format off
  const Case cases[] = {
    {"the trailer offset never written", {Kind::kDropPatch},                      "byte 16, in the header's trailer offset"},
    {"the magic altered",                {Kind::kFlip, Base::kFileStart, 0},       "byte 0, in the header's magic"},
    {"the type lost",                    {Kind::kZero, Base::kFileStart, 8},       "the header's archive type"},
    {"the constant altered",             {Kind::kFlip, Base::kFileStart, 22},      "byte 22, in the header's constant"},
    {"the index size lost",              {Kind::kZero, Base::kTrailer, 0, 4},      "the trailer's index size"},
    {"the digest lost",                  {Kind::kZero, Base::kTrailer, 4, 32},     "the trailer's digest"},
    {"the index's first byte altered",   {Kind::kFlip, Base::kTrailer, 36},        "the scrambled index"},
    {"the index's last byte altered",    {Kind::kFlip, Base::kEnd, -1},            "the scrambled index"},
    {"the read-back failing",            {Kind::kFailRead},                        "injected read failure of the archive"},
  };
  // clang-format on
  for (const Case& c : cases) {
    for (const bool compress : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (compress ? ", compressed" : ", stored"));
      Folder f;
      f.settings.compress = compress;
      LosingDisk disk(f.out(), c.damage);
      const pkg::PackNotification n = RunJob(f.settings, disk).notification;
      EXPECT_EQ(n.lParam, pkg::NOTIFY_FAILED);
      EXPECT_EQ(n.wParam, pkg::FAIL_WRITE_PKG);
      EXPECT_NE(pkg::FailureDetail.find(c.detail), std::string::npos) << pkg::FailureDetail;
      EXPECT_EQ(ReadFile(f.dir / "out/o.pkg"), kOlder);
      EXPECT_EQ(ListNames(f.dir / "out"), (std::vector<std::string>{"o.pkg"}));
    }
  }
}

// With FVerifyStored every file's stored bytes are read back, inflated when
// compressed, and compared with the source: damage to a file's data, which
// the header and trailer do not show, fails the job.
TEST(OutputFile, VerifyCatchesADamagedStoredStreamThatTheTrailerDoesNotShow) {
  struct Case {
    const char* what;
    LosingDisk::Damage damage;
  };
  // clang-format off
  const Case cases[] = {
    {"a byte of the first file altered", {Kind::kFlip, Base::kFileStart, 30}},
    {"bytes of the first file lost",     {Kind::kZero, Base::kFileStart, 26, 8}},
    {"the last file's end altered",      {Kind::kFlip, Base::kTrailer, -1}},
  };
  // clang-format on
  for (const Case& c : cases) {
    for (const bool compress : {false, true}) {
      for (const bool verify : {true, false}) {
        SCOPED_TRACE(std::string(c.what) + (compress ? ", compressed" : ", stored") +
                     (verify ? ", verified" : ", not verified"));
        Folder f;
        f.settings.compress = compress;
        f.settings.verify = verify;
        LosingDisk disk(f.out(), c.damage);
        const pkg::PackNotification n = RunJob(f.settings, disk).notification;
        if (!verify) {
          // Only the header and the trailer are read back.
          EXPECT_EQ(n.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
          continue;
        }
        EXPECT_EQ(n.lParam, pkg::NOTIFY_FAILED);
        EXPECT_EQ(n.wParam, pkg::FAIL_WRITE_PKG);
        EXPECT_NE(pkg::FailureDetail.find("the bytes stored for '" + f.settings.source),
                  std::string::npos)
            << pkg::FailureDetail;
        EXPECT_EQ(ReadFile(f.dir / "out/o.pkg"), kOlder);
        EXPECT_EQ(ListNames(f.dir / "out"), (std::vector<std::string>{"o.pkg"}));
      }
    }
  }
}

TEST(OutputFile, VerifyPassesASoundArchiveAndChangesNoByte) {
  for (const bool compress : {false, true}) {
    for (const unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(std::string(compress ? "compressed" : "stored") + ", threads " +
                   std::to_string(threads));
      Folder f;
      f.settings.compress = compress;
      f.settings.threads = threads;
      ASSERT_EQ(RunJob(f.settings).notification.lParam, pkg::NOTIFY_FINISHED);
      const Bytes plain = ReadFile(f.dir / "out/o.pkg");
      f.settings.verify = true;
      ASSERT_EQ(RunJob(f.settings).notification.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
      EXPECT_EQ(ReadFile(f.dir / "out/o.pkg"), plain);
    }
  }
}

// A source that changed after it was stored no longer matches the archive:
// verify says so rather than vouching for bytes the tree no longer holds.
TEST(OutputFile, VerifyFailsWhenASourceChangedAfterItWasStored) {
  struct ChangesAfterRead : ForwardingPlatform {
    std::string target;
    int opens = 0;
    pkg::Status OpenForReading(const std::string& p,
                               std::unique_ptr<pkg::PlatformFile>& f) override {
      // The second opening is the comparison's.
      if (p == target && ++opens == 2) WriteFile(fs::u8path(p), "ALPHA alpha alpha");
      return inner_.OpenForReading(p, f);
    }
  } platform;
  Folder f;
  f.settings.threads = 1;
  f.settings.verify = true;
  platform.target = U8(f.dir / "src/a.txt");
  const pkg::PackNotification n = RunJob(f.settings, platform).notification;
  EXPECT_EQ(n.wParam, pkg::FAIL_WRITE_PKG);
  EXPECT_NE(pkg::FailureDetail.find("differ from the file at byte 0"), std::string::npos)
      << pkg::FailureDetail;
  EXPECT_EQ(ReadFile(f.dir / "out/o.pkg"), kOlder);
}

}  // namespace

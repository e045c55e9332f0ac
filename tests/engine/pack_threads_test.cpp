// The job with worker threads reading and compressing ahead: the archive's
// bytes do not depend on how many threads there are or how much memory they
// may fill; a file changed after it was read ahead is read again at its turn;
// aborts and failing system calls end as they do without workers.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "fault_platform.h"
#include "pkg_reader.h"
#include "test_support.h"

namespace {

using namespace pkgtest;
using Clock = std::chrono::steady_clock;

const std::vector<std::uint8_t> kKey = {0x4B, 0x17, 0xE0};
const Bytes kOlder = ToBytes("older archive");
// Four blocks of the pipeline: files of a megabyte or more stream through.
constexpr std::size_t kSmallBudget = 256 << 10;

Bytes Zlib6(const Bytes& in) {
  uLongf len = compressBound(static_cast<uLong>(in.size()));
  Bytes out(len);
  EXPECT_EQ(compress2(out.data(), &len, in.data(), static_cast<uLong>(in.size()), 6), Z_OK);
  out.resize(len);
  return out;
}

// Files around the 64 KiB block size and larger than the small budget, in
// three folders; by relative path with '/'.
std::map<std::string, Bytes> MakeFixture(const fs::path& root) {
  const std::size_t sizes[] = {0,     3,      900,     4096,    65535, 65536,
                               65537, 200000, 1 << 20, 2500000, 0,     17};
  std::map<std::string, Bytes> files;
  for (std::uint32_t i = 0; i < 36; ++i) {
    const std::string rel = "d" + std::to_string(i % 3) + (i % 5 == 0 ? "/sub" : "") + "/f" +
                            std::to_string(i) + ".bin";
    files[rel] = Deterministic(sizes[i % std::size(sizes)], i, i % 2 == 0);
    WriteFile(root / rel, files[rel]);
  }
  return files;
}

// Every record holds its file: as it is, or as one zlib level 6 stream.
void ExpectHolds(const Bytes& raw, const std::map<std::string, Bytes>& tree, bool compress) {
  pkg::TMemoryStream in;
  in.Write(raw.data(), raw.size());
  pkg::PkgArchive a;
  ASSERT_TRUE(pkg::ReadArchive(in, kKey, a).ok());
  ASSERT_EQ(a.records.size(), tree.size());
  for (const auto& r : a.records) {
    std::string rel = r.name.substr(1);
    std::replace(rel.begin(), rel.end(), '\\', '/');
    ASSERT_EQ(tree.count(rel), 1u) << r.name;
    const Bytes& content = tree.at(rel);
    EXPECT_EQ(r.size, content.size()) << r.name;
    const Bytes stored(raw.begin() + r.offset, raw.begin() + r.offset + r.storedSize);
    EXPECT_EQ(stored, compress ? Zlib6(content) : content) << r.name;
  }
}

TEST(PackThreads, ArchiveIsTheSameWhateverTheThreadsAndTheBudget) {
  TempDir dir;
  const auto tree = MakeFixture(dir / "src");
  for (const bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "compressed" : "stored");
    JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), compress, 7, kKey, {}};
    s.threads = 1;
    const JobRun alone = RunJob(s);
    ASSERT_EQ(alone.notification.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
    const Bytes reference = ReadFile(dir / "o.pkg");
    ExpectHolds(reference, tree, compress);
    ASSERT_EQ(alone.texts.size(), tree.size() + 4);

    const std::pair<unsigned, std::size_t> runs[] = {{2, 0}, {3, kSmallBudget}, {8, kSmallBudget}};
    for (const auto& [threads, budget] : runs) {
      SCOPED_TRACE(std::to_string(threads) + " threads, budget " + std::to_string(budget));
      s.threads = threads;
      s.budget = budget;
      const JobRun run = RunJob(s);
      ASSERT_EQ(run.notification.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
      EXPECT_EQ(ReadFile(dir / "o.pkg"), reference);
      EXPECT_EQ(run.texts, alone.texts);
    }
  }
}

// While the first file's text is shown, the workers have long read the
// others; a file changed then is packed as it is at its turn.
// Windows refuses to rename or delete a file while a worker still has it
// open (a slow machine may not have finished reading it ahead): try again
// until the worker lets go.
void WhileHeld(const std::function<void(std::error_code&)>& change) {
  std::error_code e;
  for (int i = 0; i < 500; ++i) {
    change(e);
    if (!e) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  FAIL() << "the file stayed held: " << e.message();
}

TEST(PackThreads, FileChangedAfterItWasReadAheadIsReadAgainAtItsTurn) {
  const Bytes before = Deterministic(200000, 1, true);
  struct Case {
    const char* what;
    std::function<void(const fs::path& file)> change;
    Bytes after;  // empty when the job fails
  };
  const Case cases[] = {
      {"replaced by a file of the same size",
       [](const fs::path& f) {
         WriteFile(f.string() + ".new", Deterministic(200000, 2, true));
         WhileHeld([&](std::error_code& e) { fs::rename(f.string() + ".new", f, e); });
       },
       Deterministic(200000, 2, true)},
      {"rewritten shorter in place", [](const fs::path& f) { WriteFile(f, ToBytes("short now")); },
       ToBytes("short now")},
      {"appended to",
       [&](const fs::path& f) {
         Bytes grown = before;
         grown.insert(grown.end(), 5000, 'z');
         WriteFile(f, grown);
       },
       [&] {
         Bytes grown = before;
         grown.insert(grown.end(), 5000, 'z');
         return grown;
       }()},
      {"deleted",
       [](const fs::path& f) { WhileHeld([&](std::error_code& e) { fs::remove(f, e); }); },
       {}},
  };
  for (const bool compress : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (compress ? ", compressed" : ", stored"));
      TempDir dir;
      WriteFile(dir / "src/first.txt", "first");
      for (int i = 0; i < 4; ++i) WriteFile(dir / ("src/sub/n" + std::to_string(i)), "neighbour");
      const fs::path changing = dir / "src/sub/x.bin";
      WriteFile(changing, before);
      pkg::QueueHost host([&](const std::string& t) {
        if (t != "(3/5) 正在打包文件: \\first.txt") return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        c.change(changing);
      });
      JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), compress, 1, kKey, {}};
      s.threads = 3;
      auto job = MakeJob(host, s);
      ASSERT_TRUE(job->Start().ok());
      const pkg::PackNotification n = host.RunUntilNotified();
      if (c.after.empty()) {
        EXPECT_EQ(n.wParam, pkg::FAIL_OPEN_SOURCE);
        EXPECT_EQ(pkg::FailedSourceFile, (dir / "src/sub/x.bin").string());
        continue;
      }
      ASSERT_EQ(n.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
      std::map<std::string, Bytes> tree = {{"first.txt", ToBytes("first")}, {"sub/x.bin", c.after}};
      for (int i = 0; i < 4; ++i) tree["sub/n" + std::to_string(i)] = ToBytes("neighbour");
      ExpectHolds(ReadFile(dir / "o.pkg"), tree, compress);
    }
  }
}

// Aborts while workers wait for room that only the writer can make.
TEST(PackThreads, AbortAtEveryTextWithWorkersWaitingForRoom) {
  TempDir dir;
  for (std::uint32_t i = 0; i < 8; ++i)
    WriteFile(dir / ("src/f" + std::to_string(i)), Deterministic(150000 + 120000 * i, i, true));
  fs::create_directories(dir / "out");
  const std::size_t texts = 8 + 4;
  for (const bool compress : {false, true}) {
    for (std::size_t k = 0; k < texts; ++k) {
      SCOPED_TRACE("abort at text " + std::to_string(k) + (compress ? ", compressed" : ", stored"));
      WriteFile(dir / "out/o.pkg", kOlder);
      std::size_t shown = 0, shownAtAbort = 0;
      std::shared_ptr<pkg::PKGPackWorker> job;
      bool aborted = false;
      pkg::QueueHost host([&](const std::string&) {
        if (++shown != k + 1) return;
        // Long enough for the workers to fill the budget and wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        aborted = job->Abort();
        shownAtAbort = shown;
      });
      JobSettings s{(dir / "src").string(), (dir / "out/o.pkg").string(), compress, 1, kKey, {}};
      s.threads = 3;
      s.budget = kSmallBudget;
      job = MakeJob(host, s);
      ASSERT_TRUE(job->Start().ok());
      while (!aborted) ASSERT_FALSE(host.Pump(std::chrono::milliseconds(2000)).has_value());
      EXPECT_FALSE(host.Pump(std::chrono::milliseconds(30)).has_value()) << "an outcome";
      EXPECT_EQ(shown, shownAtAbort) << "a text after the abort";
      EXPECT_EQ(ListNames(dir / "out"), (std::vector<std::string>{"o.pkg"}));
      EXPECT_EQ(ReadFile(dir / "out/o.pkg"), kOlder);
    }
  }
}

TEST(PackThreads, AbortAtRandomMomentsNeverHangsNorLeavesAFile) {
  TempDir dir;
  for (std::uint32_t i = 0; i < 12; ++i)
    WriteFile(dir / ("src/f" + std::to_string(i)), Deterministic(40000 * (i % 5), i, i % 2 == 0));
  fs::create_directories(dir / "out");
  JobSettings s{(dir / "src").string(), (dir / "out/o.pkg").string(), true, 1, kKey, {}};
  s.threads = 3;
  s.budget = kSmallBudget;
  const auto t0 = Clock::now();
  ASSERT_EQ(RunJob(s).notification.lParam, pkg::NOTIFY_FINISHED);
  const auto full = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0);

  std::mt19937 rng(8);
  int stopped = 0;
  for (int i = 0; i < 40; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    WriteFile(dir / "out/o.pkg", kOlder);
    s.compress = i % 3 != 0;
    s.threads = 2 + i % 4;
    std::size_t shown = 0;
    pkg::QueueHost host([&](const std::string&) { ++shown; });
    auto job = MakeJob(host, s);
    const auto when = Clock::now() + std::chrono::microseconds(rng() % (full.count() + 1));
    ASSERT_TRUE(job->Start().ok());
    std::optional<pkg::PackNotification> outcome;
    while (!outcome && Clock::now() < when)
      outcome =
          host.Pump(std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()));
    if (!outcome && job->Abort()) {
      ++stopped;
      const std::size_t atAbort = shown;
      ASSERT_FALSE(host.Pump(std::chrono::milliseconds(5)).has_value());
      ASSERT_EQ(shown, atAbort);
      ASSERT_EQ(ReadFile(dir / "out/o.pkg"), kOlder);
    } else {
      if (!outcome) outcome = host.RunUntilNotified();
      ASSERT_EQ(outcome->lParam, pkg::NOTIFY_FINISHED);
    }
    ASSERT_EQ(ListNames(dir / "out"), (std::vector<std::string>{"o.pkg"}));
  }
  EXPECT_GT(stopped, 5);
}

const std::string kFileText = "(3/5) 正在打包文件: ";

// Closed until Open; the threads that reach it count themselves, so that a
// test knows who is held. The waits of the test's own thread are bounded,
// so that a fault shows as a failure rather than a hang.
class Gate {
 public:
  void Pass() {
    std::unique_lock<std::mutex> lock(m_);
    ++waiting_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m_);
    open_ = true;
    cv_.notify_all();
  }
  bool AwaitWaiting(int n) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return waiting_ >= n; });
  }
  int Waiting() {
    std::lock_guard<std::mutex> lock(m_);
    return waiting_;
  }

 private:
  std::mutex m_;  // protects everything below
  std::condition_variable cv_;
  int waiting_ = 0;
  bool open_ = false;
};

// A source whose reads go first through `before`, given the read's number
// from 0; a failure it returns is the read's.
class HookedFile : public ForwardingFile {
 public:
  HookedFile(std::unique_ptr<pkg::PlatformFile> f, std::function<pkg::Status(int)> before)
      : ForwardingFile(std::move(f)), before_(std::move(before)) {}
  pkg::Status Read(void* b, std::size_t n, std::size_t& got) override {
    got = 0;
    if (pkg::Status s = before_(reads_++); !s.ok()) return s;
    return inner_->Read(b, n, got);
  }

 private:
  std::function<pkg::Status(int)> before_;
  int reads_ = 0;
};

// The tree of the two tests below: a first file, then x.bin, whose data the
// tests hold or break, then twenty small files and three tail files, one
// folder deeper each, so that the scan lists them in this order.
void MakeHeldTree(const fs::path& src, std::size_t xSize) {
  WriteFile(src / "a0.txt", "first");
  WriteFile(src / "d/x.bin", Deterministic(xSize, 1, false));
  for (std::uint32_t i = 0; i < 20; ++i)
    WriteFile(src / "d/e" / ("s" + std::to_string(i)), Deterministic(1000 + i, i, true));
  for (int i = 0; i < 3; ++i) WriteFile(src / "d/e/f" / ("tail" + std::to_string(i)), "tail");
}

// The status names the file being stored: while x.bin is still being read
// or compressed, or once it failed, no later file is named, even though the
// files after it are all read.
TEST(PackThreads, NoTextRunsPastAFileWhoseDataIsNotReady) {
  enum class X { kHeld, kOpenFails, kReadFails };
  struct Case {
    const char* what;
    X x;
    std::uintptr_t reason;  // 0: the job finishes
  };
  const Case cases[] = {
      {"held while read", X::kHeld, 0},
      {"cannot be opened", X::kOpenFails, pkg::FAIL_OPEN_SOURCE},
      {"cannot be read", X::kReadFails, pkg::FAIL_WRITE_PKG},
  };
  // x.bin's workers: its first read, then every later one waits at `held`.
  // The tail files' first reads wait at `tail`: once as many workers wait
  // there as are free, each has finished every file it took before. The
  // writer's look at x.bin at its turn waits at `turn`.
  struct Sources : ForwardingPlatform {
    X x = X::kHeld;
    Gate held, tail, turn;
    pkg::Status OpenForReading(const std::string& p,
                               std::unique_ptr<pkg::PlatformFile>& f) override {
      const std::string name = fs::path(p).filename().string();
      if (name == "x.bin" && x == X::kOpenFails)
        return pkg::Status::Fail("cannot open '" + p + "': in use by another program");
      pkg::Status s = inner_.OpenForReading(p, f);
      if (!s.ok()) return s;
      if (name.starts_with("tail")) {
        f = std::make_unique<HookedFile>(std::move(f), [this](int k) {
          if (k == 0) tail.Pass();
          return pkg::Status::Ok();
        });
      } else if (name == "x.bin") {
        f = std::make_unique<HookedFile>(std::move(f), [this](int k) {
          if (x == X::kReadFails) return pkg::Status::Fail("cannot read x.bin: locked");
          if (k == 1) held.Pass();
          return pkg::Status::Ok();
        });
      }
      return s;
    }
    pkg::Status StampOf(const std::string& p, pkg::FileStamp& st) override {
      if (x == X::kHeld && fs::path(p).filename() == "x.bin") turn.Pass();
      return inner_.StampOf(p, st);
    }
  };
  const std::string first = kFileText + "\\a0.txt", xText = kFileText + "\\d\\x.bin";
  for (const bool compress : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (compress ? ", compressed" : ", stored"));
      TempDir dir;
      // Compressed, read 256 KiB at a time; stored, in blocks, as it is not
      // above the size the writer copies itself.
      MakeHeldTree(dir / "src", compress ? 600 << 10 : 200 << 10);
      JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), compress, 1, kKey, {}};
      s.threads = 1;
      const JobRun alone = RunJob(s);
      ASSERT_EQ(alone.notification.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
      const Bytes reference = ReadFile(dir / "o.pkg");

      Sources platform;
      platform.x = c.x;
      std::vector<std::string> texts;
      pkg::QueueHost host([&](const std::string& t) {
        texts.push_back(t);
        // The job goes on from the first file only once every file after
        // x.bin but the tail is read.
        if (t == first) {
          EXPECT_TRUE(platform.tail.AwaitWaiting(c.x == X::kHeld ? 2 : 3));
        }
        if (t == xText) platform.tail.Open();
      });
      s.threads = 3;
      // Compared with the archive packed alone, x.bin would be settled only
      // once read whole: the writer is to meet it while it is being read.
      s.reuse = false;
      auto job = MakeJob(host, s, platform);
      ASSERT_TRUE(job->Start().ok());
      const std::vector<std::string> upToX = {alone.texts[0], alone.texts[1], first, xText};
      if (c.x == X::kHeld) {
        // The writer is at x.bin's turn while its worker still reads it.
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (platform.turn.Waiting() == 0 && Clock::now() < deadline)
          EXPECT_FALSE(host.Pump(std::chrono::milliseconds(10)).has_value());
        EXPECT_EQ(platform.turn.Waiting(), 1) << "the writer never reached x.bin";
        host.Pump(std::chrono::milliseconds(0));  // whatever the job posted by now
        EXPECT_EQ(texts, upToX);
        platform.held.Open();
        platform.turn.Open();
      }
      const pkg::PackNotification n = host.RunUntilNotified();
      if (c.reason == 0) {
        ASSERT_EQ(n.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
        EXPECT_EQ(ReadFile(dir / "o.pkg"), reference);
        EXPECT_EQ(texts, alone.texts);
      } else {
        EXPECT_EQ(n.wParam, c.reason) << pkg::FailureDetail;
        EXPECT_EQ(texts, upToX);
      }
    }
  }
}

// A file that could not be opened or read ahead, as when a scanner or an
// editor holds it for a moment, is tried again at its turn: only a failure
// then fails the job, with the reason and the text a one-thread job gives.
TEST(PackThreads, AFileThatFailedAheadIsTriedAgainAtItsTurn) {
  // The first `failures` opens, or reads, of x.bin fail.
  struct BriefLock : ForwardingPlatform {
    bool reads = false;
    int failures = 0;
    std::atomic<int> failed{0};
    bool FailsNow() { return failed.fetch_add(1) < failures; }
    pkg::Status OpenForReading(const std::string& p,
                               std::unique_ptr<pkg::PlatformFile>& f) override {
      if (fs::path(p).filename() != "x.bin") return inner_.OpenForReading(p, f);
      if (!reads && FailsNow())
        return pkg::Status::Fail("cannot open '" + p + "': in use by another program");
      pkg::Status s = inner_.OpenForReading(p, f);
      if (s.ok() && reads) {
        f = std::make_unique<HookedFile>(std::move(f), [this, p](int k) {
          if (k == 0 && FailsNow()) return pkg::Status::Fail("cannot read '" + p + "': locked");
          return pkg::Status::Ok();
        });
      }
      return s;
    }
  };
  for (const bool compress : {false, true}) {
    TempDir dir;
    MakeHeldTree(dir / "src", 5000);
    JobSettings s{(dir / "src").string(), (dir / "o.pkg").string(), compress, 1, kKey, {}};
    s.threads = 1;
    const JobRun alone = RunJob(s);
    ASSERT_EQ(alone.notification.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
    const Bytes reference = ReadFile(dir / "o.pkg");
    for (const bool reads : {false, true}) {
      SCOPED_TRACE(std::string(reads ? "reads" : "opens") +
                   (compress ? ", compressed" : ", stored"));
      const std::uintptr_t reason = reads ? pkg::FAIL_WRITE_PKG : pkg::FAIL_OPEN_SOURCE;
      // Without workers the first open is the one at the turn.
      BriefLock once;
      once.reads = reads;
      once.failures = 1;
      const JobRun failed = RunJob(s, once);
      ASSERT_EQ(failed.notification.wParam, reason) << pkg::FailureDetail;
      const std::string failedFile = pkg::FailedSourceFile, detail = pkg::FailureDetail;
      EXPECT_NE(detail.find("x.bin"), std::string::npos) << detail;

      for (const unsigned threads : {2u, 3u, 8u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        JobSettings n = s;
        n.threads = threads;
        BriefLock ahead;
        ahead.reads = reads;
        ahead.failures = 1;
        const JobRun run = RunJob(n, ahead);
        ASSERT_EQ(run.notification.lParam, pkg::NOTIFY_FINISHED) << pkg::FailureDetail;
        EXPECT_EQ(ahead.failed, 2) << "tried ahead, then at its turn";
        EXPECT_EQ(ReadFile(dir / "o.pkg"), reference);
        EXPECT_EQ(run.texts, alone.texts);

        // Failing again at its turn, it fails the job as without workers.
        BriefLock twice;
        twice.reads = reads;
        twice.failures = 2;
        const JobRun still = RunJob(n, twice);
        EXPECT_EQ(still.notification.wParam, reason);
        EXPECT_EQ(pkg::FailureDetail, detail);
        if (!reads) {
          EXPECT_EQ(pkg::FailedSourceFile, failedFile);
        }
        EXPECT_EQ(still.texts, failed.texts);
      }
    }
  }
}

// What a failure of each kind of operation may lead to: the same as for a
// job without workers, but that a failure to open or read a file ahead is
// worked around by trying it again at its turn.
std::set<std::pair<std::intptr_t, std::uintptr_t>> Allowed(Op op) {
  const std::pair<std::intptr_t, std::uintptr_t> finished{pkg::NOTIFY_FINISHED, 1},
      create{pkg::NOTIFY_FAILED, pkg::FAIL_CREATE_PKG},
      open{pkg::NOTIFY_FAILED, pkg::FAIL_OPEN_SOURCE},
      write{pkg::NOTIFY_FAILED, pkg::FAIL_WRITE_PKG};
  switch (op) {
    case Op::kCreate:
      return {create};
    case Op::kOpen:
      return {open, finished};
    case Op::kRead:
      return {write, finished};
    case Op::kWrite:
    case Op::kSeek:
    case Op::kSize:
    case Op::kRename:
    case Op::kSync:
    case Op::kSyncFolder:
      return {write};
    case Op::kClose:
      return {finished, write};
    case Op::kList:
      return {open};
    case Op::kDelete:
      return {finished};
  }
  return {};
}

// A worker that cannot open or read a file leaves it to the writer, which
// tries it at its turn: the job then ends as without workers, or packs the
// same archive.
TEST(PackThreads, EveryOperationFailingInTurnEndsAsWithoutWorkers) {
  TempDir dir;
  for (std::uint32_t i = 0; i < 6; ++i)
    WriteFile(dir / ("src/s" + std::to_string(i % 2) + "/f" + std::to_string(i)),
              Deterministic(i == 3 ? 300000 : 700 * i, i, i % 2 == 0));
  fs::create_directories(dir / "out");
  int runs = 0;
  for (const bool compress : {false, true}) {
    JobSettings s{(dir / "src").string(), (dir / "out/o.pkg").string(), compress, 1, kKey, {}};
    s.threads = 3;
    s.budget = kSmallBudget;
    s.reuse = false;  // failures while reusing have a test of their own
    FaultPlatform counter;
    ASSERT_EQ(RunJob(s, counter).notification.lParam, pkg::NOTIFY_FINISHED);
    const Bytes reference = ReadFile(dir / "out/o.pkg");
    for (const Op op : kAllOps) {
      for (int nth = 1; nth <= counter.Calls(op); ++nth) {
        SCOPED_TRACE(std::string(OpName(op)) + " #" + std::to_string(nth) +
                     (compress ? ", compressed" : ", stored"));
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        WriteFile(dir / "out/o.pkg", kOlder);
        FaultPlatform platform;
        platform.FailAt(op, nth);
        const pkg::PackNotification n = RunJob(s, platform).notification;
        ++runs;
        EXPECT_TRUE(Allowed(op).count({n.lParam, n.wParam}))
            << n.lParam << "/" << n.wParam << ": " << pkg::FailureDetail;
        if (n.wParam == pkg::FAIL_WRITE_PKG) {
          EXPECT_NE(pkg::FailureDetail.find("injected fault"), std::string::npos)
              << pkg::FailureDetail;
        }
        EXPECT_EQ(ListNames(dir / "out"), (std::vector<std::string>{"o.pkg"}));
        if (op == Op::kSyncFolder) {
          // Flushing the folder comes after the move: the new archive is there.
          EXPECT_EQ(ReadFile(dir / "out/o.pkg"), reference);
        } else if (n.lParam != pkg::NOTIFY_FINISHED) {
          EXPECT_EQ(ReadFile(dir / "out/o.pkg"), kOlder);
        } else if (op != Op::kList) {
          EXPECT_EQ(ReadFile(dir / "out/o.pkg"), reference);
        }
      }
    }
  }
  EXPECT_GT(runs, 50);
}

}  // namespace

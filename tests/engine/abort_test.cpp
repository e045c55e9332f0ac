// Aborting a job at every step and at random moments: afterwards nothing more
// is written, no archive or temporary file remains, an older archive is
// intact, and no text or notification of the job follows.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "pkg_reader.h"
#include "test_support.h"
#include "uPKGPackWorker.h"

namespace {

using namespace pkgtest;
using Clock = std::chrono::steady_clock;

const Bytes kOlder = ToBytes("older archive, must survive every abort");

void MakeTree(const fs::path& root, int files, std::size_t bigEvery, std::size_t bigSize) {
  for (int i = 0; i < files; ++i) {
    const bool big = bigEvery && i % bigEvery == 0;
    const std::size_t size = big ? bigSize : static_cast<std::size_t>(i * 37 % 3000);
    WriteFile(root / ("d" + std::to_string(i % 4)) / ("f" + std::to_string(i) + ".bin"),
              Deterministic(size, static_cast<std::uint32_t>(i), i % 2 == 0));
  }
}

// The output folder holds exactly the older archive, unchanged.
void ExpectOnlyTheOlderArchive(const fs::path& outDir) {
  EXPECT_EQ(ListNames(outDir), (std::vector<std::string>{"o.pkg"}));
  EXPECT_EQ(ReadFile(outDir / "o.pkg"), kOlder);
}

// Runs what the job may still have queued and proves none of it is a text or a
// notification.
void ExpectSilence(pkg::QueueHost& host, const std::vector<std::string>& texts,
                   std::size_t textsAtAbort) {
  EXPECT_FALSE(host.Pump(std::chrono::milliseconds(30)).has_value()) << "notification after abort";
  EXPECT_EQ(texts.size(), textsAtAbort) << "text after abort";
}

// The quickest of a few whole jobs, stored and compressed: abort moments drawn
// up to about this long land mostly inside a job even when the machine is
// busy while the range is measured and idle afterwards.
std::chrono::microseconds FastestJob(JobSettings s) {
  std::chrono::microseconds best = std::chrono::hours(1);
  for (int i = 0; i < 4; ++i) {
    s.compress = i % 2 == 0;
    const auto t0 = Clock::now();
    EXPECT_EQ(RunJob(s).notification.lParam, pkg::NOTIFY_FINISHED);
    best = std::min(best, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0));
  }
  return best;
}

TEST(Abort, AtEveryProgressTextStopsTheJobCleanly) {
  TempDir dir;
  MakeTree(dir / "src", 12, 0, 0);
  fs::create_directories(dir / "out");
  const std::size_t steps = 12 + 4;  // (1/5), (2/5), one (3/5) per file, (4/5), (5/5)
  for (const bool compress : {false, true}) {
    for (std::size_t k = 0; k < steps; ++k) {
      SCOPED_TRACE("abort at text " + std::to_string(k) + (compress ? " compressed" : " stored"));
      WriteFile(dir / "out/o.pkg", kOlder);
      std::vector<std::string> texts;
      std::shared_ptr<pkg::PKGPackWorker> job;
      bool aborted = false;
      std::size_t textsAtAbort = 0;
      pkg::QueueHost host([&](const std::string& t) {
        texts.push_back(t);
        // The abort arrives while the job waits for this text to be shown.
        if (texts.size() == k + 1) {
          aborted = job->Abort();
          textsAtAbort = texts.size();
        }
      });
      job = MakeJob(
          host, {(dir / "src").string(), (dir / "out/o.pkg").string(), compress, 1, {1, 2, 3}, {}});
      ASSERT_TRUE(job->Start().ok());
      while (!aborted) {
        const auto n = host.Pump(std::chrono::milliseconds(2000));
        ASSERT_FALSE(n.has_value()) << "the job ended before its abort";
      }
      ExpectSilence(host, texts, textsAtAbort);
      ExpectOnlyTheOlderArchive(dir / "out");
    }
  }
}

// Within a large file, where the job reports bytes without waiting for them
// to be shown: the abort stops it in the middle of the file, on the job's own
// thread and with workers reading ahead.
TEST(Abort, WithinALargeFilesProgressStopsTheJobCleanly) {
  TempDir dir;
  WriteFile(dir / "src/big.bin", Deterministic(3 << 20, 4, false));
  fs::create_directories(dir / "out");
  for (const bool compress : {false, true}) {
    for (const unsigned threads : {1u, 2u}) {
      SCOPED_TRACE(std::string(compress ? "compressed" : "stored") + ", threads " +
                   std::to_string(threads));
      WriteFile(dir / "out/o.pkg", kOlder);
      std::vector<std::string> texts;
      std::shared_ptr<pkg::PKGPackWorker> job;
      bool aborted = false;
      pkg::QueueHost host([&](const std::string& t) { texts.push_back(t); },
                          [&](const pkg::PackProgress& p) {
                            if (!aborted && p.kind == pkg::PackProgress::Kind::kBytes)
                              aborted = job->Abort();
                          });
      JobSettings s{
          (dir / "src").string(), (dir / "out/o.pkg").string(), compress, 1, {1, 2, 3}, {}};
      s.threads = threads;
      s.progressBytes = 64 << 10;
      job = MakeJob(host, s);
      ASSERT_TRUE(job->Start().ok());
      while (!aborted) {
        const auto n = host.Pump(std::chrono::milliseconds(2000));
        ASSERT_FALSE(n.has_value()) << "the job ended before its abort";
      }
      ExpectSilence(host, texts, texts.size());
      ExpectOnlyTheOlderArchive(dir / "out");
    }
  }
}

TEST(Abort, AtRandomMomentsNeverLeavesAFileOrAnOutcome) {
  TempDir dir;
  MakeTree(dir / "src", 80, 10, 600000);
  fs::create_directories(dir / "out");

  // How long a whole job takes here decides the range of abort moments.
  WriteFile(dir / "out/o.pkg", kOlder);
  const auto full =
      FastestJob({(dir / "src").string(), (dir / "out/o.pkg").string(), true, 1, {7}, {}});

  std::mt19937 rng(20261210);
  int stopped = 0, finished = 0;
  for (int i = 0; i < 40; ++i) {
    SCOPED_TRACE("run " + std::to_string(i));
    WriteFile(dir / "out/o.pkg", kOlder);
    std::vector<std::string> texts;
    pkg::QueueHost host([&](const std::string& t) { texts.push_back(t); });
    auto job = MakeJob(
        host, {(dir / "src").string(), (dir / "out/o.pkg").string(), i % 2 == 0, 1, {7}, {}});
    const auto when =
        Clock::now() + std::chrono::microseconds(rng() % (full.count() * 11 / 10 + 1));
    ASSERT_TRUE(job->Start().ok());
    std::optional<pkg::PackNotification> outcome;
    while (!outcome && Clock::now() < when) {
      outcome =
          host.Pump(std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()));
    }
    if (!outcome && job->Abort()) {
      ++stopped;
      ExpectSilence(host, texts, texts.size());
      ExpectOnlyTheOlderArchive(dir / "out");
      continue;
    }
    // The job had posted its outcome first; the abort did nothing to it.
    if (!outcome) outcome = host.RunUntilNotified();
    ++finished;
    EXPECT_EQ(outcome->lParam, pkg::NOTIFY_FINISHED);
    const Bytes raw = ReadFile(dir / "out/o.pkg");
    pkg::TMemoryStream in;
    in.Write(raw.data(), raw.size());
    pkg::PkgArchive archive;
    EXPECT_TRUE(pkg::ReadArchive(in, std::vector<std::uint8_t>{7}, archive).ok());
    EXPECT_EQ(ListNames(dir / "out"), (std::vector<std::string>{"o.pkg"}));
  }
  // The moments are spread over the whole job: most runs are stopped.
  EXPECT_GE(stopped, 8) << finished << " runs finished first";
}

// A thousand aborts over a small job, at moments spread from before the scan
// to past the outcome, so that every step, sealing and the posting of the
// outcome included, is met many times.
TEST(Abort, AThousandRandomAbortsNeverDeadlockLeaveAFileOrAnOutcome) {
  TempDir dir;
  MakeTree(dir / "src", 16, 8, 40000);
  fs::create_directories(dir / "out");
  WriteFile(dir / "out/o.pkg", kOlder);
  const JobSettings settings{
      (dir / "src").string(), (dir / "out/o.pkg").string(), true, 1, {9}, {}};
  const auto full = FastestJob(settings);

  std::mt19937 rng(1000);
  int stopped = 0, finished = 0;
  for (int i = 0; i < 1000; ++i) {
    WriteFile(dir / "out/o.pkg", kOlder);
    std::size_t textCount = 0;
    pkg::QueueHost host([&](const std::string&) { ++textCount; });
    JobSettings s = settings;
    s.compress = i % 2 == 0;
    auto job = MakeJob(host, s);
    const auto when =
        Clock::now() + std::chrono::microseconds(rng() % (full.count() * 12 / 10 + 1));
    ASSERT_TRUE(job->Start().ok());
    std::optional<pkg::PackNotification> outcome;
    while (!outcome && Clock::now() < when)
      outcome =
          host.Pump(std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()));
    if (!outcome && job->Abort()) {
      ++stopped;
      const std::size_t atAbort = textCount;
      ASSERT_FALSE(host.Pump(std::chrono::milliseconds(1)).has_value()) << "run " << i;
      ASSERT_EQ(textCount, atAbort) << "run " << i;
      ASSERT_EQ(ListNames(dir / "out"), (std::vector<std::string>{"o.pkg"})) << "run " << i;
      ASSERT_EQ(ReadFile(dir / "out/o.pkg"), kOlder) << "run " << i;
      continue;
    }
    if (!outcome) outcome = host.RunUntilNotified();
    ++finished;
    ASSERT_EQ(outcome->lParam, pkg::NOTIFY_FINISHED) << "run " << i;
    ASSERT_EQ(ListNames(dir / "out"), (std::vector<std::string>{"o.pkg"})) << "run " << i;
    ASSERT_NE(ReadFile(dir / "out/o.pkg"), kOlder) << "run " << i;
  }
  std::cout << "1000 random aborts: " << stopped << " stopped the job, " << finished
            << " met a job that had ended\n";
  EXPECT_GE(stopped, 200);
}

TEST(Abort, BeforeStartAndAfterTheEndDoNothing) {
  TempDir dir;
  WriteFile(dir / "src/a", "a");
  pkg::QueueHost host;
  auto unstarted =
      MakeJob(host, {(dir / "src").string(), (dir / "o.pkg").string(), false, 1, {1}, {}});
  EXPECT_FALSE(unstarted->Abort());
  EXPECT_FALSE(unstarted->Start().ok()) << "an aborted job never starts";

  auto job = MakeJob(host, {(dir / "src").string(), (dir / "o.pkg").string(), false, 1, {1}, {}});
  ASSERT_TRUE(job->Start().ok());
  EXPECT_EQ(host.RunUntilNotified().lParam, pkg::NOTIFY_FINISHED);
  EXPECT_FALSE(job->Abort());
  EXPECT_TRUE(fs::exists(dir / "o.pkg"));
}

}  // namespace

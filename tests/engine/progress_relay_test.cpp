// The relay alone, without a job: a poster thread and the thread that pumps a
// QueueHost, the way a job and its window share it.
#include "progress_relay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>
#include <vector>

#include "file_stream.h"
#include "queue_host.h"

namespace {

using pkg::PackProgress;
using pkg::ProgressRelay;
using pkg::QueueHost;

// Events told apart by their number, carried as the file's index.
PackProgress Numbered(std::size_t n) {
  PackProgress p;
  p.kind = PackProgress::Kind::kBytes;
  p.fileIndex = n;
  return p;
}

std::vector<PackProgress> Events(std::size_t from, std::size_t count) {
  std::vector<PackProgress> run;
  for (std::size_t k = 0; k < count; ++k) run.push_back(Numbered(from + k));
  return run;
}

// Pumps host until done() holds, at most 20 seconds.
template <class Done>
bool PumpUntil(QueueHost& host, Done done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    (void)host.Pump(std::chrono::milliseconds(5));
  }
  return true;
}

// Runs of every length, single events and waits in between: each event is
// shown once, in the order posted, and a wait ends only once its event and
// every one before it have been shown.
TEST(ProgressRelayTest, ShowsEventsInTheOrderPostedAndWaitsForTheOneAsked) {
  std::vector<std::size_t> shown;
  std::atomic<std::size_t> shownCount{0};
  QueueHost host({}, [&](const PackProgress& p) {
    shown.push_back(p.fileIndex);
    ++shownCount;
  });
  auto relay = ProgressRelay::Create(host);
  std::atomic<bool> done{false};
  bool shownBeforeWake = true;
  std::thread poster([&] {
    std::size_t next = 1;
    for (std::size_t length = 0; length < 40; ++length) {
      const std::uint64_t first = relay->Post(Events(next, length));
      if (length > 0) {
        EXPECT_EQ(first, next);
      }
      next += length;
      const std::uint64_t single = relay->Post(Numbered(next++));
      // Every other time the poster waits, for an event of the run or for
      // the single one after it.
      if (length % 2 == 0) {
        const std::uint64_t awaited = length > 0 ? first + length / 2 : single;
        relay->Await(awaited);
        shownBeforeWake = shownBeforeWake && shownCount.load() >= awaited;
      }
    }
    relay->Show(Numbered(next));
    done = true;
  });
  EXPECT_TRUE(PumpUntil(host, [&] { return done.load(); }));
  poster.join();
  std::vector<std::size_t> expected(shown.size());
  for (std::size_t k = 0; k < expected.size(); ++k) expected[k] = k + 1;
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(shown.size(), 40u * 39u / 2u + 40u + 1u);
  EXPECT_TRUE(shownBeforeWake);
}

// A wait for an event that the pumping thread has not reached yet ends with
// the stop, and nothing posted before the stop is shown after it.
TEST(ProgressRelayTest, StopEndsAWaitAndShowsNothingMore) {
  std::vector<std::size_t> shown;
  QueueHost host({}, [&](const PackProgress& p) { shown.push_back(p.fileIndex); });
  auto relay = ProgressRelay::Create(host);
  std::atomic<bool> posted{false}, aborted{false};
  std::thread poster([&] {
    const std::uint64_t first = relay->Post(Events(1, 10));
    posted = true;
    try {
      relay->Await(first + 9);
    } catch (const pkg::EJobAborted&) {
      aborted = true;
    }
  });
  // Not pumped: the poster sleeps for its event.
  while (!posted) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  relay->Stop();
  poster.join();
  EXPECT_TRUE(aborted);
  (void)host.Pump(std::chrono::milliseconds(10));
  EXPECT_TRUE(shown.empty());
  EXPECT_THROW(relay->Post(Numbered(11)), pkg::EJobAborted);
  EXPECT_THROW(relay->Await(1), pkg::EJobAborted);
}

// A stop from inside the host's call, as a window's abort handler may be
// reached while an event is shown: the rest of the run is not shown, and the
// poster's wait ends rather than deadlocking.
TEST(ProgressRelayTest, StopFromWithinAShowEndsTheRun) {
  std::vector<std::size_t> shown;
  std::shared_ptr<ProgressRelay> relay;
  QueueHost host({}, [&](const PackProgress& p) {
    shown.push_back(p.fileIndex);
    if (p.fileIndex == 3) relay->Stop();
  });
  relay = ProgressRelay::Create(host);
  std::atomic<bool> aborted{false};
  std::thread poster([&] {
    try {
      relay->Await(relay->Post(Events(1, 6)) + 5);
    } catch (const pkg::EJobAborted&) {
      aborted = true;
    }
  });
  EXPECT_TRUE(PumpUntil(host, [&] { return aborted.load(); }));
  poster.join();
  EXPECT_EQ(shown, (std::vector<std::size_t>{1, 2, 3}));
}

// The queued calls hold the relay: its owner may let it go before they run.
TEST(ProgressRelayTest, QueuedEventsOutliveTheirPoster) {
  std::vector<std::size_t> shown;
  QueueHost host({}, [&](const PackProgress& p) { shown.push_back(p.fileIndex); });
  {
    auto relay = ProgressRelay::Create(host);
    (void)relay->Post(Events(1, 3));
    (void)relay->Post(Numbered(4));
  }
  (void)host.Pump(std::chrono::milliseconds(10));
  EXPECT_EQ(shown, (std::vector<std::size_t>{1, 2, 3, 4}));
}

}  // namespace

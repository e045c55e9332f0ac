#include "progress_relay.h"

#include "file_stream.h"

namespace pkg {

namespace {

// How long at most the poster looks out for its event before it sleeps: a
// user-interface thread that is awake shows one in microseconds.
constexpr std::chrono::microseconds kSpin{50};

}  // namespace

std::shared_ptr<ProgressRelay> ProgressRelay::Create(JobHost& host) {
  return std::shared_ptr<ProgressRelay>(new ProgressRelay(host));
}

ProgressRelay::ProgressRelay(JobHost& host) : host_(host), spin_(kSpin) {}

std::uint64_t ProgressRelay::Post(PackProgress event) {
  std::vector<PackProgress> one;
  one.push_back(std::move(event));
  return Post(std::move(one));
}

std::uint64_t ProgressRelay::Post(std::vector<PackProgress> events) {
  if (stop_.load(std::memory_order_relaxed)) throw EJobAborted();
  const std::uint64_t first = posted_ + 1;
  posted_ += events.size();
  // One call for a run of events: shown one after the other, as calls queued
  // back to back would be, for one wake-up of the user-interface thread.
  // The poster is woken once the run is shown, not at its first event:
  // woken at once, it would take the processor from this thread and find
  // its next event not shown yet, one sleep per file.
  host_.PostToMainThread([self = shared_from_this(), first, events = std::move(events)] {
    std::size_t k = 0;
    while (k < events.size() && self->RunCall(first + k, events[k])) ++k;
    if (k > 0) self->WakeFor(first + k - 1);
  });
  return first;
}

void ProgressRelay::Await(std::uint64_t number) {
  auto shown = [&] { return shown_.load() >= number; };
  if (!shown()) spin_.Wait(shown);
  std::unique_lock<std::mutex> lock(m_);
  // Said before the last look at the count, which RunCall raises before it
  // looks at this: one of the two sees the other.
  waitingFor_.store(number);
  cv_.wait(lock, [&] { return stop_.load() || shown(); });
  waitingFor_.store(0);
  if (stop_.load()) throw EJobAborted();
}

void ProgressRelay::Stop() {
  stop_.store(true);
  // Taken so that a poster between its look at the flag and its sleep is
  // asleep by now, and hears this.
  { std::lock_guard<std::mutex> lock(m_); }
  cv_.notify_all();
}

bool ProgressRelay::RunCall(std::uint64_t number, const PackProgress& event) {
  // After a stop no event is shown, even one posted before it. (A stop comes
  // from this thread.)
  if (stop_.load()) return false;
  // No lock is held here, so a stop from within the call cannot deadlock.
  host_.ShowProgress(event);
  shown_.store(number);
  return true;
}

void ProgressRelay::WakeFor(std::uint64_t shown) {
  // The poster mostly finds the count raised without sleeping: the lock is
  // taken only to wake it.
  const std::uint64_t waiting = waitingFor_.load();
  if (waiting == 0 || waiting > shown) return;
  { std::lock_guard<std::mutex> lock(m_); }
  cv_.notify_all();
}

}  // namespace pkg

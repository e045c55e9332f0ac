// Carries a job's progress events to the user-interface thread, where they
// are shown one after the other in the order they were posted. The job may
// post events ahead and wait only for the one it needs shown; a stop ends
// every wait and keeps any event not yet shown from being shown.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "job_host.h"
#include "pack_progress.h"
#include "spin_wait.h"

namespace pkg {

class ProgressRelay : public std::enable_shared_from_this<ProgressRelay> {
 public:
  // Events reach host.ShowProgress through host.PostToMainThread. The calls
  // posted hold the relay, so it lives until the last has run; the host
  // must outlive them.
  static std::shared_ptr<ProgressRelay> Create(JobHost& host);

  // Events are numbered from 1 in the order they are posted. Post queues them
  // to be shown in turn and returns the number of the first; one thread only.
  // Both raise EJobAborted once stopped.
  std::uint64_t Post(std::vector<PackProgress> events);
  std::uint64_t Post(PackProgress event);
  // Waits until the event with this number has been shown.
  void Await(std::uint64_t number);
  // Posts one event and waits until it has been shown.
  void Show(PackProgress event) { Await(Post(std::move(event))); }

  // From now on nothing more is shown, even an event posted before, and a
  // wait ends with EJobAborted. Call on the user-interface thread, where the
  // events are shown, so that none is shown after this returns.
  void Stop();
  bool Stopped() const { return stop_.load(); }

 private:
  explicit ProgressRelay(JobHost& host);
  // Shows one event; false once stopped.
  bool RunCall(std::uint64_t number, const PackProgress& event);
  // Wakes the poster if it sleeps for an event up to shown.
  void WakeFor(std::uint64_t shown);

  JobHost& host_;
  std::atomic<bool> stop_{false};

  std::mutex m_;  // taken to sleep on cv_ and to wake from it
  std::condition_variable cv_;
  // The event the poster sleeps on cv_ for, 0 for none; set under m_.
  std::atomic<std::uint64_t> waitingFor_{0};
  std::atomic<std::uint64_t> shown_{0};  // events shown so far
  std::uint64_t posted_ = 0;             // the posting thread only
  AdaptiveSpin spin_;                    // the posting thread only
};

}  // namespace pkg

// A JobHost for programs without a window: the thread that owns the host pumps
// its queue, running the job's progress calls and receiving its outcome, the
// way a window's message loop would.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "job_host.h"
#include "spin_wait.h"

namespace pkg {

struct PackNotification {
  WindowHandle window = 0;
  // As WM_PACKNOTIFY would carry them.
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
  PackOutcome outcome;
};

class QueueHost : public JobHost {
 public:
  // statusSink hears the status texts the window would show; progressSink
  // every progress event.
  using StatusSink = std::function<void(const std::string&)>;
  using ProgressSink = std::function<void(const PackProgress&)>;
  explicit QueueHost(StatusSink statusSink = {}, ProgressSink progressSink = {});

  void PostToMainThread(std::function<void()> fn) override;
  void ShowProgress(const PackProgress& progress) override;
  void PostOutcome(WindowHandle window, const PackOutcome& outcome) override;

  // Waits up to timeout for work, runs every queued call on the calling
  // thread, and returns the notification if one has arrived.
  std::optional<PackNotification> Pump(std::chrono::milliseconds timeout);
  // Pumps until a notification arrives.
  PackNotification RunUntilNotified();

  const std::string& StatusText() const { return status_; }  // pumping thread only

 private:
  StatusSink statusSink_;
  ProgressSink progressSink_;
  std::string status_;
  // Pumping thread only: whether the last Pump ran calls, and how long to look
  // out for the next one before sleeping.
  bool ranCalls_ = false;
  AdaptiveSpin spin_;

  std::atomic<unsigned> posts_{0};  // counts what was queued; read without the lock
  std::mutex m_;                    // protects the two queues and sleeping_
  std::condition_variable cv_;
  bool sleeping_ = false;  // the pumping thread waits on cv_
  std::deque<std::function<void()>> calls_;
  std::deque<PackNotification> notifications_;
  std::deque<std::function<void()>> running_;  // pumping thread only: the calls being run
};

}  // namespace pkg

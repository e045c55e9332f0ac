#include "queue_host.h"

#include "pack_notify.h"

namespace pkg {

namespace {

// A job that posts one call often posts the next within microseconds (a text
// per file); the pumping thread looks out for it up to this long before it
// sleeps.
constexpr std::chrono::microseconds kSpin{50};

}  // namespace

QueueHost::QueueHost(StatusSink statusSink, ProgressSink progressSink)
    : statusSink_(std::move(statusSink)), progressSink_(std::move(progressSink)), spin_(kSpin) {}

void QueueHost::PostToMainThread(std::function<void()> fn) {
  // Notified under the lock: the pumping thread may destroy the host as soon
  // as it sees the item.
  std::lock_guard<std::mutex> lock(m_);
  calls_.push_back(std::move(fn));
  posts_.fetch_add(1, std::memory_order_release);
  if (sleeping_) cv_.notify_all();
}

void QueueHost::ShowProgress(const PackProgress& progress) {
  if (progressSink_) progressSink_(progress);
  if (progress.kind != PackProgress::Kind::kBegins) return;
  status_ = pkg::StatusText(progress);
  if (statusSink_) statusSink_(status_);
}

void QueueHost::PostOutcome(WindowHandle window, const PackOutcome& outcome) {
  const NotifyParams params = NotifyParamsOf(outcome.result);
  std::lock_guard<std::mutex> lock(m_);
  notifications_.push_back({window, params.wParam, params.lParam, outcome});
  posts_.fetch_add(1, std::memory_order_release);
  if (sleeping_) cv_.notify_all();
}

std::optional<PackNotification> QueueHost::Pump(std::chrono::milliseconds timeout) {
  const unsigned seen = posts_.load(std::memory_order_acquire);
  std::unique_lock<std::mutex> lock(m_);
  if (ranCalls_ && calls_.empty() && notifications_.empty() && timeout.count() > 0) {
    lock.unlock();
    spin_.Wait([&] { return posts_.load(std::memory_order_acquire) != seen; });
    lock.lock();
  }
  sleeping_ = true;
  cv_.wait_for(lock, timeout, [this] { return !calls_.empty() || !notifications_.empty(); });
  sleeping_ = false;
  ranCalls_ = !calls_.empty();
  // Calls posted before the notification run first, as a message queue would
  // deliver them. They are taken in runs, so that the job posting the next
  // ones seldom finds the lock held.
  while (!calls_.empty()) {
    running_.swap(calls_);
    lock.unlock();
    for (std::function<void()>& call : running_) call();
    running_.clear();
    lock.lock();
  }
  if (notifications_.empty()) return std::nullopt;
  PackNotification n = notifications_.front();
  notifications_.pop_front();
  return n;
}

PackNotification QueueHost::RunUntilNotified() {
  for (;;) {
    if (auto n = Pump(std::chrono::hours(1))) return *n;
  }
}

}  // namespace pkg

// A short busy wait for an answer that another thread gives within
// microseconds: far cheaper than sleeping and being woken by the system, which
// on a virtual machine can take tens of microseconds each way.
#pragma once

#include <algorithm>
#include <chrono>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace pkg {

// Spins until done() is true, or limit has passed; returns done().
template <class Done>
bool SpinFor(std::chrono::microseconds limit, Done done) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    // The clock is asked only now and then; it costs more than a look.
    for (int i = 0; i < 64; ++i) {
      if (done()) return true;
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
      _mm_pause();
#endif
    }
    if (std::chrono::steady_clock::now() >= until) return done();
  }
}

// A spin whose length follows how it fares: halved after each wait that the
// other thread did not answer in time, doubled after each it did, and now and
// then tried at full length again. On a busy machine, where the other thread
// often is not running, it soon costs next to nothing; on a quiet one it
// saves a sleep and a wake-up per answer. One thread only.
class AdaptiveSpin {
 public:
  explicit AdaptiveSpin(std::chrono::microseconds longest) : longest_(longest), now_(longest) {}

  template <class Done>
  bool Wait(Done done) {
    const bool probe = ++waits_ % kProbeEvery == 0;
    const bool answered = SpinFor(probe ? longest_ : now_, done);
    now_ = answered ? std::min(longest_, now_ * 2) : std::max(kShortest, now_ / 2);
    return answered;
  }

 private:
  static constexpr std::chrono::microseconds kShortest{1};
  static constexpr unsigned kProbeEvery = 64;
  const std::chrono::microseconds longest_;
  std::chrono::microseconds now_;
  unsigned waits_ = 0;
};

}  // namespace pkg

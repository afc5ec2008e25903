// A non-reentrant lock that any thread may release, whose waits come in slices: the caller runs
// its own code between them (gives up a global lock around each wait, handles signals, throws).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace lumarq {

class WaitLock {
 public:
  bool TryAcquire() {
    bool expected = false;
    return held_.compare_exchange_strong(expected, true);
  }
  /// False when the lock was not held.
  bool Release() {
    bool expected = true;
    if (!held_.compare_exchange_strong(expected, false)) return false;
    if (waiters_.load() > 0) {
      std::lock_guard lock(mu_);
      cv_.notify_one();
    }
    return true;
  }
  bool Locked() const { return held_.load(); }

  /// Waits up to `seconds` for the lock; true once acquired.
  bool WaitFor(double seconds);

  /// Blocks until acquired or `timeout_s` (< 0: no limit) passes, in waits of at most `slice_s`
  /// seconds made by `wait(seconds)`, which calls WaitFor and returns its verdict.
  template <class Wait>
  bool AcquireWithin(double timeout_s, double slice_s, Wait&& wait) {
    if (TryAcquire()) return true;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    while (true) {
      double slice = slice_s;
      if (timeout_s >= 0) {
        const double left =
            timeout_s - std::chrono::duration<double>(Clock::now() - start).count();
        if (left <= 0) return TryAcquire();
        slice = std::min(slice, left);
      }
      if (wait(slice)) return true;
    }
  }

 private:
  std::atomic<bool> held_{false};
  std::atomic<int> waiters_{0};
  std::mutex mu_;
  std::condition_variable cv_;
};

}  // namespace lumarq

#include "lumarq/wait_lock.h"

namespace lumarq {

bool WaitLock::WaitFor(double seconds) {
  std::unique_lock lock(mu_);
  // Registered before the retry, so a release that misses the count cannot leave us waiting:
  // it happens after our try-acquire, which then succeeds.
  waiters_.fetch_add(1);
  const bool ok =
      cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return TryAcquire(); });
  waiters_.fetch_sub(1);
  return ok;
}

}  // namespace lumarq

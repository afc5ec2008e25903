#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "lumarq/wait_lock.h"

namespace lumarq {
namespace {

using Clock = std::chrono::steady_clock;

TEST(WaitLock, ReleaseOnlyWhatIsHeld) {
  WaitLock lock;
  EXPECT_FALSE(lock.Release());
  EXPECT_TRUE(lock.TryAcquire());
  EXPECT_TRUE(lock.Locked());
  EXPECT_FALSE(lock.TryAcquire());  // not reentrant
  EXPECT_TRUE(lock.Release());
  EXPECT_FALSE(lock.Locked());
  EXPECT_FALSE(lock.Release());
}

TEST(WaitLock, TimesOutInSlicesNoLongerThanAsked) {
  WaitLock lock;
  ASSERT_TRUE(lock.TryAcquire());
  std::vector<double> slices;
  const auto start = Clock::now();
  const bool got = lock.AcquireWithin(0.06, 0.02, [&](double s) {
    slices.push_back(s);
    return lock.WaitFor(s);
  });
  const double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_FALSE(got);
  EXPECT_GE(waited, 0.06);
  EXPECT_GE(slices.size(), 2u);
  for (double s : slices) EXPECT_LE(s, 0.02);
  EXPECT_TRUE(lock.Locked());
}

TEST(WaitLock, ReleaseFromAnotherThreadWakesTheWaiter) {
  WaitLock lock;
  ASSERT_TRUE(lock.TryAcquire());
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lock.Release();
  });
  // Slices far longer than the hold: only the notification can end the wait early.
  const auto start = Clock::now();
  const bool got = lock.AcquireWithin(-1, 5.0, [&](double s) { return lock.WaitFor(s); });
  const double waited = std::chrono::duration<double>(Clock::now() - start).count();
  releaser.join();
  EXPECT_TRUE(got);
  EXPECT_LT(waited, 2.0);
  EXPECT_TRUE(lock.Locked());
}

TEST(WaitLock, AnErrorBetweenWaitsPropagatesWithoutTakingTheLock) {
  WaitLock lock;
  ASSERT_TRUE(lock.TryAcquire());
  EXPECT_THROW(lock.AcquireWithin(-1, 0.001,
                                  [&](double s) -> bool {
                                    if (!lock.WaitFor(s)) throw std::runtime_error("interrupted");
                                    return true;
                                  }),
               std::runtime_error);
  EXPECT_TRUE(lock.Release());
  EXPECT_FALSE(lock.Locked());
}

TEST(WaitLock, ExcludesOtherThreads) {
  WaitLock lock;
  int counter = 0;  // guarded by the lock alone
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(lock.AcquireWithin(-1, 0.01, [&](double s) { return lock.WaitFor(s); }));
        ++counter;
        ASSERT_TRUE(lock.Release());
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(counter, 8000);
}

}  // namespace
}  // namespace lumarq

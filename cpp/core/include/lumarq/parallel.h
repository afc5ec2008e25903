// A small pool of worker threads for the batch kernels. The thread that waits for a task always
// works on it too, so a task finishes even when every worker is busy or none exists.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

namespace lumarq {

/// Work items 0..count-1 of one task, claimed one at a time by whoever runs the task.
class ParallelTask {
 public:
  /// Hands the task to idle workers at once; `body(i)` runs for every item exactly once.
  ParallelTask(size_t count, std::function<void(size_t)> body);
  /// Waits as Wait() does, swallowing errors (a destructor must not throw).
  ~ParallelTask();
  ParallelTask(const ParallelTask&) = delete;
  ParallelTask& operator=(const ParallelTask&) = delete;

  /// Runs the items nobody has claimed yet, then blocks until the workers' items are done.
  /// Rethrows the first exception a body raised (the other items still run).
  void Wait();

  struct State;

 private:
  std::shared_ptr<State> state_;
  bool waited_ = false;
};

/// Number of worker threads besides the caller (hardware threads - 1, at most 7; 0 on a
/// single core). Threads start on first use and again in a child process after fork().
size_t ParallelWorkers();

}  // namespace lumarq

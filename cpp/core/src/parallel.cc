#include "lumarq/parallel.h"

#include <algorithm>
#include <deque>
#include <thread>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define LUMARQ_HAVE_ATFORK 1
#endif

namespace lumarq {

struct ParallelTask::State {
  std::function<void(size_t)> body;
  size_t count = 0;
  std::atomic<size_t> next{0};
  std::mutex mu;
  std::condition_variable cv;
  size_t done = 0;           // guarded by mu
  std::exception_ptr error;  // guarded by mu; the first one recorded

  /// Runs unclaimed items until none is left.
  void Run() {
    size_t finished = 0;
    std::exception_ptr first;
    for (size_t i = next.fetch_add(1, std::memory_order_relaxed); i < count;
         i = next.fetch_add(1, std::memory_order_relaxed)) {
      try {
        body(i);
      } catch (...) {
        if (!first) first = std::current_exception();
      }
      ++finished;
    }
    if (finished == 0) return;
    std::lock_guard lock(mu);
    if (first && !error) error = first;
    done += finished;
    if (done == count) cv.notify_all();
  }
};

namespace {

using State = ParallelTask::State;

class Pool {
 public:
  Pool() {
    const unsigned hw = std::thread::hardware_concurrency();
    workers_ = hw > 1 ? std::min<size_t>(hw - 1, 7) : 0;
  }

  size_t workers() const { return workers_; }

  void Post(const std::shared_ptr<State>& task, size_t copies) {
    copies = std::min(copies, workers_);
    if (copies == 0) return;
    {
      std::lock_guard lock(mu_);
      if (!started_) {
        started_ = true;
        // Detached and never stopped: they sleep on the condition variable between tasks and
        // end with the process.
        for (size_t i = 0; i < workers_; ++i) std::thread([this] { Loop(); }).detach();
      }
      for (size_t i = 0; i < copies; ++i) queue_.push_back(task);
    }
    if (copies == 1) {
      cv_.notify_one();
    } else {
      cv_.notify_all();
    }
  }

 private:
  void Loop() {
    for (;;) {
      std::shared_ptr<State> task;
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [this] { return !queue_.empty(); });
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      task->Run();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<State>> queue_;
  size_t workers_ = 0;
  bool started_ = false;
};

std::atomic<Pool*> g_pool{nullptr};

#ifdef LUMARQ_HAVE_ATFORK
// A forked child has none of the parent's threads and may inherit a locked mutex: it starts
// over with a fresh pool. The old one is leaked, as nothing in the child can safely free it.
void ResetPoolInChild() { g_pool.store(nullptr, std::memory_order_relaxed); }
#endif

Pool& GetPool() {
  Pool* pool = g_pool.load(std::memory_order_acquire);
  if (pool != nullptr) return *pool;
#ifdef LUMARQ_HAVE_ATFORK
  static const bool registered = (pthread_atfork(nullptr, nullptr, &ResetPoolInChild), true);
  (void)registered;
#endif
  Pool* fresh = new Pool();
  if (g_pool.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *pool;
}

}  // namespace

ParallelTask::ParallelTask(size_t count, std::function<void(size_t)> body)
    : state_(std::make_shared<State>()) {
  state_->body = std::move(body);
  state_->count = count;
  // The waiting thread takes items too, so one item never needs a worker.
  if (count > 1) GetPool().Post(state_, count - 1);
}

ParallelTask::~ParallelTask() {
  if (!waited_) {
    try {
      Wait();
    } catch (...) {
    }
  }
}

void ParallelTask::Wait() {
  waited_ = true;
  state_->Run();
  std::unique_lock lock(state_->mu);
  state_->cv.wait(lock, [this] { return state_->done >= state_->count; });
  if (state_->error) std::rethrow_exception(state_->error);
}

size_t ParallelWorkers() { return GetPool().workers(); }

}  // namespace lumarq

#include "platform/thread_pool.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>

namespace quillavor {

unsigned CoresAvailable() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// One call of ParallelFor. Workers that take part hold it by shared_ptr, so it
// outlives the call when a worker looks at it after the last task is claimed;
// `task` is only called for a claimed index, while the caller still waits.
struct ThreadPool::Loop {
  Loop(size_t n, const std::function<void(size_t)>& t) : count(n), task(t) {}

  const size_t count;
  const std::function<void(size_t)>& task;
  std::atomic<size_t> next{0};        // the next index to claim
  std::atomic<bool> failed{false};    // a task threw: skip the rest
  std::mutex mutex;
  std::condition_variable finished;   // signalled when `done` reaches `count`
  size_t done = 0;                    // guarded by mutex
  std::exception_ptr error;           // the first exception, guarded by mutex
};

ThreadPool::ThreadPool(unsigned threads) {
  if (threads == 0) threads = CoresAvailable();
  workers_.reserve(threads - 1);
  for (unsigned i = 1; i < threads; ++i) {
    workers_.emplace_back([this](std::stop_token stop) { Work(stop); });
  }
}

ThreadPool::~ThreadPool() {
  for (std::jthread& worker : workers_) worker.request_stop();
  wake_.notify_all();
  workers_.clear();  // joins
}

void ThreadPool::RunTasks(Loop& loop) {
  for (size_t i = loop.next.fetch_add(1); i < loop.count; i = loop.next.fetch_add(1)) {
    std::exception_ptr error;
    if (!loop.failed.load()) {
      try {
        loop.task(i);
      } catch (...) {
        error = std::current_exception();
        loop.failed.store(true);
      }
    }
    const std::lock_guard lock(loop.mutex);
    if (error && !loop.error) loop.error = error;
    if (++loop.done == loop.count) loop.finished.notify_all();
  }
}

void ThreadPool::Work(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (wake_.wait(lock, stop, [this] { return !loops_.empty(); })) {
    std::shared_ptr<Loop> loop = loops_.front();
    if (loop->next.load() >= loop->count) {
      loops_.pop_front();  // every task claimed: nothing left here for anyone
      continue;
    }
    lock.unlock();
    RunTasks(*loop);
    lock.lock();
  }
}

void ThreadPool::ParallelFor(size_t count, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  const auto loop = std::make_shared<Loop>(count, task);
  if (!workers_.empty() && count > 1) {
    {
      const std::lock_guard lock(mutex_);
      loops_.push_back(loop);
    }
    wake_.notify_all();
  }
  RunTasks(*loop);
  {
    const std::lock_guard lock(mutex_);
    std::erase(loops_, loop);
  }
  std::unique_lock lock(loop->mutex);
  loop->finished.wait(lock, [&] { return loop->done == loop->count; });
  if (loop->error) std::rethrow_exception(loop->error);
}

}  // namespace quillavor

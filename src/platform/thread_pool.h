// A small pool of worker threads that runs loops of independent tasks. One
// pool can serve a whole run: a task may itself run a loop on the same pool
// (a module build compressing its image in chunks, say), because the thread
// that starts a loop works on it too instead of only waiting.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

namespace quillavor {

// The number of cores this process may run on (its CPU affinity), at least 1.
unsigned CoresAvailable();

class ThreadPool {
 public:
  // `threads`: how many threads work on a loop at once, the calling thread
  // included, so a pool of 1 starts no thread and runs every task on the
  // caller. 0 means one per core (CoresAvailable()).
  explicit ThreadPool(unsigned threads = 0);
  // Stops and joins the workers. No loop may still be running.
  ~ThreadPool();
  // Threads hold a pointer to the pool.
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The number of threads that work on a loop, the caller's included.
  unsigned Threads() const { return static_cast<unsigned>(workers_.size()) + 1; }

  // Runs `task(i)` for every i in [0, count), on the workers and on the
  // calling thread, in no fixed order (claimed in ascending order), and
  // returns when all have finished. When a task throws, the tasks not yet
  // started are skipped and the first exception is rethrown here.
  void ParallelFor(size_t count, const std::function<void(size_t)>& task);

 private:
  struct Loop;

  void Work(std::stop_token stop);
  // Claims and runs tasks of `loop` until none is left to claim.
  static void RunTasks(Loop& loop);

  std::mutex mutex_;
  std::condition_variable_any wake_;
  // Loops that may still have tasks to claim, oldest first (guarded by mutex_).
  std::deque<std::shared_ptr<Loop>> loops_;
  // Declared last: the workers stop and are joined before the members above go.
  std::vector<std::jthread> workers_;
};

}  // namespace quillavor

#include "platform/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace quillavor {
namespace {

// Every task runs exactly once, also when tasks run loops of their own on the
// same pool (which must not wait forever for threads busy with the outer loop).
TEST(ThreadPoolTest, NestedLoopsRunEveryTaskOnce) {
  for (unsigned threads : {1u, 2u, 4u}) {
    ThreadPool pool(threads);
    EXPECT_EQ(pool.Threads(), threads);
    std::vector<std::atomic<int>> runs(8 * 100);
    pool.ParallelFor(8, [&](size_t outer) {
      pool.ParallelFor(100, [&](size_t inner) { ++runs[outer * 100 + inner]; });
    });
    for (size_t i = 0; i < runs.size(); ++i) ASSERT_EQ(runs[i].load(), 1) << threads << " " << i;
  }
}

TEST(ThreadPoolTest, FailureIsRethrownAndThePoolKeepsWorking) {
  for (unsigned threads : {1u, 3u}) {
    ThreadPool pool(threads);
    std::atomic<int> ran{0};
    EXPECT_THROW(pool.ParallelFor(1000,
                                  [&](size_t i) {
                                    ++ran;
                                    if (i == 3) throw std::runtime_error("task 3");
                                  }),
                 std::runtime_error);
    // On the caller alone tasks run in order, and those after a failure are skipped.
    if (threads == 1) {
      EXPECT_EQ(ran.load(), 4);
    }
    std::atomic<int> after{0};
    pool.ParallelFor(50, [&](size_t) { ++after; });
    EXPECT_EQ(after.load(), 50);
  }
  EXPECT_GE(CoresAvailable(), 1u);
}

}  // namespace
}  // namespace quillavor

#include "tunnel/pixel_work_pool.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace korvan {
namespace {

using namespace std::chrono_literals;

// Twenty workers at once on a pool of two: each gets its own result, the
// work runs on pool threads (never the callers'), no more than two jobs ever
// run together, and each pool thread ran its start hook once, first.
TEST(PixelWorkPool, ManyCallersShareFewThreadsAndEachGetsItsOwnResult) {
  std::atomic<int> running{0}, most{0}, started{0};
  std::mutex seen_mutex;
  std::set<std::thread::id> pool_threads, hooked_threads;
  PixelWorkPool pool(2, [&] {
    ++started;
    std::lock_guard lock(seen_mutex);
    hooked_threads.insert(std::this_thread::get_id());
  });

  std::vector<std::thread> callers;
  std::vector<std::vector<std::uint8_t>> results(20);
  std::vector<std::thread::id> caller_ids(20);
  for (int i = 0; i < 20; ++i) {
    callers.emplace_back([&, i] {
      caller_ids[i] = std::this_thread::get_id();
      results[i] = pool.Run([&, i] {
        const int now = ++running;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        {
          std::lock_guard lock(seen_mutex);
          pool_threads.insert(std::this_thread::get_id());
        }
        std::this_thread::sleep_for(2ms);
        --running;
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(i), 7};
      });
    });
  }
  for (auto& t : callers) t.join();

  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(results[i], (std::vector<std::uint8_t>{static_cast<std::uint8_t>(i), 7})) << "caller " << i;
    EXPECT_EQ(pool_threads.count(caller_ids[i]), 0u) << "ran on its caller's thread";
  }
  EXPECT_LE(most.load(), 2);
  EXPECT_GE(most.load(), 1);
  EXPECT_LE(pool_threads.size(), 2u);
  EXPECT_EQ(hooked_threads, pool_threads);
  EXPECT_EQ(started.load(), static_cast<int>(pool_threads.size()));
}

TEST(PixelWorkPool, AFailingJobGivesAnEmptyResultAndThePoolGoesOn) {
  PixelWorkPool pool(1);
  EXPECT_TRUE(pool.Run([]() -> std::vector<std::uint8_t> { throw std::runtime_error("no memory for pixels"); })
                  .empty());
  EXPECT_EQ(pool.Run([] { return std::vector<std::uint8_t>{1, 2, 3}; }), (std::vector<std::uint8_t>{1, 2, 3}));
}

// A pool that never got a job has started no thread; ending it while a
// job runs lets that job finish and hand back its result.
TEST(PixelWorkPool, StartsThreadsOnlyForWorkAndFinishesJobsAtShutdown) {
  std::atomic<int> started{0};
  { PixelWorkPool idle(4, [&] { ++started; }); }
  EXPECT_EQ(started.load(), 0);

  std::vector<std::uint8_t> result;
  std::atomic<bool> inside{false};
  auto pool = std::make_unique<PixelWorkPool>(1);
  std::thread caller([&] {
    result = pool->Run([&] {
      inside = true;
      std::this_thread::sleep_for(30ms);
      return std::vector<std::uint8_t>{42};
    });
  });
  while (!inside) std::this_thread::sleep_for(1ms);
  pool.reset();  // waits for the running job
  caller.join();
  EXPECT_EQ(result, std::vector<std::uint8_t>{42});
}

}  // namespace
}  // namespace korvan

// The main thread's loop: work handed over from many threads at once runs
// on the loop's thread, one piece at a time, and each caller returns only
// after its piece has run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/event_loop.h"

namespace korvan {
namespace {

TEST(EventLoop, InvokeFromManyThreadsRunsEachOnceOnTheLoopAndWaitsForIt) {
  EventLoop loop;
  const auto loop_thread = std::this_thread::get_id();
  constexpr int kThreads = 8;
  constexpr int kCalls = 2000;
  long long counter = 0;  // touched only on the loop's thread
  std::atomic<int> wrong_thread{0};
  std::atomic<int> not_finished{0};
  std::atomic<int> done_threads{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i) {
        bool ran = false;
        loop.Invoke([&] {
          if (std::this_thread::get_id() != loop_thread) ++wrong_thread;
          ++counter;
          ran = true;
        });
        if (!ran) ++not_finished;
      }
      if (++done_threads == kThreads) loop.Quit();
    });
  }
  EXPECT_EQ(loop.Run(), 0);
  for (auto& w : workers) w.join();
  EXPECT_EQ(counter, static_cast<long long>(kThreads) * kCalls);
  EXPECT_EQ(wrong_thread.load(), 0);
  EXPECT_EQ(not_finished.load(), 0) << "Invoke returned before its work had run";
}

TEST(EventLoop, PostedWorkRunsInOrderAndTimersRepeat) {
  EventLoop loop;
  std::vector<int> order;
  int ticks = 0;
  loop.StartTimer(std::chrono::milliseconds(5), [&] {
    if (++ticks == 3) loop.Quit();
  });
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop.Post([&order, i] { order.push_back(i); });
  });
  poster.join();
  loop.Run();
  ASSERT_EQ(order.size(), 100U);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(ticks, 3);
}

TEST(EventLoop, AfterFinishInvokeRunsOnTheCallersThread) {
  EventLoop loop;
  loop.Finish();
  std::thread::id ran_on;
  std::thread caller([&] { loop.Invoke([&] { ran_on = std::this_thread::get_id(); }); });
  const auto caller_id = caller.get_id();
  caller.join();
  EXPECT_EQ(ran_on, caller_id) << "a worker ending after the tear-down must not wait for the loop";
}

}  // namespace
}  // namespace korvan

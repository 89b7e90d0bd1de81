// The main thread's loop over Qt: hand-offs from many workers each run once
// on the GUI thread while their caller waits, timers repeat and may stop
// themselves, Quit comes from any thread, and the tear-down's pump and
// Finish() keep workers that are still ending from waiting forever.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "gui/qt_main_loop.h"
#include "tests/gui/gui_test_support.h"

namespace korvan::gui {
namespace {

using namespace std::chrono_literals;

TEST(QtMainLoop, InvokeFromManyThreadsRunsEachOnceOnTheGuiThreadAndWaitsForIt) {
  test::GuiApp();
  QtMainLoop loop;
  const auto gui_thread = std::this_thread::get_id();
  constexpr int kThreads = 8;
  constexpr int kCalls = 2000;
  long long counter = 0;  // touched only on the GUI thread
  std::atomic<int> wrong_thread{0};
  std::atomic<int> not_finished{0};
  std::atomic<int> done_threads{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i) {
        bool ran = false;
        loop.Invoke([&] {
          if (std::this_thread::get_id() != gui_thread) ++wrong_thread;
          ++counter;
          ran = true;
        });
        if (!ran) ++not_finished;
      }
      if (++done_threads == kThreads) loop.Quit();
    });
  }
  loop.Run();
  for (auto& w : workers) w.join();
  EXPECT_EQ(counter, static_cast<long long>(kThreads) * kCalls);
  EXPECT_EQ(wrong_thread.load(), 0);
  EXPECT_EQ(not_finished.load(), 0) << "Invoke returned before its work had run";
}

TEST(QtMainLoop, PostedWorkRunsInOrderAndTimersRepeatUntilTheyStopThemselves) {
  test::GuiApp();
  QtMainLoop loop;
  std::vector<int> order;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) loop.Post([&order, i] { order.push_back(i); });
  });
  poster.join();
  int ticks = 0;
  QtMainLoop::TimerId id = 0;
  id = loop.StartTimer(5ms, [&] {
    if (++ticks == 3) {
      loop.StopTimer(id);
      // Any further tick would show in `ticks` before the loop ends.
      QTimer::singleShot(60, [&] { loop.Quit(); });
    }
  });
  loop.Run();
  ASSERT_EQ(order.size(), 100U);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(ticks, 3);
}

TEST(QtMainLoop, TimersStartedAndStoppedFromAWorkerRunOnTheGuiThread) {
  test::GuiApp();
  QtMainLoop loop;
  const auto gui_thread = std::this_thread::get_id();
  std::atomic<int> ticks{0};
  std::atomic<bool> off_thread{false};
  std::thread worker([&] {
    const auto id = loop.StartTimer(2ms, [&] {
      if (std::this_thread::get_id() != gui_thread) off_thread = true;
      ++ticks;
    });
    while (ticks.load() < 3) std::this_thread::sleep_for(1ms);
    loop.StopTimer(id);
    loop.Post([&] { QTimer::singleShot(30, [&] { loop.Quit(); }); });
  });
  loop.Run();
  worker.join();
  const int at_end = ticks.load();
  EXPECT_GE(at_end, 3);
  EXPECT_FALSE(off_thread.load());
  // Stopped means stopped: another round of the loop adds no tick.
  QTimer::singleShot(30, [&] { loop.Quit(); });
  loop.Run();
  EXPECT_EQ(ticks.load(), at_end);
}

TEST(QtMainLoop, QuitBeforeRunEndsTheLoopAsSoonAsItStarts) {
  test::GuiApp();
  QtMainLoop loop;
  bool posted_ran = false;
  loop.Post([&] { posted_ran = true; });
  loop.Quit();
  const auto start = std::chrono::steady_clock::now();
  loop.Run();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(posted_ran);
}

// The main window refuses to close (it hides or minimises instead); the
// tray's Exit must end the loop all the same.
class StubbornWindow : public QWidget {
 protected:
  void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

TEST(QtMainLoop, QuitEndsTheLoopEvenWhenAWindowRefusesToClose) {
  test::GuiApp();
  QtMainLoop loop;
  StubbornWindow window;
  window.show();
  // Should Quit fail, this ends the loop, later and visibly so.
  QTimer fallback;
  fallback.setSingleShot(true);
  QObject::connect(&fallback, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  fallback.start(3000);
  std::thread worker([&] { loop.Quit(); });
  const auto start = std::chrono::steady_clock::now();
  loop.Run();
  worker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << "the window's refusal cancelled the end";
  EXPECT_TRUE(window.isVisible());
}

// The tear-down after the loop: the core waits for its workers while
// pumping their hand-offs, then Finish() lets stragglers run on their own
// thread rather than wait for a loop that is gone.
TEST(QtMainLoop, PumpAfterTheLoopAndFinishLetEndingWorkersThrough) {
  test::GuiApp();
  QtMainLoop loop;
  std::atomic<int> handed_over{0};
  std::atomic<int> ended{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      while (!stop.load()) loop.Invoke([&] { ++handed_over; });
      loop.Invoke([&] { ++handed_over; });  // the last report of an ending worker
      ++ended;
    });
  }
  while (handed_over.load() < 100) loop.RunPending();
  stop = true;
  // What WorkerLauncher::EndAll does, with no Qt loop running.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (ended.load() < 4 && std::chrono::steady_clock::now() < deadline) {
    loop.RunPending();
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(ended.load(), 4) << "a worker waited for a hand-off nobody ran";
  loop.Finish();
  for (auto& w : workers) w.join();
  const int before = handed_over.load();
  std::thread late([&] { loop.Invoke([&] { ++handed_over; }); });
  late.join();
  EXPECT_EQ(handed_over.load(), before + 1);
}

}  // namespace
}  // namespace korvan::gui

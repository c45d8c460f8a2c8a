#include "net/event_wait.h"

#include "net/fibers.h"

#include <QCoreApplication>
#include <QTimer>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kestova {
namespace {

using namespace std::chrono_literals;

TEST(EventWait, AConditionMadeTrueByAPostedEventEndsTheWaitAtOnce) {
  // Nothing else happens after the posted call: a dispatcher that handles
  // posted events and then blocks must still return.
  bool done = false;
  // A chain of posted calls, each posting the next, as a send posts its own
  // write notice; the last one satisfies the wait.
  int left = 1000;
  std::function<void()> step = [&] {
    if (--left == 0) {
      done = true;
      return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), step, Qt::QueuedConnection);
  };
  QMetaObject::invokeMethod(QCoreApplication::instance(), step, Qt::QueuedConnection);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitUntil([&] { return done; }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the wait ran into its deadline";
}

TEST(EventWait, TheDeadlineEndsAWaitThatNothingSatisfies) {
  EXPECT_FALSE(WaitUntil([] { return false; }, 20ms));
  EXPECT_TRUE(WaitUntil([] { return true; }, 0ms));
}

TEST(EventWait, NestedWaitsEachSeeTheirOwnCondition) {
  bool inner_done = false;
  bool outer_done = false;
  QTimer::singleShot(1, [&] {
    QTimer::singleShot(1, [&] { inner_done = true; });
    EXPECT_TRUE(WaitUntil([&] { return inner_done; }, 5s));
    outer_done = true;
  });
  EXPECT_TRUE(WaitUntil([&] { return outer_done; }, 5s));
}

// Tasks that wait run side by side on the one thread: three waits of 200 ms
// take about 200 ms together, each task's own deadline still ends its wait,
// and a task that lets events through (ProcessPendingEvents) hands the
// thread to the others while it works.
TEST(Fibers, TasksThatWaitRunSideBySide) {
  std::vector<std::string> order;
  bool fired[3] = {false, false, false};
  std::vector<std::function<void()>> tasks;
  for (int i = 0; i < 3; ++i) {
    tasks.push_back([&, i] {
      EXPECT_TRUE(InTask());
      QTimer::singleShot(200 - 50 * i, [&fired, i] { fired[i] = true; });
      order.push_back("wait " + std::to_string(i));
      EXPECT_TRUE(WaitUntil([&] { return fired[i]; }, 5s));
      order.push_back("woke " + std::to_string(i));
      EXPECT_FALSE(WaitUntil([] { return false; }, 30ms)) << "a wait nothing satisfies ends at its deadline";
    });
  }
  std::vector<size_t> resumed;
  const auto start = std::chrono::steady_clock::now();
  RunTogether(tasks, [&](size_t index) { resumed.push_back(index); });
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(InTask());
  EXPECT_LT(took, 450ms) << "the waits ran one after the other";
  EXPECT_GE(took, 200ms);
  // The shortest timer wakes its task first.
  const std::vector<std::string> expected = {"wait 0", "wait 1", "wait 2", "woke 2", "woke 1", "woke 0"};
  EXPECT_EQ(order, expected);
  ASSERT_FALSE(resumed.empty());
  EXPECT_EQ(resumed.front(), 0u);

  std::vector<int> turns;
  std::vector<std::function<void()>> workers;
  for (int i = 0; i < 2; ++i) {
    workers.push_back([&turns, i] {
      for (int step = 0; step < 3; ++step) {
        turns.push_back(i);
        ProcessPendingEvents();
      }
    });
  }
  RunTogether(workers);
  EXPECT_EQ(turns, (std::vector<int>{0, 1, 0, 1, 0, 1}));
}

}  // namespace
}  // namespace kestova

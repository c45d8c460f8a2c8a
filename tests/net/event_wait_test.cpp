#include "net/event_wait.h"

#include <QCoreApplication>
#include <QTimer>

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

}  // namespace
}  // namespace kestova

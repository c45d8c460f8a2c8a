#include "net/event_wait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <atomic>

#include "net/fibers.h"

namespace kestova {

namespace {
std::atomic<bool> terminating{false};
}  // namespace

void SetTerminating(bool value) {
  terminating = value;
  if (value) {
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->wakeUp();
  }
}

bool Terminating() { return terminating; }

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  if (done()) return true;
  // A task of several on the thread waits by handing the thread back: the
  // loop below runs once, for all of them.
  if (InTask()) return fiber_detail::Yield(&done, limit.count());
  const bool bounded = limit.count() >= 0;
  QDeadlineTimer deadline(bounded ? limit.count() : -1);
  // The timer only wakes the loop at the deadline; the loop itself blocks in
  // the system's poll until something happens.
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  if (bounded) wake.start(limit);
  // Some event dispatchers handle posted events before they block, so the
  // condition can come true just before a block that nothing would end.
  // Checking it there, and waking the loop, closes that gap.
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  const QMetaObject::Connection recheck =
      QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, [&] {
        if (done()) dispatcher->wakeUp();
      });
  bool met = false;
  while (!(met = done())) {
    if ((bounded && deadline.hasExpired()) || Terminating()) break;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  QObject::disconnect(recheck);
  return met;
}

void ProcessPendingEvents() {
  if (InTask()) {
    fiber_detail::Yield(nullptr, -1);
    return;
  }
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace kestova

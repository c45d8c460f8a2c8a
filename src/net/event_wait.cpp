#include "net/event_wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace kestova {

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  if (done()) return true;
  const bool bounded = limit.count() >= 0;
  QDeadlineTimer deadline(bounded ? limit.count() : -1);
  // The timer only wakes the loop at the deadline; the loop itself blocks in
  // the system's poll until something happens.
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  if (bounded) wake.start(limit);
  while (!done()) {
    if (bounded && deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

void ProcessPendingEvents() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace kestova

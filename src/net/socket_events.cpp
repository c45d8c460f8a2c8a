// The Qt side of one socket: its notifiers, and the posted notices and
// deferred actions it sends to itself.
#include "net/socket_events.h"

#include <QCoreApplication>

#include "net/async_socket.h"

namespace kestova {

namespace {

class NoticeEvent : public QEvent {
 public:
  static QEvent::Type Id() {
    static const auto id = static_cast<QEvent::Type>(QEvent::registerEventType());
    return id;
  }
  NoticeEvent(SocketEvents::Action what, std::uint64_t for_serial, unsigned notice_bits, int code)
      : QEvent(Id()), action(what), serial(for_serial), bits(notice_bits), error(code) {}
  SocketEvents::Action action;
  std::uint64_t serial;
  unsigned bits;
  int error;
};

}  // namespace

SocketEvents::~SocketEvents() = default;

void SocketEvents::Watch(int fd) {
  Unwatch();
  read_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  read_->setEnabled(false);
  connect(read_, &QSocketNotifier::activated, this, [this] {
    Guarded(
        owner_, [this] { owner_.Readable(); }, &AsyncSocket::BgException);
  });
  write_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  write_->setEnabled(false);
  connect(write_, &QSocketNotifier::activated, this, [this] {
    Guarded(
        owner_, [this] { owner_.Writable(); }, &AsyncSocket::BgException);
  });
}

void SocketEvents::Unwatch() {
  // A notifier may be the one whose signal is being handled right now, so it
  // is only switched off and disconnected here, and deleted later.
  for (QSocketNotifier* notifier : {read_, write_}) {
    if (!notifier) continue;
    notifier->setEnabled(false);
    notifier->disconnect(this);
    notifier->deleteLater();
  }
  read_ = write_ = nullptr;
}

void SocketEvents::Enable(bool read, bool write) {
  if (read_ && read_->isEnabled() != read) read_->setEnabled(read);
  if (write_ && write_->isEnabled() != write) write_->setEnabled(write);
}

void SocketEvents::Post(Action action, std::uint64_t serial, unsigned bits, int error) {
  QCoreApplication::postEvent(this, new NoticeEvent(action, serial, bits, error));
}

bool SocketEvents::event(QEvent* event) {
  if (event->type() != NoticeEvent::Id()) return QObject::event(event);
  const auto* notice = static_cast<NoticeEvent*>(event);
  switch (notice->action) {
    case Action::Notice: owner_.Dispatch(notice->serial, notice->bits, notice->error); break;
    case Action::CloseLater:
      Guarded(
          owner_, [this] { owner_.Close(); }, &AsyncSocket::BgException);
      break;
    case Action::FreeLater:
      owner_.ending_ = AsyncSocket::Ending::FreedLater;
      delete &owner_;
      break;
    case Action::TestException:
      Guarded(
          owner_, [] { throw ESocketException("Test exception in AsyncSocket"); }, &AsyncSocket::BgException);
      break;
  }
  return true;
}

}  // namespace kestova

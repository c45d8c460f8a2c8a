// The Qt side of one socket: the notifiers that watch its handle and the
// object that receives the notices and deferred actions it posts to itself.
// Private to the socket layer.
#pragma once

#include <QEvent>
#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <exception>

#include "net/socket_types.h"

namespace kestova {

class AsyncSocket;

class SocketEvents : public QObject {
 public:
  enum class Action { Notice, CloseLater, FreeLater, TestException };

  explicit SocketEvents(AsyncSocket& owner) : owner_(owner) {}
  ~SocketEvents() override;

  // Starts watching a new handle; both notifiers begin disabled.
  void Watch(int fd);
  // Stops watching. Must come before the handle is closed.
  void Unwatch();
  void Enable(bool read, bool write);
  void Post(Action action, std::uint64_t serial = 0, unsigned bits = 0, int error = 0);

 protected:
  bool event(QEvent* event) override;

 private:
  AsyncSocket& owner_;
  QSocketNotifier* read_ = nullptr;
  QSocketNotifier* write_ = nullptr;
};

// Runs `action`; nothing may leave a Qt event handler as an exception, so
// one that does goes to the socket's background-exception handling.
template <typename Action>
void Guarded(AsyncSocket& socket, Action action, void (AsyncSocket::*bg)(const std::exception&)) {
  try {
    action();
  } catch (const std::exception& error) {
    (socket.*bg)(error);
  } catch (...) {
    (socket.*bg)(ESocketException("Unknown exception in a socket event handler"));
  }
}

}  // namespace kestova

// What the socket tests share: a recorder of a socket's events, and helpers
// that aim and connect a socket at a loopback listener.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "net/async_socket.h"
#include "net/event_wait.h"
#include "support/loopback_peer.h"

namespace kestova::testing {

// Records every event of a socket as a short line, in order.
struct Recorder {
  std::vector<std::string> events;

  explicit Recorder(AsyncSocket& socket) {
    socket.OnSessionConnected = [this](AsyncSocket&, int e) { Add("connected", e); };
    socket.OnSessionClosed = [this](AsyncSocket&, int e) { Add("closed", e); };
    socket.OnDataSent = [this](AsyncSocket&, int e) { Add("sent", e); };
    socket.OnDnsLookupDone = [this](AsyncSocket&, int e) { Add("dns", e); };
    socket.OnSessionAvailable = [this](AsyncSocket&, int e) { Add("available", e); };
  }
  void Add(const char* what, int error) { events.push_back(std::string(what) + ":" + std::to_string(error)); }
  int Count(const std::string& prefix) const {
    return static_cast<int>(
        std::count_if(events.begin(), events.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }));
  }
};

inline bool WaitFor(const std::function<bool()>& done) { return WaitUntil(done, std::chrono::seconds(5)); }

inline void Aim(AsyncSocket& socket, const std::string& port) {
  socket.SetAddr("127.0.0.1");
  socket.SetPort(port);
}

// Connects an aimed socket to the listener and waits until it is up; the
// peer's handle, or -1.
inline int Connected(AsyncSocket& socket, RawListener& listener) {
  socket.Connect();
  const int peer = listener.Accept();
  if (peer < 0 || !WaitFor([&] { return socket.State() == SocketState::wsConnected; })) return -1;
  return peer;
}

}  // namespace kestova::testing

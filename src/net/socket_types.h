// Types shared by the event-driven socket and its callers.
#pragma once

#include <stdexcept>
#include <string>

namespace kestova {

// The socket layer's exception: argument and state errors, and network errors
// reported while no OnError handler is assigned.
class ESocketException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SocketState {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed,
};

const char* SocketStateName(SocketState state);

// ComponentOptions bits.
enum AsyncSocketOption : unsigned {
  wsoNoReceiveLoop = 1u << 0,  // one receive attempt per readable notice
  wsoTcpNoDelay = 1u << 1,     // no send coalescing on connect
};

enum class SocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

// Event bits of one socket notice.
enum SocketNoticeBits : unsigned {
  kNoticeRead = 1,
  kNoticeWrite = 2,
  kNoticeAccept = 8,
  kNoticeConnect = 16,
  kNoticeClose = 32,
};

}  // namespace kestova

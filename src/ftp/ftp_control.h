// The control connection: one TCP connection to the server (or to the
// proxy), the command lines sent on it and the reply lines read from it. It
// knows nothing of requests; it says what happened, and the client decides.
#pragma once

#include <functional>
#include <string>

#include "ftp/ftp_reply.h"
#include "net/async_socket.h"

namespace kestova {

class ControlConnection {
 public:
  ControlConnection();
  ~ControlConnection();
  ControlConnection(const ControlConnection&) = delete;
  ControlConnection& operator=(const ControlConnection&) = delete;

  AsyncSocket& Socket() { return socket_; }
  const AsyncSocket& Socket() const { return socket_; }
  // The socket is not closed (which is not the same as logged in).
  bool NotClosed() const { return socket_.State() != SocketState::wsClosed; }
  // A connection was made and has not ended since.
  bool Open() const { return open_; }

  // Looks up the host, then (from OnLookupDone) connects to it. Both throw
  // ESocketException when they cannot start.
  void Lookup(const std::string& host);
  void Connect(const std::string& port, const std::string& local_addr);

  enum class Sent { Sent, Refused, NotConnected };
  // Sends one command line. Refused, with nothing sent, when the line holds
  // CR, LF or NUL (it would end early, and the rest would be read as another
  // command); NotConnected when there is no connection to send it on.
  Sent Send(const std::string& line);

  // Starts TLS on the open connection. Whatever was received before and not
  // yet read as a line is forgotten: it came in clear, and a reply injected
  // there must not count as one from the protected session.
  void StartTls(const TlsSettings& settings);

  void Close();
  // Drops the connection at once, a lookup included, and forgets what was
  // received.
  void Abort();
  // Forgets received bytes that do not yet make a line.
  void ForgetReceived() { reader_.Clear(); }

  // A bare LF ends a reply line (else only CR LF does).
  bool AcceptBareLf = true;

  // Events, from the event loop.
  std::function<void(int error)> OnLookupDone;
  std::function<void(int error)> OnConnected;
  // One complete reply line, without its line end. The handler may close
  // the connection; no further line is then delivered.
  std::function<void(std::string line)> OnLine;
  // Received bytes that can never make a line: a zero byte, or a line
  // longer than the buffer.
  std::function<void(const std::string& why)> OnUnreadable;
  // The TLS handshake StartTls began has ended (0, or the error code).
  std::function<void(int error)> OnSecured;
  // The connection ended; `was_open` when it had been made.
  std::function<void(int error, bool was_open)> OnClosed;

 private:
  void DataAvailable();

  AsyncSocket socket_;
  ReplyReader reader_;
  bool open_ = false;
};

}  // namespace kestova

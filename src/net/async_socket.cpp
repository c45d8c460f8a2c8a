#include "net/async_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "common/text_helpers.h"
#include "net/dns_lookup.h"
#include "net/event_wait.h"
#include "net/resolve.h"
#include "net/socket_events.h"
#include "platform/socket_errors.h"

namespace kestova {

namespace {

std::atomic<int> live_sockets{0};

constexpr int kListenBacklog = 5;

Q_LOGGING_CATEGORY(lcSocket, "kestova.socket", QtWarningMsg)

int LastSystemError() { return SocketErrorFromErrno(errno); }

std::string Formatted(const char* format, int code) {
  char text[128];
  std::snprintf(text, sizeof text, format, code);
  return text;
}

}  // namespace

AsyncSocket::AsyncSocket() : events_(std::make_unique<SocketEvents>(*this)) {
  ++live_sockets;
  Reset();
}

AsyncSocket::~AsyncSocket() {
  if (ending_ == Ending::Alive) ending_ = Ending::Destroyed;
  try {
    CancelLookup();
  } catch (...) {
  }
  try {
    if (state_ != SocketState::wsClosed || fd_ >= 0) InternalClose(true, 0);
  } catch (...) {
  }
  if (fd_ >= 0) ReleaseHandle();
  --live_sockets;
  // FreeLater runs inside events_: it must outlive this call.
  if (ending_ == Ending::FreedLater) events_.release()->deleteLater();
}

int AsyncSocket::LiveSocketCount() { return live_sockets.load(); }

// ---- Settings

void AsyncSocket::SetAddr(const std::string& value) {
  if (state_ != SocketState::wsClosed) return Report("Cannot change Addr if not closed");
  addr_ = TrimBlanks(value);
  addr_setting_ = addr_.empty() ? Setting::Unset : Setting::Given;
}

void AsyncSocket::SetPort(const std::string& value) {
  if (state_ != SocketState::wsClosed) return Report("Cannot change Port if not closed");
  port_ = TrimBlanks(value);
  port_setting_ = port_.empty() ? Setting::Unset : Setting::Given;
}

void AsyncSocket::SetLocalAddr(const std::string& value) {
  if (state_ != SocketState::wsClosed) return Report("Cannot change LocalAddr if not closed");
  local_addr_ = value.empty() ? "0.0.0.0" : value;
}

void AsyncSocket::SetLocalPort(const std::string& value) {
  if (state_ != SocketState::wsClosed) return Report("Cannot change LocalPort if not closed");
  local_port_ = value;
  local_port_resolved_ = false;
}

std::string AsyncSocket::PeerAddr() {
  if (state_ != SocketState::wsConnected) return "error";
  SocketAddress peer;
  peer.size = sizeof peer.storage;
  if (::getpeername(fd_, peer.Raw(), &peer.size) != 0) {
    SocketError("GetPeerName", LastSystemError());
    return "error";
  }
  return peer.Text();
}

std::string AsyncSocket::PeerPort() {
  if (state_ != SocketState::wsConnected) return "error";
  SocketAddress peer;
  peer.size = sizeof peer.storage;
  if (::getpeername(fd_, peer.Raw(), &peer.size) != 0) {
    SocketError("GetPeerPort", LastSystemError());
    return "error";
  }
  return std::to_string(peer.Port());
}

std::string AsyncSocket::GetXAddr() {
  SocketAddress local;
  const bool bound =
      state_ == SocketState::wsBound || state_ == SocketState::wsConnected || state_ == SocketState::wsListening;
  if (!bound || GetLocalName(local) != 0) return "error";
  return local.Text();
}

std::string AsyncSocket::GetXPort() {
  SocketAddress local;
  const bool bound =
      state_ == SocketState::wsBound || state_ == SocketState::wsConnected || state_ == SocketState::wsListening;
  if (!bound || GetLocalName(local) != 0) return "error";
  return std::to_string(local.Port());
}

int AsyncSocket::GetLocalName(SocketAddress& local) {
  local.size = sizeof local.storage;
  if (::getsockname(fd_, local.Raw(), &local.size) != 0) return LastSystemError();
  return 0;
}

// ---- Errors

void AsyncSocket::Report(const std::string& message) {
  last_error_message_ = message;
  if (const auto handler = OnError) {
    handler(*this);
    return;
  }
  throw ESocketException(message);
}

void AsyncSocket::SocketError(const std::string& label, int code) {
  const std::string message =
      "Error " + std::to_string(code) + " in function " + label + "\r\n" + SocketErrorText(code);
  // A connection found lost ends here, before the error is reported.
  if (code == kWsaEconnreset || code == kWsaEnotconn) {
    if (fd_ >= 0) ReleaseHandle();
    if (state_ != SocketState::wsClosed) {
      if (!close_notified_) {
        close_notified_ = true;
        RaiseSessionClosed(code);
      }
      ChangeState(SocketState::wsClosed);
    }
  }
  last_error_ = code;
  Report(message);
}

void AsyncSocket::BgException(const std::exception& error) {
  bool can_close = true;
  if (const auto handler = OnBgException) {
    try {
      handler(*this, error, can_close);
    } catch (...) {
    }
  }
  if (!can_close) return;
  try {
    Abort();
  } catch (...) {
  }
}

// ---- State

// Every change of state goes through here, so that one trace line shows it
// (QT_LOGGING_RULES="kestova.socket.debug=true").
void AsyncSocket::ChangeState(SocketState state) {
  const SocketState old = state_;
  state_ = state;
  if (old == state) return;
  qCDebug(lcSocket, "socket %d: %s -> %s", fd_, SocketStateName(old), SocketStateName(state));
  if (const auto handler = OnChangeState) handler(*this, old, state);
}

void AsyncSocket::Reset() {
  remote_ = SocketAddress();
  remote_port_ = 0;
  addr_setting_ = port_setting_ = Setting::Unset;
  local_port_resolved_ = false;
  local_port_ = "0";
  local_port_number_ = 0;
  local_addr_ = "0.0.0.0";
  LingerOnOff = SocketLingerOnOff::wsLingerOn;
  LingerTimeout = 0;
  mask_ = 0;
  all_sent_ = true;
  paused_ = false;
  read_count_ = 0;
  close_notified_ = false;
}

// ---- Connecting and listening

void AsyncSocket::ResolveEndpoint(bool local_port) {
  if (port_setting_ != Setting::Resolved) {
    remote_port_ = ResolvePort(port_, "tcp");
    port_setting_ = Setting::Resolved;
  }
  if (local_port && !local_port_resolved_) {
    local_port_number_ = ResolvePort(local_port_, "tcp") & 0xFFFF;
    local_port_resolved_ = true;
  }
  if (addr_setting_ != Setting::Resolved) {
    remote_ = ResolveAddress(addr_);
    addr_setting_ = Setting::Resolved;
  }
  remote_.SetPort(remote_port_);
}

void AsyncSocket::BindLocal() {
  // The wildcard of the remote address's family.
  SocketAddress local = ResolveAddress(local_addr_ == "0.0.0.0" ? AnyAddress(remote_.Family()) : local_addr_);
  local.SetPort(local_port_number_);
  if (::bind(fd_, local.Raw(), local.size) != 0) {
    return Report(Formatted("winsock.bind failed, error #%d", LastSystemError()));
  }
  SocketAddress bound;
  if (const int code = GetLocalName(bound); code != 0) {
    return Report(Formatted("winsock.getsockname failed, error #%d", code));
  }
  local_port_number_ = bound.Port();
  local_port_ = std::to_string(local_port_number_);
}

void AsyncSocket::Connect() {
  if (fd_ >= 0 && state_ != SocketState::wsClosed) return Report("Connect: Socket already in use");
  if (port_setting_ == Setting::Unset) return Report("Connect: No Port Specified");
  if (addr_setting_ == Setting::Unset) return Report("Connect: No IP Address Specified");
  try {
    ResolveEndpoint(true);
  } catch (const ESocketException& e) {
    return Report(std::string("connect: ") + e.what());
  }
  queue_.Discard();
  const int fd = ::socket(remote_.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return SocketError("Connect (socket)", LastSystemError());
  AdoptHandle(fd);
  ChangeState(SocketState::wsOpened);
  if (state_ != SocketState::wsOpened) return SocketError("Connect (Invalid operation in OnChangeState)", kWsaEinval);

  const int on = 1;
  if (::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    return SocketError("setsockopt(SO_REUSEADDR)", LastSystemError());
  }
  if ((ComponentOptions & wsoTcpNoDelay) && ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    return SocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)", LastSystemError());
  }
  ApplyLinger();
  if (::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
    return SocketError("setsockopt(SO_KEEPALIVE)", LastSystemError());
  }
  if (local_port_number_ != 0 || local_addr_ != "0.0.0.0") BindLocal();
  mask_ = kNoticeRead | kNoticeWrite | kNoticeAccept | kNoticeConnect | kNoticeClose;

  if (::connect(fd_, remote_.Raw(), remote_.size) == 0 || errno == EINPROGRESS) {
    ChangeState(SocketState::wsConnecting);
    write_notice_owed_ = true;
    UpdateNotifiers();
    return;
  }
  const int code = LastSystemError();
  // A refusal the system knows at once (as on loopback) still arrives as a
  // connect notice, as it would from a slower network.
  if (code == kWsaEconnrefused || code == kWsaEnetunreach || code == kWsaEhostunreach || code == kWsaEtimedout ||
      code == kWsaEconnreset) {
    ChangeState(SocketState::wsConnecting);
    PostNotice(kNoticeConnect, code);
    return;
  }
  last_error_ = code;
  SocketError("Connect", code);
}

void AsyncSocket::Listen() {
  if (port_setting_ == Setting::Unset) return SocketError("listen: port not assigned", kWsaEinval);
  if (addr_setting_ == Setting::Unset) return SocketError("listen: address not assigned", kWsaEinval);
  try {
    ResolveEndpoint(false);
  } catch (const ESocketException& e) {
    return Report(std::string("listen: ") + e.what());
  }
  queue_.Discard();
  const int fd = ::socket(remote_.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return SocketError("socket", LastSystemError());
  AdoptHandle(fd);
  if (::bind(fd_, remote_.Raw(), remote_.size) != 0) {
    const int code = LastSystemError();
    // The handle is released before the error is reported, so a failed
    // Listen leaves nothing open behind it.
    InternalClose(false, 0);
    return SocketError("Bind", code);
  }
  ChangeState(SocketState::wsBound);
  mask_ = kNoticeRead | kNoticeWrite | kNoticeAccept | kNoticeClose;
  if (::listen(fd_, kListenBacklog) != 0) return SocketError("Listen", LastSystemError());
  ChangeState(SocketState::wsListening);
  UpdateNotifiers();
}

int AsyncSocket::Accept() {
  if (state_ != SocketState::wsListening) {
    SocketError("not a listening socket", kWsaEinval);
    return -1;
  }
  remote_.size = sizeof remote_.storage;
  const int fd = ::accept4(fd_, remote_.Raw(), &remote_.size, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    SocketError("Accept", LastSystemError());
    return -1;
  }
  return fd;
}

void AsyncSocket::Dup(int handle) {
  if (handle == 0 || handle == -1) return SocketError("Dup", kWsaEinval);
  if (state_ != SocketState::wsClosed) {
    const int result = ReleaseHandle();
    if (result != 0) return SocketError("Dup (closesocket)", result);
    ChangeState(SocketState::wsClosed);
  } else if (fd_ >= 0) {
    ReleaseHandle();
  }
  ::fcntl(handle, F_SETFL, ::fcntl(handle, F_GETFL) | O_NONBLOCK);
  ::fcntl(handle, F_SETFD, FD_CLOEXEC);
  AdoptHandle(handle);
  ApplyLinger();
  mask_ = kNoticeRead | kNoticeWrite | kNoticeConnect | kNoticeClose;
  ChangeState(SocketState::wsConnected);
  // A connected handle that starts being watched is writable at once, and
  // the owner hears of it as the connection's first write notice.
  write_notice_owed_ = true;
  UpdateNotifiers();
}

void AsyncSocket::ApplyLinger() {
  if (LingerOnOff == SocketLingerOnOff::wsLingerNoSet) return;
  if (fd_ < 0) return Report("Cannot set linger option at this time");
  // A positive linger time would make close() block the thread until the
  // peer has taken the data. The system delivers queued data after close()
  // on its own, so only the abortive form (on, 0 seconds) is handed over.
  linger option{};
  option.l_onoff = LingerOnOff == SocketLingerOnOff::wsLingerOn && LingerTimeout == 0 ? 1 : 0;
  option.l_linger = 0;
  if (::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option) != 0) {
    SocketError("setsockopt(SO_LINGER)", LastSystemError());
  }
}

// ---- Closing

void AsyncSocket::Close() { InternalClose(true, 0); }

void AsyncSocket::Abort() {
  CancelLookup();
  queue_.Discard();
  if (state_ == SocketState::wsConnected) {
    LingerOnOff = SocketLingerOnOff::wsLingerOff;
    ApplyLinger();
  }
  InternalClose(false, 0);
}

void AsyncSocket::Drop() {
  CancelLookup();
  queue_.Discard();
  if (fd_ >= 0 && state_ == SocketState::wsConnected) {
    const linger option{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  }
  InternalClose(false, 0);
}

void AsyncSocket::InternalClose(bool shutdown, int error) {
  if (fd_ < 0) {
    if (state_ != SocketState::wsClosed) {
      ChangeState(SocketState::wsClosed);
      Reset();
    }
    return;
  }
  if (state_ == SocketState::wsClosed) {
    // A handle made by a Connect or Listen that failed early: released
    // quietly, since no connection ever existed.
    ReleaseHandle();
    return;
  }
  if (shutdown && TlsOpen() && !close_notify_sent_) SendCloseNotify();
  if (shutdown) ::shutdown(fd_, SHUT_WR);
  const int result = ReleaseHandle();
  if (result != 0 && result != kWsaNotinitialised) return SocketError("Disconnect (closesocket)", result);
  ChangeState(SocketState::wsClosed);
  if (ending_ == Ending::Alive && !close_notified_) {
    close_notified_ = true;
    RaiseSessionClosed(error);
  }
  try {
    Reset();
  } catch (...) {
  }
}

void AsyncSocket::CloseLater() { events_->Post(SocketEvents::Action::CloseLater); }

void AsyncSocket::FreeLater() { events_->Post(SocketEvents::Action::FreeLater); }

void AsyncSocket::Shutdown(int how) {
  if (fd_ >= 0) ::shutdown(fd_, how);
}

void AsyncSocket::PauseEvents() {
  paused_ = true;
  UpdateNotifiers();
}

void AsyncSocket::ResumeEvents() {
  paused_ = false;
  UpdateNotifiers();
  PostPendingRead();
}

void AsyncSocket::ProcessPendingEvents() { kestova::ProcessPendingEvents(); }

void AsyncSocket::PostNotice(unsigned bits, int error) {
  events_->Post(SocketEvents::Action::Notice, serial_, bits, error);
}

void AsyncSocket::PostTestException() { events_->Post(SocketEvents::Action::TestException); }

// ---- Events

void AsyncSocket::RaiseSessionClosed(int error) {
  if (const auto handler = OnSessionClosed) handler(*this, error);
}

void AsyncSocket::RaiseSessionConnected(int error) {
  if (const auto handler = OnSessionConnected) handler(*this, error);
}

void AsyncSocket::RaiseDataSent(int error) {
  if (const auto handler = OnDataSent) handler(*this, error);
}

bool AsyncSocket::RaiseDataAvailable(int error) {
  const auto handler = OnDataAvailable;
  if (!handler) return false;
  handler(*this, error);
  return true;
}

}  // namespace kestova

// The socket's traffic: turning system readiness into notices, handling them
// in order, receiving, and the send path through the send queue.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "net/async_socket.h"
#include "net/socket_events.h"
#include "platform/socket_errors.h"

namespace kestova {

namespace {

int LastSystemError() { return SocketErrorFromErrno(errno); }

// Chunks handed to the system in one send.
constexpr int kMaxGather = 64;

}  // namespace

// ---- Watching the handle

void AsyncSocket::AdoptHandle(int fd) {
  fd_ = fd;
  ++serial_;
  read_blocked_ = end_seen_ = write_notice_owed_ = false;
  close_notified_ = false;  // a new connection gets its own OnSessionClosed
  tls_.reset();
  tls_phase_ = TlsPhase::None;
  events_->Watch(fd);
}

int AsyncSocket::ReleaseHandle() {
  events_->Unwatch();
  // The TLS layer goes before its handle does.
  tls_.reset();
  tls_phase_ = TlsPhase::None;
  tls_want_ = TlsChannel::Result::Done;
  tls_record_.clear();
  pending_read_posted_ = false;
  const int result = ::close(fd_) == 0 || errno == EINTR ? 0 : LastSystemError();
  fd_ = -1;
  return result;
}

void AsyncSocket::UpdateNotifiers() {
  if (fd_ < 0) return;
  const bool connecting = state_ == SocketState::wsConnecting;
  // Read interest stays off while connecting (the connect check reads the
  // pending error), after the peer's end, and while a read notice waits for
  // its Receive. Write interest is on only while something is owed: the
  // connect, the first write notice, or queued bytes; the system's notifiers
  // would fire without pause otherwise.
  if (tls_phase_ == TlsPhase::Handshaking) {
    // The handshake reads and writes as the TLS layer asks, nothing more.
    return events_->Enable(!paused_ && TlsWaitsToRead(), !paused_ && TlsWaitsToWrite());
  }
  const bool read =
      !paused_ && !connecting && !read_blocked_ && !end_seen_ && (mask_ & (kNoticeRead | kNoticeAccept | kNoticeClose));
  const bool write = !paused_ && (mask_ & (kNoticeWrite | kNoticeConnect)) &&
                     (connecting || write_notice_owed_ || queue_.HasUnsent() || TlsWaitsToWrite());
  events_->Enable(read, write);
}

void AsyncSocket::Readable() {
  if (fd_ < 0) return;
  const std::uint64_t serial = serial_;
  if (state_ == SocketState::wsListening) return Dispatch(serial, kNoticeAccept, 0);
  if (tls_phase_ == TlsPhase::Handshaking) return ContinueHandshake();
  // A TLS write that waits for the peer's records goes on first.
  if (tls_ && tls_want_ == TlsChannel::Result::WantRead) TryToSend();
  if (serial != serial_ || fd_ < 0) return;
  // Readable with nothing to read is the peer's end (or a reset).
  char probe = 0;
  const ssize_t peeked = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (peeked <= 0) {
    const int code = peeked == 0 ? 0 : LastSystemError();
    if (code == kWsaEwouldblock) return;
    end_seen_ = true;
    UpdateNotifiers();
    return Dispatch(serial, kNoticeClose, code);
  }
  const unsigned calls = receive_calls_;
  Dispatch(serial, kNoticeRead, 0);
  // Like the system's read notices, the next one waits until the owner has
  // read something.
  if (serial == serial_ && fd_ >= 0 && receive_calls_ == calls) read_blocked_ = true;
  UpdateNotifiers();
}

void AsyncSocket::Writable() {
  if (fd_ < 0) return;
  const std::uint64_t serial = serial_;
  if (tls_phase_ == TlsPhase::Handshaking) return ContinueHandshake();
  if (state_ == SocketState::wsConnecting) {
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) return Dispatch(serial, kNoticeConnect, SocketErrorFromErrno(error));
    write_notice_owed_ = false;
    Dispatch(serial, kNoticeConnect | kNoticeWrite, 0);
  } else {
    write_notice_owed_ = false;
    Dispatch(serial, kNoticeWrite, 0);
  }
  if (serial == serial_) UpdateNotifiers();
}

void AsyncSocket::Dispatch(std::uint64_t serial, unsigned bits, int error) {
  static const unsigned kOrder[] = {kNoticeConnect, kNoticeRead, kNoticeWrite, kNoticeAccept, kNoticeClose};
  if (bits & kNoticeRead) pending_read_posted_ = false;
  for (const unsigned bit : kOrder) {
    if (!(bits & bit)) continue;
    // A notice for a handle released meanwhile (also by an earlier bit of
    // this notice) is dropped.
    if (serial != serial_ || fd_ < 0 || paused_) return;
    Guarded(
        *this, [&] { HandleNotice(bit, error); }, &AsyncSocket::BgException);
  }
}

void AsyncSocket::HandleNotice(unsigned bit, int error) {
  switch (bit) {
    case kNoticeConnect:
      if (state_ == SocketState::wsConnected) return;
      ChangeState(SocketState::wsConnected);
      RaiseSessionConnected(error);
      if (error != 0 && state_ != SocketState::wsClosed) Close();
      return;
    case kNoticeRead:
      // A connection may first show itself by its data.
      if (state_ != SocketState::wsConnected) {
        ChangeState(SocketState::wsConnected);
        RaiseSessionConnected(error);
      }
      return ReceiveLoop(error, ComponentOptions);
    case kNoticeWrite: {
      const std::uint64_t serial = serial_;
      TryToSend();
      if (all_sent_ && serial == serial_ && fd_ >= 0) RaiseDataSent(error);
      return;
    }
    case kNoticeAccept:
      if (const auto handler = OnSessionAvailable) handler(*this, error);
      return;
    case kNoticeClose:
      if (state_ == SocketState::wsConnecting) return;
      // Everything still buffered is delivered before the end is announced.
      ReceiveLoop(0, ComponentOptions & ~static_cast<unsigned>(wsoNoReceiveLoop));
      if (!close_notified_) {
        close_notified_ = true;
        RaiseSessionClosed(error);
      }
      if (state_ != SocketState::wsClosed) Close();
      return;
  }
}

void AsyncSocket::ReceiveLoop(int error, unsigned options) {
  for (;;) {
    last_error_ = 0;
    const unsigned calls = receive_calls_;
    bool handled = false;
    try {
      handled = RaiseDataAvailable(error);
    } catch (...) {
      return;  // an exception from the data handler ends the loop, unseen
    }
    if (!handled) {
      if (fd_ < 0) return;
      char discard[1024];
      ++receive_calls_;
      const ssize_t got = ::recv(fd_, discard, sizeof discard, MSG_DONTWAIT);
      if (got == 0) return;
      if (got < 0) {
        last_error_ = LastSystemError();
        if (last_error_ == kWsaEwouldblock) {
          last_error_ = 0;
          return;
        }
      }
    }
    if (options & wsoNoReceiveLoop) return;
    if (last_error_ != 0) {
      if (last_error_ == -1) last_error_ = 0;
      return;
    }
    // A handler that read nothing would make this loop spin for ever.
    if (fd_ < 0 || receive_calls_ == calls) return;
    int waiting = 0;
    if (::ioctl(fd_, FIONREAD, &waiting) != 0) {
      last_error_ = LastSystemError();
      return;
    }
    if (waiting <= 0 && !(tls_ && tls_->Pending())) return;
  }
}

int AsyncSocket::Receive(void* buffer, int size) {
  ++receive_calls_;
  if (read_blocked_) {
    read_blocked_ = false;
    UpdateNotifiers();
  }
  if (tls_) return ReceiveTls(static_cast<char*>(buffer), size < 0 ? 0 : size);
  const ssize_t got = ::recv(fd_, buffer, static_cast<size_t>(size < 0 ? 0 : size), MSG_DONTWAIT);
  if (got < 0) {
    last_error_ = LastSystemError();
    return -1;
  }
  read_count_ += got;
  return static_cast<int>(got);
}

// ---- Sending

int AsyncSocket::Send(const void* data, int length) {
  if (state_ != SocketState::wsConnected) {
    SocketError("Send", kWsaEnotconn);
    return -1;
  }
  all_sent_ = false;
  int result = 0;
  if (length > 0) {
    queue_.Append(static_cast<const char*>(data), length);
    result = length;
  }
  TryToSend();
  // Even data that left at once is announced from the event loop, never
  // from inside Send: the write notice owed is the system's next report that
  // the handle is writable. Waiting for that report rather than posting a
  // notice of our own spares a wake-up of the loop per send, and paces a
  // sender by what the connection takes.
  if (all_sent_) write_notice_owed_ = true;
  UpdateNotifiers();
  return result;
}

int AsyncSocket::SendText(const std::string& text) {
  if (text.empty()) return 0;
  return Send(text.data(), static_cast<int>(text.size()));
}

void AsyncSocket::TryToSend() {
  if (tls_) return TryToSendTls();
  if (fd_ < 0 || !queue_.HasChunks()) return;
  for (;;) {
    int length = 0;
    queue_.Front().Peek(length);
    if (length == 0) {
      if (queue_.DropDrainedFront()) continue;
      all_sent_ = true;
      return;
    }
    // The unsent bytes of several chunks go to the system in one call; the
    // chunks themselves stay as they are, 1460 bytes each.
    const int offered = static_cast<int>(queue_.UnsentBytes(kMaxGather));
    const int sent = RawSend(nullptr, offered);
    if (sent == 0) return;
    if (sent < 0) {
      const int code = -sent;
      if (code == kWsaEconnreset || code == kWsaEnotsock || code == kWsaEconnaborted || code == kWsaEnotconn ||
          code == kWsaEinval) {
        // The connection is gone: close quietly, then tell the owner why,
        // once.
        close_notified_ = true;
        Close();
        RaiseSessionClosed(code);
        return;
      }
      if (code == kWsaEwouldblock) return;
      return SocketError("TryToSend failed", code);
    }
    queue_.RemoveSent(sent);
    if (sent < offered) return;
  }
}

// Sends what the front of the queue holds, gathered into one call.
int AsyncSocket::RawSend(const char*, int) {
  iovec parts[kMaxGather];
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = queue_.Gather(parts, kMaxGather);
  // A reset peer must never raise SIGPIPE.
  const ssize_t sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0) return -LastSystemError();
  return static_cast<int>(sent);
}

}  // namespace kestova

// TLS on the socket: the handshake driven by the notifiers, and the send
// and receive paths through the TLS layer. Want-read and want-write become
// read and write interest on the handle, so nothing blocks and nothing spins.
#include "net/async_socket.h"
#include "net/socket_events.h"
#include "platform/socket_errors.h"

namespace kestova {

using Result = TlsChannel::Result;

void AsyncSocket::StartTls(const TlsSettings& settings) {
  if (fd_ < 0 || state_ != SocketState::wsConnected) {
    return Report("StartTls: no connected stream");
  }
  if (tls_) return Report("StartTls: TLS has already started on this connection");
  if (!settings.context) return Report("StartTls: no TLS context");
  tls_ = std::make_unique<TlsChannel>(fd_, settings);
  tls_phase_ = TlsPhase::Handshaking;
  tls_error_.clear();
  tls_record_.clear();
  close_notify_sent_ = false;
  // The first step (the ClientHello) goes out when the handle is writable:
  // from the event loop, never from inside this call.
  tls_want_ = Result::WantWrite;
  UpdateNotifiers();
}

void AsyncSocket::ContinueHandshake() {
  const Result result = tls_->Handshake();
  if (result == Result::WantRead || result == Result::WantWrite) {
    tls_want_ = result;
    return UpdateNotifiers();
  }
  tls_want_ = Result::Done;
  if (result != Result::Done) {
    return FailTls(tls_->Error().empty() ? "the server ended the connection during the TLS handshake" : tls_->Error());
  }
  tls_phase_ = TlsPhase::Open;
  const std::uint64_t serial = serial_;
  UpdateNotifiers();
  if (const auto handler = OnTlsDone) handler(*this, 0);
  if (serial != serial_ || fd_ < 0) return;
  // What the owner queued while the handshake ran leaves now.
  if (queue_.HasUnsent()) {
    TryToSend();
    if (all_sent_) write_notice_owed_ = true;
  }
  PostPendingRead();
  UpdateNotifiers();
}

void AsyncSocket::FailTls(const std::string& why) {
  tls_phase_ = TlsPhase::Failed;
  tls_error_ = why;
  last_error_ = kWsaEconnaborted;
  last_error_message_ = why;
  const std::uint64_t serial = serial_;
  if (const auto handler = OnTlsDone) handler(*this, kWsaEconnaborted);
  if (serial == serial_ && state_ != SocketState::wsClosed) InternalClose(false, kWsaEconnaborted);
}

void AsyncSocket::EndTls() {
  if (tls_phase_ != TlsPhase::Open) return;
  tls_phase_ = TlsPhase::Ending;
  all_sent_ = false;
  TryToSendTls();
  if (all_sent_) write_notice_owed_ = true;
  UpdateNotifiers();
}

// Plaintext that the TLS layer has decrypted but not handed out yet is
// invisible to the handle's notifier: a read notice is posted for it.
void AsyncSocket::PostPendingRead() {
  if (!tls_ || pending_read_posted_ || !tls_->Pending()) return;
  pending_read_posted_ = true;
  PostNotice(kNoticeRead, 0);
}

bool AsyncSocket::TlsWaitsToRead() const {
  return tls_phase_ == TlsPhase::Handshaking ? tls_want_ == Result::WantRead : false;
}

bool AsyncSocket::TlsWaitsToWrite() const {
  if (!tls_ || tls_phase_ == TlsPhase::Failed) return false;
  if (tls_want_ == Result::WantWrite) return true;
  return tls_phase_ == TlsPhase::Ending && !close_notify_sent_;
}

int AsyncSocket::ReceiveTls(char* buffer, int size) {
  if (tls_phase_ == TlsPhase::Handshaking) {
    last_error_ = kWsaEwouldblock;
    return -1;
  }
  if (tls_phase_ == TlsPhase::Failed) {
    last_error_ = kWsaEconnaborted;
    return -1;
  }
  int got = 0;
  switch (tls_->Read(buffer, size, got)) {
    case Result::Done:
      read_count_ += got;
      PostPendingRead();
      return got;
    case Result::WantRead:
    case Result::WantWrite: last_error_ = kWsaEwouldblock; return -1;
    case Result::Closed:
      // The peer's close_notify ends the connection as its FIN would. Some
      // servers (vsftpd) send it and then wait for the client to close.
      if (!end_seen_) {
        end_seen_ = true;
        UpdateNotifiers();
        PostNotice(kNoticeClose, 0);
      }
      return 0;
    case Result::Failed: break;
  }
  last_error_ = kWsaEconnaborted;
  last_error_message_ = tls_->Error();
  return -1;
}

// The queued bytes leave as records of up to 16 KiB, whatever the size of
// the chunks that hold them: a record per 1460-byte chunk would cost the
// server a wake-up and a decryption each (vsftpd passes every record between
// two processes), several times the time of the transfer. A write the TLS
// layer could not finish is retried with the same bytes.
void AsyncSocket::TryToSendTls() {
  if (fd_ < 0 || tls_phase_ == TlsPhase::Handshaking || tls_phase_ == TlsPhase::Failed) return;
  constexpr std::size_t kRecord = 16384;
  for (;;) {
    if (tls_record_.empty()) {
      for (const auto& chunk : queue_.Chunks()) {
        int length = 0;
        const char* data = chunk->Peek(length);
        const std::size_t take = std::min(static_cast<std::size_t>(length), kRecord - tls_record_.size());
        tls_record_.append(data, take);
        if (tls_record_.size() == kRecord) break;
      }
      if (tls_record_.empty()) break;
    }
    int put = 0;
    const Result result = tls_->Write(tls_record_.data(), static_cast<int>(tls_record_.size()), put);
    if (result == Result::Done) {
      tls_want_ = Result::Done;
      queue_.RemoveSent(static_cast<std::size_t>(put));
      tls_record_.erase(0, static_cast<std::size_t>(put));
      if (fd_ < 0) return;
      continue;
    }
    if (result == Result::WantWrite || result == Result::WantRead) {
      tls_want_ = result;
      return;
    }
    // The connection is gone: close quietly, then tell the owner why, once.
    tls_error_ = tls_->Error();
    tls_phase_ = TlsPhase::Failed;
    close_notified_ = true;
    Close();
    RaiseSessionClosed(kWsaEconnreset);
    return;
  }
  tls_want_ = Result::Done;
  if (tls_phase_ == TlsPhase::Ending && !close_notify_sent_) {
    SendCloseNotify();
    if (!close_notify_sent_) return;
  }
  all_sent_ = true;
}

void AsyncSocket::SendCloseNotify() {
  switch (tls_->Shutdown()) {
    case Result::WantWrite:
    case Result::WantRead: tls_want_ = Result::WantWrite; return;
    default:
      // Sent, or the connection is gone and nothing more can be said.
      close_notify_sent_ = true;
      tls_want_ = Result::Done;
      return;
  }
}

}  // namespace kestova

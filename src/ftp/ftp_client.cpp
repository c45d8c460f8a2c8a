#include "ftp/ftp_client.h"

#include "net/event_wait.h"

namespace kestova {

bool FtpClient::RunBlocking(bool (FtpClientCore::*start)()) {
  refusal_.clear();
  try {
    if (!(this->*start)()) return false;
    return WaitForRequest();
  } catch (const std::exception& error) {
    // Refused before anything was sent; LastReply and ErrorMessage keep
    // their earlier values.
    refusal_ = error.what();
    return false;
  }
}

std::string FtpClient::FailureText() const {
  if (!refusal_.empty()) return "Not sent: " + refusal_;
  if (ErrorMessage == "426 Timeout") {
    const auto limit = Limit().count();
    return "426 Timeout: nothing came from the server for " +
           (limit % 1000 == 0 ? std::to_string(limit / 1000) + " seconds" : std::to_string(limit) + " ms");
  }
  return ErrorMessage.empty() ? LastReply : ErrorMessage;
}

bool FtpClient::RequestEnded() const {
  return State() == FtpClientState::ftpStReady || State() == FtpClientState::ftpStStepReady;
}

std::chrono::milliseconds FtpClient::Limit() const {
  return TimeoutMs > 0 ? std::chrono::milliseconds(TimeoutMs) : std::chrono::seconds(Timeout);
}

bool FtpClient::WaitForRequest() {
  using Clock = std::chrono::steady_clock;
  const bool limited = Limit().count() > 0;
  deadline_ = Clock::now() + Limit();
  pushed_at_ = 0;
  for (;;) {
    if (RequestEnded()) return RequestResult == 0;
    if (Terminating()) break;
    if (limited && Clock::now() >= deadline_) break;
    // Sleeps in the event loop until the request moves or the deadline
    // (which progress may push on) is due.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    WaitUntil([this] { return RequestEnded() || Terminating(); },
              limited ? std::max(left, std::chrono::milliseconds(1)) : std::chrono::milliseconds(-1));
  }
  // An upload that could not read its file drops its data connection and
  // waits for the server's word on it; a server that never gives one
  // (pyftpdlib, when the connection was reset before it took it) must not
  // turn the local failure into a lost connection, which would be retried
  // and fail the same way.
  const std::string read_error = transfer_.ReadError();
  Abort();
  if (!read_error.empty()) {
    LocalFailure = true;
    SetComposedReply("426 " + read_error);
    ErrorMessage = LastReply;
  } else {
    ErrorMessage = "426 Timeout";
  }
  ReplyCode = 426;
  return false;
}

bool FtpClient::Progress() {
  const bool go_on = FtpClientCore::Progress();
  if (Limit().count() > 0 && TransferCount() - pushed_at_ >= kProgressFloor) {
    pushed_at_ = TransferCount();
    deadline_ = std::chrono::steady_clock::now() + Limit();
  }
  return go_on;
}

}  // namespace kestova

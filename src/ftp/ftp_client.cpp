#include "ftp/ftp_client.h"

#include <QAbstractEventDispatcher>
#include <algorithm>
#include <optional>

#include "net/event_wait.h"

namespace kestova {

bool FtpClient::RunBlocking(bool (FtpClientCore::*start)()) {
  refusal_.clear();
  interrupted_ = false;
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

void FtpClient::Interrupt() {
  interrupted_ = true;
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->wakeUp();
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
  // A transfer that failed on this side (an upload that could not read its
  // file, a receive that could not write it) has failed, whatever the server
  // says next; its answer to the reset data connection only keeps the
  // session in step, so it gets a short while, not the whole limit (which
  // may be none). pyftpdlib never answers when the reset beats its accept.
  std::optional<Clock::time_point> answer_by;
  const auto local_failed = [this] { return !transfer_.LocalError().empty(); };
  const auto stopped = [this] { return Terminating() || interrupted_; };
  bool stopped_here = false;
  for (;;) {
    if (RequestEnded()) return RequestResult == 0;
    if ((stopped_here = stopped())) break;
    const auto now = Clock::now();
    if (!answer_by && local_failed()) answer_by = now + kAnswerAfterLocalError;
    if (answer_by && now >= *answer_by) break;
    if (limited && now >= deadline_) break;
    // Sleeps in the event loop until the request moves or the deadline
    // (which progress may push on) is due.
    auto due = limited ? std::optional(deadline_) : std::nullopt;
    if (answer_by) due = due ? std::min(*due, *answer_by) : *answer_by;
    const auto left =
        due ? std::max(std::chrono::duration_cast<std::chrono::milliseconds>(*due - now), std::chrono::milliseconds(1))
            : std::chrono::milliseconds(-1);
    WaitUntil([&] { return RequestEnded() || stopped() || (!answer_by && local_failed()); }, left);
  }
  // Without that answer the session is out of step and goes; the failure
  // stays the local one, which another attempt could not mend.
  const std::string local_error = transfer_.LocalError();
  Abort();
  if (!local_error.empty()) {
    LocalFailure = true;
    SetComposedReply("426 " + local_error);
    ErrorMessage = LastReply;
  } else if (stopped_here) {
    ErrorMessage = Terminating() ? "426 Stopped: the program is ending" : "426 Stopped by the user";
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

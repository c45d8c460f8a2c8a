// The executor: every FTP operation of a run goes through ExecuteCommand,
// which connects when the session is gone, runs the operation named by a
// label, and on failure says why, waits and tries again a limited number of
// times, with a pause that may double and that steps up when the server has
// too many connections.
#include <algorithm>

#include "engine/upload.h"
#include "net/event_wait.h"

namespace kestova {

bool Upload::ExecuteCommand(const std::string& param, const std::string& label, bool ignore_failure) {
  if (gave_up_) return false;
  Attempt attempt;
  attempt.param = param;
  attempt.label = label;
  attempt.ignore_failure = ignore_failure;
  attempt.pause_now = settings_.RetryPause;
  attempt.retries_left = std::clamp(settings_.Retries + 1, 1, 21);
  const bool result = AttemptCommand(attempt);
  // A command the run was ended during says nothing more, but that the
  // user's stop cut it short.
  if (terminated_) {
    if (!result && stopped_ && !stop_said_) {
      stop_said_ = true;
      Log("Reason: 426 Stopped by the user");
      if (FoldCase(label) == "put") RemoveStoppedUpload(param);
    }
    return false;
  }
  if (!result) ReportGivingUp(attempt);
  return result;
}

// The attempts of one command, each using up one of its retries.
bool Upload::AttemptCommand(Attempt& attempt) {
  for (;; attempt.first = false) {
    if (attempt.retries_left == 0) return false;
    // Once the run has ended, a failed attempt is not tried again.
    if (!attempt.first && terminated_) return false;
    if (!attempt.first && attempt.step == 0 && !PauseBeforeRetry(attempt)) return false;
    if (!client_.Connected()) {
      const Connection made = Reconnect(attempt);
      if (made == Connection::Impossible) return false;
      if (made == Connection::Retry) {
        --attempt.retries_left;
        continue;
      }
    }
    const Outcome outcome = RunLabel(attempt.label);
    operation_ok_ = outcome.Done();
    if (!outcome) Failed(outcome);
    // A failure that may be ignored (MKD of a folder that exists, DELE of a
    // file that does not) is one that left the session standing. A session
    // lost on the way leaves it unknown whether the command reached the
    // server at all: it goes again on a new session, or the folder the next
    // CWD needs may never have been made.
    if (outcome || (attempt.ignore_failure && outcome.kind != Outcome::Kind::ConnectionLost && client_.Connected())) {
      return true;
    }
    // Another attempt cannot mend what failed on this side.
    if (failed_here_) return false;
    --attempt.retries_left;
    attempt.step = 0;
  }
}

// Before an ordinary retry: the reason, the retry line, and the pause. A
// negative pause means three seconds, and no pause lasts over ten minutes.
bool Upload::PauseBeforeRetry(Attempt& attempt) {
  Log("Reason: " + failure_);
  Log("Connect Failed. Retrying [Pause " + std::to_string(attempt.pause_now) + "s]...");
  Emit(RunEvent::Kind::Retry, failure_);
  PauseSeconds(attempt.pause_now < 0 ? 3 : std::min(attempt.pause_now, 600));
  if (terminated_) return false;
  if (settings_.Ramped) attempt.pause_now *= 2;
  return true;
}

Upload::Connection Upload::Reconnect(Attempt& attempt) {
  Log("Connecting to " + client_.HostName() + (attempt.label.empty() ? std::string() : " for " + attempt.label));
  if (client_.TooManyConnections()) return StepUp(attempt);
  if (const Outcome connected = client_.Connect(); !connected) {
    Failed(connected, ConnectFailure(connected));
    attempt.cannot_connect = failed_here_ || client_.ConnectRefusal() != SiteConnection::Refusal::None;
    const CertificateCheck check = client_.Certificate();
    if (check.verdict == CertificateCheck::Verdict::Untrusted || check.verdict == CertificateCheck::Verdict::Changed) {
      refused_certificate_ = check;
    }
    // A refused login leaves the control connection open; the retry must
    // log in again rather than take that session for a connection.
    if (client_.Connected()) attempt.cannot_connect ? client_.Drop() : (void)client_.Quit();
    attempt.step = 0;
    return attempt.cannot_connect ? Connection::Impossible : Connection::Retry;
  }
  LogSecurity();
  AfterConnect(attempt);
  return Connection::Made;
}

// The modern method says so once, in the first line after connecting; the
// classic method's log stays as it always was. Over TLS, one line after each
// connect says how the connection is protected.
void Upload::LogSecurity() {
  if (Modern() && !method_said_) {
    method_said_ = true;
    Log("Transfer method: modern (64 KiB blocks, no pause before a data connection closes, each file sent under a "
        "temporary name and renamed into place, one listing per folder on the server's clock)");
  }
  if (const std::string summary = client_.SecuritySummary(); !summary.empty()) Log("Encrypted with " + summary);
}

// A new session goes back into the directory the caller works in, and, for
// an upload, into the type the run chose for it: a new session starts in
// the server's default type.
void Upload::AfterConnect(const Attempt& attempt) {
  session_type_ = -1;  // a new session starts in the server's default type
  if (!attempt.param.empty()) {
    op_.folder = attempt.param;
    client_.ChangeFolder(attempt.param);
  }
  if (FoldCase(attempt.label) == "put" && client_.SetBinary(client_.Binary())) session_type_ = client_.Binary() ? 1 : 0;
}

// The server said it has too many connections: the pause steps up (by 30,
// 90, 150 ... or, ramped, 60, 180, 420 ...) and the next attempt comes at
// once, without waiting, while the server keeps refusing.
Upload::Connection Upload::StepUp(Attempt& attempt) {
  client_.Quit();
  attempt.step = settings_.Ramped ? attempt.step * 2 : attempt.step + 30;
  if (attempt.step == 0) attempt.step = 60;
  if (attempt.pause_now < 600) attempt.pause_now += attempt.step;
  if (const Outcome connected = client_.Connect(); !connected) {
    Failed(connected, ConnectFailure(connected));
    if (client_.Connected()) client_.Quit();
    Log("Too many connections. Stepping up pause to " + std::to_string(attempt.pause_now));
    attempt.step += 30;
    return Connection::Retry;
  }
  LogSecurity();
  AfterConnect(attempt);
  return Connection::Made;
}

// The command failed for good: the reason, and unless another command can
// still succeed, the run gives up.
void Upload::ReportGivingUp(const Attempt& attempt) {
  if (attempt.cannot_connect) {
    // Another attempt could only fail the same way.
    Log("Reason: " + failure_);
    const SiteConnection::Refusal refusal = client_.ConnectRefusal();
    if (refusal == SiteConnection::Refusal::TlsRequired) {
      Log("The server accepts only FTP over TLS. Choose explicit TLS in the site's Encryption list (or "
          "\"kestova profile set " +
          std::string(settings_.RedirectJob ? "OldSecurity" : "NewSecurity") + "=1\"); Kestova does not try again.");
    } else if (refusal == SiteConnection::Refusal::LoginRefused) {
      Log("The server refused the login. Check the user id and password; Kestova does not try again, so "
          "that the account is not locked.");
    } else if (refusal == SiteConnection::Refusal::HostNotFound) {
      Log("The host name " + client_.HostName() +
          " does not exist. Check the host name in the site and login details; Kestova does not try again.");
    }
    if (refused_certificate_.verdict != CertificateCheck::Verdict::None) ReportRefusedCertificate();
    return GiveUp();
  }
  if (client_.DataCertificateRefused()) {
    Log("Reason: " + failure_);
    Log("A data connection presented another certificate than the server's: something between this computer and "
        "the server may read or change what is sent. The run stops here; nothing more is sent.");
    data_certificate_refused_ = true;
    return GiveUp();
  }
  if (failed_here_) {
    // A local failure of an upload is told by the upload's own lines.
    if (FoldCase(attempt.label) != "put") Log("Reason: " + failure_);
    return;
  }
  Log("Reason: " + failure_);
  Log("Connection retries all failed.");
  GiveUp();
}

// The certificate, and how to trust it: nothing was sent before it, no
// password included.
void Upload::ReportRefusedCertificate() {
  for (const std::string& line : DescribeCertificate(refused_certificate_)) Log(line);
  const char* site = settings_.RedirectJob ? "old" : "new";
  Log(std::string("If this is your host's certificate (compare the fingerprint with the one your host gives), "
                  "trust it: answer Yes when the window asks, or run \"kestova profile trust ") +
      site + "\". No user id or password was sent.");
}

// The run cannot go on: the connection is dropped without another word.
void Upload::GiveUp() {
  gave_up_ = true;
  Terminate();
}

// Why a connect failed, and where it went: a mistyped port or host shows,
// and the system's own words for a socket or resolver error stand beside
// the composed reply.
std::string Upload::ConnectFailure(const Outcome& connected) const {
  const std::string system = client_.SystemReason();
  return connected.reason + " (" + client_.Endpoint() + (system.empty() ? "" : ": " + system) + ")";
}

void Upload::Failed(const Outcome& outcome, const std::string& reason) {
  failure_ = reason.empty() ? outcome.reason : reason;
  failed_here_ = outcome.kind == Outcome::Kind::LocalFailure;
}

// The label's call, with the operands the caller set.
Outcome Upload::RunLabel(const std::string& label) {
  using Listing = SiteConnection::Listing;
  const std::string name = FoldCase(label);
  if (name == "rename") {
    // An attempt after a lost connection may find the first one's work
    // done, so only a first attempt's refusal says what the server can do.
    rename_.first_attempt = !rename_.sent;
    rename_.sent = true;
    Outcome renamed = client_.Rename(op_.file, op_.rename_to);
    rename_.refused = renamed ? SiteConnection::RenameRefusal::None : client_.RefusedHalf();
    return renamed;
  }
  if (name == "dir" || name == "ls" || name == "mlsd") {
    RemoteListing scratch;
    return client_.List(name == "ls"    ? Listing::Names
                        : name == "dir" ? Listing::Long
                                        : Listing::Facts,
                        listing_what_, listing_ ? *listing_ : scratch);
  }
  if (name == "put") {
    // Every attempt sends the whole page again.
    if (page_stream_ && op_.stream == page_stream_.get()) page_stream_->Seek(0);
    return client_.Send(op_.file, op_.local_file, op_.stream);
  }
  if (name == "mkd") return client_.MakeFolder(op_.file);
  if (name == "rmd") return client_.RemoveFolder(op_.file);
  if (name == "cwd") return client_.ChangeFolder(op_.folder);
  if (name == "dele") return client_.RemoveFile(op_.file);
  if (name == "typebinary" || name == "typeascii") return client_.SetBinary(name == "typebinary");
  if (name == "cdup") return client_.ParentFolder();
  if (name == "feat") return client_.AskFeatures();
  return Outcome();  // no operation: connecting was all that was asked
}

bool Upload::ListFolder(const std::string& directory, const char* label, RemoteListing& listing, bool may_fail) {
  listing_ = &listing;
  listing_what_.clear();
  const bool listed = ExecuteCommand(directory, label, may_fail) && operation_ok_;
  listing_ = nullptr;
  return listed;
}

// The user stopped an upload under way: its connections were cut, and what
// reached the server is a part of the file under the name it was written
// to. With the classic method that is the real name, whose old copy was
// deleted before the upload; with the modern method the temporary one,
// beside the old copy. Either way the part goes, so that no cut file is
// served, on a session of its own and without retries.
void Upload::RemoveStoppedUpload(const std::string& remote) {
  const std::string name = op_.file;
  Log("Removing the part of " + AddTrailingSlash(remote) + name + " that reached the server");
  Outcome removed = client_.Connected() ? Outcome() : client_.Connect();
  if (removed) {
    op_.folder = remote;
    removed = client_.ChangeFolder(remote);
    if (removed) removed = client_.RemoveFile(name);
  }
  if (!removed) Log("Could not remove it: " + removed.reason);
  if (client_.Connected()) client_.Quit();
}

void Upload::Stop() {
  stopped_ = true;
  Terminate();
  client_.Interrupt();
}

void Upload::PauseSeconds(int n) {
  // Waits in the event loop, so Esc and Ctrl+C are noticed at once.
  if (n <= 0) return;
  WaitUntil([this] { return terminated_; }, std::chrono::seconds(n));
}

}  // namespace kestova

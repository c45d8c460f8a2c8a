// Connecting, retrying and pacing: the executor's rules.
#include "engine/executor.h"

#include <algorithm>

#include "common/text_helpers.h"
#include "net/event_wait.h"

namespace kestova {

bool Executor::Execute(const std::string& param, const std::string& label, bool ignore_failure) {
  if (gave_up_ || withdrawn_) {
    operation_ok_ = false;
    return false;
  }
  Attempt attempt;
  attempt.param = param;
  attempt.label = label;
  attempt.ignore_failure = ignore_failure;
  attempt.pause_now = settings_.RetryPause;
  attempt.retries_left = std::clamp(settings_.Retries + 1, 1, 21);
  const bool result = AttemptCommand(attempt);
  // A command the run was ended during says nothing more, but that the
  // user's stop cut it short.
  if (run_.Terminated()) {
    if (!result && stopped_ && !stop_said_) {
      stop_said_ = true;
      run_.Log("Reason: 426 Stopped by the user");
      if (FoldCase(label) == "put") RemoveStoppedUpload(param);
    }
    return false;
  }
  if (withdrawn_) operation_ok_ = false;
  if (!result && !withdrawn_) ReportGivingUp(attempt);
  return result;
}

// The attempts of one command, each using up one of its retries.
bool Executor::AttemptCommand(Attempt& attempt) {
  for (;; attempt.first = false) {
    if (attempt.retries_left == 0) return false;
    // Once the run has ended, a failed attempt is not tried again.
    if (!attempt.first && run_.Terminated()) return false;
    if (!attempt.first && attempt.step == 0 && !PauseBeforeRetry(attempt)) return false;
    if (!site_.Connected()) {
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
    if (outcome || (attempt.ignore_failure && outcome.kind != Outcome::Kind::ConnectionLost && site_.Connected())) {
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
bool Executor::PauseBeforeRetry(Attempt& attempt) {
  run_.Log("Reason: " + failure_);
  run_.Log("Connect Failed. Retrying [Pause " + std::to_string(attempt.pause_now) + "s]...");
  run_.Emit(RunEvent::Kind::Retry, failure_);
  run_.PauseSeconds(attempt.pause_now < 0 ? 3 : std::min(attempt.pause_now, 600));
  if (run_.Terminated()) return false;
  if (settings_.Ramped) attempt.pause_now *= 2;
  return true;
}

Executor::Connection Executor::Reconnect(Attempt& attempt) {
  run_.Log("Connecting to " + site_.HostName() + (attempt.label.empty() ? std::string() : " for " + attempt.label));
  if (site_.TooManyConnections() && !extra_) return StepUp(attempt);
  if (const Outcome connected = site_.Connect(); !connected) {
    Failed(connected, ConnectFailure(connected));
    if (extra_) {
      withdrawn_ = true;
      site_.Drop();
      return Connection::Impossible;
    }
    attempt.cannot_connect = failed_here_ || site_.ConnectRefusal() != SiteConnection::Refusal::None;
    const CertificateCheck check = site_.Certificate();
    if (check.verdict == CertificateCheck::Verdict::Untrusted || check.verdict == CertificateCheck::Verdict::Changed) {
      refused_certificate_ = check;
    }
    // A refused login leaves the control connection open; the retry must
    // log in again rather than take that session for a connection.
    if (site_.Connected()) attempt.cannot_connect ? site_.Drop() : (void)site_.Quit();
    attempt.step = 0;
    return attempt.cannot_connect ? Connection::Impossible : Connection::Retry;
  }
  LogSecurity();
  AfterConnect(attempt);
  return Connection::Made;
}

// FTP's modern method says so once, in the first line after connecting; the
// classic method's log stays as it always was. Over TLS or SSH, one line
// after each connect says how the session is protected.
void Executor::LogSecurity() {
  if (settings_.Site.Method == TransferMethod::Modern && settings_.Site.Protocol == SiteProtocol::Ftp &&
      !method_said_) {
    method_said_ = true;
    run_.Log(settings_.FetchJob
                 ? "Transfer method: modern (64 KiB blocks, one listing per folder with its facts where the server "
                   "has them, each file received under a temporary name and renamed into place)"
                 : "Transfer method: modern (64 KiB blocks, no pause before a data connection closes, a file that "
                   "replaces one sent under a temporary name and renamed into place, one listing per folder on the "
                   "server's clock)");
  }
  if (const std::string line = site_.SessionLine(); !line.empty()) run_.Log(line);
}

// A new session goes back into the directory the caller works in, and, for
// an upload, into the type the run chose for it: a new session starts in
// the server's default type.
void Executor::AfterConnect(const Attempt& attempt) {
  ++connects_;
  session_type_ = -1;  // a new session starts in the server's default type
  if (!attempt.param.empty()) {
    op_.folder = attempt.param;
    site_.ChangeFolder(attempt.param);
  }
  const std::string label = FoldCase(attempt.label);
  if ((label == "put" || label == "get") && site_.SetBinary(site_.Binary())) session_type_ = site_.Binary() ? 1 : 0;
}

// The server said it has too many connections: the pause steps up (by 30,
// 90, 150 ... or, ramped, 60, 180, 420 ...) and the next attempt comes at
// once, without waiting, while the server keeps refusing.
Executor::Connection Executor::StepUp(Attempt& attempt) {
  site_.Quit();
  attempt.step = settings_.Ramped ? attempt.step * 2 : attempt.step + 30;
  if (attempt.step == 0) attempt.step = 60;
  if (attempt.pause_now < 600) attempt.pause_now += attempt.step;
  if (const Outcome connected = site_.Connect(); !connected) {
    Failed(connected, ConnectFailure(connected));
    if (site_.Connected()) site_.Quit();
    run_.Log("Too many connections. Stepping up pause to " + std::to_string(attempt.pause_now));
    attempt.step += 30;
    return Connection::Retry;
  }
  LogSecurity();
  AfterConnect(attempt);
  return Connection::Made;
}

// The command failed for good: the reason, and unless another command can
// still succeed, the run gives up.
void Executor::ReportGivingUp(const Attempt& attempt) {
  if (attempt.cannot_connect) {
    // Another attempt could only fail the same way.
    run_.Log("Reason: " + failure_);
    const SiteConnection::Refusal refusal = site_.ConnectRefusal();
    if (refusal == SiteConnection::Refusal::TlsRequired) {
      run_.Log(
          "The server accepts only FTP over TLS. Choose explicit TLS in the site's Encryption list (or "
          "\"kestova profile set " +
          std::string(settings_.OnOldSite() ? "OldSecurity" : "NewSecurity") + "=1\"); Kestova does not try again.");
    } else if (refusal == SiteConnection::Refusal::LoginRefused) {
      run_.Log(
          "The server refused the login. Check the user id and password; Kestova does not try again, so "
          "that the account is not locked.");
    } else if (refusal == SiteConnection::Refusal::HostKeyUnknown) {
      refused_host_key_ = {site_.RefusedHostKey(), false};
      run_.Log(
          "No user id or password was sent. If this is your host's key (compare the fingerprint with the one "
          "your host gives), trust it: \"kestova profile trust " +
          std::string(settings_.OnOldSite() ? "old" : "new") +
          "\", the run window's question, or connecting once with ssh; Kestova does not try again.");
    } else if (refusal == SiteConnection::Refusal::HostKeyChanged) {
      refused_host_key_ = {site_.RefusedHostKey(), true};
      run_.Log(
          "No user id or password was sent. Someone may be between this computer and the host, or the host has "
          "a new key: ask your host for its key's fingerprint. Only if it is the new one, remove the old key "
          "from the file named above (ssh-keygen -R) and trust the new one; Kestova does not try again.");
    } else if (refusal == SiteConnection::Refusal::HostNotFound) {
      run_.Log("The host name " + site_.HostName() +
               " does not exist. Check the host name in the site and login details; Kestova does not try again.");
    }
    if (refused_certificate_.verdict != CertificateCheck::Verdict::None) ReportRefusedCertificate();
    return GiveUp();
  }
  if (site_.DataCertificateRefused()) {
    run_.Log("Reason: " + failure_);
    run_.Log(
        "A data connection presented another certificate than the server's: something between this computer and "
        "the server may read or change what is sent. The run stops here; nothing more is sent.");
    data_certificate_refused_ = true;
    return GiveUp();
  }
  if (failed_here_) {
    // A local failure of an upload is told by the upload's own lines.
    if (FoldCase(attempt.label) != "put" && FoldCase(attempt.label) != "get") run_.Log("Reason: " + failure_);
    return;
  }
  run_.Log("Reason: " + failure_);
  run_.Log("Connection retries all failed.");
  GiveUp();
}

// The certificate, and how to trust it: nothing was sent before it, no
// password included.
void Executor::ReportRefusedCertificate() {
  for (const std::string& line : DescribeCertificate(refused_certificate_)) run_.Log(line);
  const char* site = settings_.OnOldSite() ? "old" : "new";
  run_.Log(std::string("If this is your host's certificate (compare the fingerprint with the one your host gives), "
                       "trust it: answer Yes when the window asks, or run \"kestova profile trust ") +
           site + "\". No user id or password was sent.");
}

// The run cannot go on: the connection is dropped without another word.
void Executor::GiveUp() {
  gave_up_ = true;
  run_.Terminate();
}

// Why a connect failed, and where it went: a mistyped port or host shows,
// and the system's own words for a socket or resolver error stand beside
// the composed reply.
std::string Executor::ConnectFailure(const Outcome& connected) const {
  const std::string system = site_.SystemReason();
  return connected.reason + " (" + site_.Endpoint() + (system.empty() ? "" : ": " + system) + ")";
}

void Executor::Failed(const Outcome& outcome, const std::string& reason) {
  failure_ = reason.empty() ? outcome.reason : reason;
  failed_here_ = outcome.kind == Outcome::Kind::LocalFailure;
}

// The label's call, with the operands the caller set.
Outcome Executor::RunLabel(const std::string& label) {
  using Listing = SiteConnection::Listing;
  const std::string name = FoldCase(label);
  if (name == "rename") {
    // An attempt after a lost connection may find the first one's work
    // done, so only a first attempt's refusal says what the server can do.
    rename_.first_attempt = !rename_.sent;
    rename_.sent = true;
    Outcome renamed = site_.Rename(op_.file, op_.rename_to);
    rename_.refused = renamed ? SiteConnection::RenameRefusal::None : site_.RefusedHalf();
    return renamed;
  }
  if (name == "dir" || name == "ls" || name == "mlsd") {
    RemoteListing scratch;
    return site_.List(name == "ls"    ? Listing::Names
                      : name == "dir" ? Listing::Long
                                      : Listing::Facts,
                      listing_what_, listing_ ? *listing_ : scratch);
  }
  if (name == "put") {
    // Every attempt sends the whole stream again.
    if (op_.stream) op_.stream->Seek(0);
    return site_.Send(op_.file, op_.local_file, op_.stream);
  }
  if (name == "get") {
    if (!op_.sink) return {Outcome::Kind::LocalFailure, "Nowhere to receive " + op_.file + " into"};
    op_.sink->Restart();
    return site_.Receive(op_.file, *op_.sink);
  }
  if (name == "mkd") return site_.MakeFolder(op_.file);
  if (name == "rmd") return site_.RemoveFolder(op_.file);
  if (name == "cwd") return site_.ChangeFolder(op_.folder);
  if (name == "dele") return site_.RemoveFile(op_.file);
  if (name == "typebinary" || name == "typeascii") return site_.SetBinary(name == "typebinary");
  if (name == "cdup") return site_.ParentFolder();
  if (name == "feat") return site_.AskFeatures();
  return Outcome();  // no operation: connecting was all that was asked
}

bool Executor::List(const std::string& directory, const char* label, RemoteListing& listing, bool may_fail) {
  listing_ = &listing;
  listing_what_.clear();
  const bool listed = Execute(directory, label, may_fail) && operation_ok_;
  listing_ = nullptr;
  return listed;
}

// The user stopped an upload under way: its connections were cut, and what
// reached the server is a part of the file under the name it was written
// to. With the classic method that is the real name, whose old copy was
// deleted before the upload; with the modern method the temporary one,
// beside the old copy. Either way the part goes, so that no cut file is
// served, on a session of its own and without retries.
void Executor::RemoveStoppedUpload(const std::string& remote) {
  const std::string name = op_.file;
  run_.Log("Removing the part of " + AddTrailingSlash(remote) + name + " that reached the server");
  Outcome removed = site_.Connected() ? Outcome() : site_.Connect();
  if (removed) {
    op_.folder = remote;
    removed = site_.ChangeFolder(remote);
    if (removed) removed = site_.RemoveFile(name);
  }
  if (!removed) run_.Log("Could not remove it: " + removed.reason);
  if (site_.Connected()) site_.Quit();
}

void Executor::Stop() {
  stopped_ = true;
  run_.Terminate();
  site_.Interrupt();
}

void Executor::Close() {
  if (gave_up_) {
    site_.Drop();
  } else if (site_.Connected()) {
    site_.Quit();
  }
}

}  // namespace kestova

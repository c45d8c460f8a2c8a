// The run driver and the executor with its retries. The publishing walk is
// in upload_walk.cpp, listings and the wipe in upload_wipe.cpp.
#include "engine/upload.h"

#include <cstring>
#include <ctime>

#include "common/text_helpers.h"
#include "ftp/ftp_reply.h"
#include "net/event_wait.h"

namespace kestova {

Upload::Upload(RunSettings settings, const ProfileView& profile, LogSink log)
    : settings_(std::move(settings)), profile_(profile), log_(std::move(log)), client_(*settings_.SiteClient) {}

void Upload::StartRunState() {
  name_column_ = -1;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  run_year_ = local.tm_year + 1900;
  run_month_ = local.tm_mon + 1;
  text_ext_list_ = "," + profile_.AutoDetectExts() + ",";
  local_root_ = RealPath(settings_.LocalRoot);
}

void Upload::Problem(const std::string& line) {
  Log(line);
  ++problems_;
}

// What makes a run impossible before it connects: nothing to publish from,
// or a start directory that no command could name.
std::string Upload::CheckSettings() const {
  const std::string& root = settings_.LocalRoot;
  if (root.empty()) {
    return "No local folder is set. Choose the folder that holds the site's files (New Root) and start again.";
  }
  struct stat info {};
  if (::stat(root.c_str(), &info) != 0) {
    return "Cannot read the local folder " + root + ": " + std::strerror(errno) + ". Nothing was sent.";
  }
  if (!S_ISDIR(info.st_mode)) return "The local folder " + root + " is not a folder. Nothing was sent.";
  if (DIR* search = ::opendir(root.c_str())) {
    ::closedir(search);
  } else {
    return "Cannot read the local folder " + root + ": " + std::strerror(errno) + ". Nothing was sent.";
  }
  if (HoldsLineBreak(settings_.StartDir)) {
    return "The start directory holds a line break, which no FTP command can carry. Nothing was sent.";
  }
  return std::string();
}

RunOutcome Upload::StartUpload() {
  StartRunState();
  if (profile_.TestRun()) {
    Log("**** THIS IS A TEST RUN -- NO WRITING OR ***");
    Log("****       DELETING WILL TAKE PLACE      ***");
  }
  if (const std::string refusal = CheckSettings(); !refusal.empty()) {
    Log(refusal);
    return RunOutcome::Refused;
  }
  if (!ExecuteCommand("", "", true)) {
    // Esc during a retry pause ends the run like any termination.
    if (!Terminated || gave_up_) return RunOutcome::NotConnected;
    Log("Terminated before completion.");
    return RunOutcome::Terminated;
  }
  std::string& start = settings_.StartDir;
  if (LeftPart(start, 1) != "/") {
    // A relative start directory hangs below the login directory.
    client_.Pwd();
    const std::string reply = client_.LastReply;
    const size_t quote = reply.find('"');
    const std::string after = quote == std::string::npos ? std::string() : reply.substr(quote + 1, 500);
    const size_t second = after.find('"');
    const long long cut = second == std::string::npos ? 0 : static_cast<long long>(second) + 1;
    start = AddTrailingSlash(LeftPart(after, cut - 1)) + start;
  }
  redirect_run_ = settings_.SiteClient == profile_.OldClient();
  write_changes_ = profile_.NewChanges() && settings_.SiteClient == profile_.NewClient() && !redirect_run_;
  RunOutcome outcome = RunOutcome::Finished;
  try {
    if (settings_.WipeFirst) WipeSite();
    if (redirect_run_) {
      page_stream_ = std::make_unique<MemoryStream>();
      client_.SetLocalStream(page_stream_.get());
    }
    PublishFolder(settings_.LocalRoot, start, settings_.SiteURL, profile_.NewURL(), profile_.OldURL());
  } catch (const ListingDateError& error) {
    Log(std::string("Cannot read the date of the listing line ") + error.what() + "; the run stops here.");
    outcome = RunOutcome::Failed;
  }
  client_.SetLocalStream(nullptr);
  page_stream_.reset();
  // After the run gave up nothing more is sent, not even QUIT.
  if (gave_up_) {
    client_.Abort();
  } else if (client_.Connected()) {
    client_.Quit();
  }
  if (outcome == RunOutcome::Failed) return outcome;
  if (!Terminated && Incomplete()) {
    Log("Not everything was done: " + std::to_string(problems_) +
        (problems_ == 1 ? " item was" : " items were") + " skipped or refused (see above).");
  }
  const bool complete = !Terminated && !Incomplete();
  Log(complete ? "Finished." : "Terminated before completion.");
  return complete ? RunOutcome::Finished : RunOutcome::Terminated;
}

// ---- Executing commands

bool Upload::ExecuteCommand(const std::string& param, const std::string& label, bool ignore_failure) {
  if (gave_up_) return false;
  const std::string outer_param = param_;
  const std::string outer_label = label_;
  const std::string outer_saved = saved_file_name_;
  const int outer_pause = pause_now_;
  const int outer_retries = retries_left_;
  const bool outer_ignore = ignore_failure_;
  param_ = param;
  label_ = label;
  saved_file_name_ = client_.HostFileName;
  pause_now_ = settings_.RetryPause;
  retries_left_ = std::clamp(settings_.Retries + 1, 1, 21);
  ignore_failure_ = ignore_failure;
  cannot_connect_ = false;
  bool result = AttemptCommand(0, true);
  const bool terminated = Terminated;
  if (!terminated && !result) {
    if (cannot_connect_) {
      // Another attempt could only fail the same way.
      Log("Reason: " + failure_);
      if (LoginRefused()) {
        Log("The server refused the login. Check the user id and password; Kestova does not try again, so "
            "that the account is not locked.");
      }
      GiveUp();
    } else if (client_.LocalFailure) {
      // A local failure of an upload is told by the upload's own lines.
      if (FoldCase(label) != "put") Log("Reason: " + failure_);
    } else {
      Log("Reason: " + failure_);
      Log("Connection retries all failed.");
      GiveUp();
    }
  }
  param_ = outer_param;
  label_ = outer_label;
  saved_file_name_ = outer_saved;
  pause_now_ = outer_pause;
  retries_left_ = outer_retries;
  ignore_failure_ = outer_ignore;
  return terminated ? false : result;
}

// The run cannot go on: the connection is dropped without another word.
void Upload::GiveUp() {
  gave_up_ = true;
  Terminated = true;
}

// A login the server refused with 530 is not tried again: some servers lock
// an account after a few failed logins. Only a refusal that says the server
// is busy is worth another attempt.
bool Upload::LoginRefused() const {
  const std::string text = FoldCase(client_.ErrorMessage);
  return ParseReplyCode(client_.ErrorMessage).code == 530 && text.find("too many") == std::string::npos &&
         text.find("try later") == std::string::npos && text.find("try again") == std::string::npos;
}

bool Upload::AttemptCommand(int step, bool first) {
  if (retries_left_ == 0) return false;
  if (!first && step == 0) {
    Log("Reason: " + failure_);
    Log("Connect Failed. Retrying [Pause " + std::to_string(pause_now_) + "s]...");
    PauseSeconds(pause_now_ < 0 ? 3 : pause_now_ > 600 ? 600 : pause_now_);
    if (Terminated) return false;
    if (settings_.Ramped) pause_now_ *= 2;
  }
  if (!client_.Connected()) {
    Log("Connecting to " + client_.HostName + (label_.empty() ? std::string() : " for " + label_));
    client_.SetConnectionType(client_.ProxyServer.empty() ? FtpConnectionType::ftpDirect : FtpConnectionType::ftpProxy);
    bool connected = false;
    if (FoldCase(client_.LastReply).find("too many connections") != std::string::npos) {
      client_.Quit();
      step = settings_.Ramped ? step * 2 : step + 30;
      if (step == 0) step = 60;
      if (pause_now_ < 600) pause_now_ += step;
      connected = client_.Connect();
      if (!connected) {
        failure_ = client_.FailureText();
        if (client_.Connected()) client_.Quit();
        Log("Too many connections. Stepping up pause to " + std::to_string(pause_now_));
        --retries_left_;
        return AttemptCommand(step + 30, false);
      }
    } else if (!client_.Connect()) {
      failure_ = client_.FailureText();
      cannot_connect_ = LoginRefused() || client_.LocalFailure;
      // A refused login leaves the control connection open; the retry must
      // log in again rather than take that session for a connection.
      if (client_.Connected()) cannot_connect_ ? client_.Abort() : (void)client_.Quit();
      if (cannot_connect_) return false;
      --retries_left_;
      return AttemptCommand(0, false);
    }
    // Back into the directory the caller works in.
    if (!param_.empty()) {
      client_.HostFileName = param_;
      client_.HostDirName = param_;
      client_.Cwd();
      client_.HostFileName = saved_file_name_;
    }
    // A new session starts in the server's default type; an upload goes in
    // the type the run chose for it.
    if (FoldCase(label_) == "put") client_.Binary() ? client_.TypeBinary() : client_.TypeAscii();
  }
  bool result = RunLabel(label_);
  operation_ok_ = result;
  if (!result) failure_ = client_.FailureText();
  if (ignore_failure_) result = true;
  // Another attempt cannot mend what failed on this side.
  if (!result && client_.LocalFailure) return false;
  if (!result) {
    --retries_left_;
    return AttemptCommand(0, false);
  }
  return result;
}

bool Upload::RunLabel(const std::string& label) {
  const std::string name = FoldCase(label);
  if ((name == "dir" || name == "ls") && listing_) listing_->Clear();
  // Every attempt sends the whole page again.
  if (name == "put" && page_stream_ && client_.LocalStream() == page_stream_.get()) page_stream_->Seek(0);
  client_.LocalFailure = false;
  if (name == "put") return client_.Put();
  if (name == "mkd") return client_.Mkd();
  if (name == "rmd") return client_.Rmd();
  if (name == "cwd") return client_.Cwd();
  if (name == "dele") return client_.Dele();
  if (name == "typebinary") return client_.TypeBinary();
  if (name == "typeascii") return client_.TypeAscii();
  if (name == "ls") return client_.Ls();
  if (name == "dir") return client_.Dir();
  if (name == "cdup") return client_.CDup();
  return true;  // no operation: connecting was all that was asked
}

void Upload::PauseSeconds(int n) {
  // Waits in the event loop, so Esc and Ctrl+C are noticed at once.
  if (n <= 0) return;
  WaitUntil([this] { return Terminated; }, std::chrono::seconds(n));
}

}  // namespace kestova

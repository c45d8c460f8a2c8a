// The run driver, the executor with its retries, and the publishing walk.
// Listings and the wipe are in upload_wipe.cpp.
#include "engine/upload.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "common/text_helpers.h"
#include "engine/redirect_page.h"
#include "ftp/ftp_reply.h"
#include "net/event_wait.h"

namespace kestova {

namespace {

bool IsPage(const std::string& name) {
  return SameText(RightPart(name, 5), ".html") || SameText(RightPart(name, 4), ".htm");
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The path with every link resolved, or empty when it cannot be resolved.
std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

bool Inside(const std::string& path, const std::string& root) {
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          (root.back() == '/' || path[root.size()] == '/'));
}

const char* KindOf(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

const char* const kNameBreakReason = ": its name holds a line break, which no FTP command can carry";

}  // namespace

std::string LocalPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

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

// ---- The publishing walk

// One entry of a local folder. Only regular files and folders inside the
// local folder are published: a link is followed only when it leads to a
// place inside, so that a link to /etc or to a device cannot publish what
// the user never meant to.
Upload::LocalEntry Upload::ReadLocalEntry(const std::string& folder, const std::string& name) const {
  LocalEntry entry;
  entry.name = name;
  const std::string path = LocalPath(folder, name);
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    entry.unpublishable = std::string("cannot read it: ") + std::strerror(errno);
    return entry;
  }
  if (S_ISLNK(info.st_mode)) {
    const std::string target = RealPath(path);
    if (target.empty()) {
      entry.unpublishable = "it is a link to nothing";
      return entry;
    }
    if (local_root_.empty() || !Inside(target, local_root_)) {
      entry.unpublishable = "it is a link that leads outside the local folder, to " + target;
      return entry;
    }
    if (::stat(path.c_str(), &info) != 0) {
      entry.unpublishable = std::string("cannot read it: ") + std::strerror(errno);
      return entry;
    }
  }
  entry.directory = S_ISDIR(info.st_mode);
  if (!entry.directory && !S_ISREG(info.st_mode)) entry.unpublishable = KindOf(info.st_mode);
  entry.device = info.st_dev;
  entry.inode = info.st_ino;
  entry.size = info.st_size;
  std::tm local{};
  ::localtime_r(&info.st_mtime, &local);
  entry.time = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec - local.tm_sec % 2};
  entry.dos_time = PackDosTime(entry.time);
  return entry;
}

bool Upload::ReadLocalFolder(const std::string& folder, std::vector<LocalEntry>& entries) {
  DIR* search = ::opendir(folder.c_str());
  if (!search) return false;
  // The system's own order, "." and ".." included, as the walk expects.
  while (const dirent* found = ::readdir(search)) entries.push_back(ReadLocalEntry(folder, found->d_name));
  ::closedir(search);
  return true;
}

void Upload::PublishFolder(const std::string& local, const std::string& remote, const std::string& site_address,
                           const std::string& new_address, const std::string& old_address) {
  if (Terminated) return;
  client_.HostFileName = remote;
  client_.HostDirName = remote;
  if (profile_.TestRun()) {
    Log("## Test: Make directory " + remote);
  } else if (!ExecuteCommand(remote, "mkd", true)) {
    Terminated = true;
    return;
  }
  std::vector<LocalEntry> entries;
  if (!ReadLocalFolder(local, entries)) {
    const int error = errno;
    Problem("Skipped the folder " + local + ": cannot read it: " + std::strerror(error));
    return;
  }
  if (entries.empty()) return;
  struct stat self {};
  ::stat(local.c_str(), &self);
  walking_.emplace_back(self.st_dev, self.st_ino);
  client_.HostFileName = remote;
  client_.HostDirName = remote;
  if (!ExecuteCommand(remote, "cwd", false)) {
    Terminated = true;
    walking_.pop_back();
    return;
  }
  for (const LocalEntry& entry : entries) {
    ProcessPendingEvents();
    if (Terminated) break;
    if (entry.directory) {
      if (entry.name != "." && entry.name != "..") {
        const bool front_page = profile_.ExclFrontPage() && (SameText(entry.name, "_vti_cnf") ||
                                                             SameText(entry.name, "_private"));
        const bool cycle = std::find(walking_.begin(), walking_.end(), std::make_pair(entry.device, entry.inode)) !=
                           walking_.end();
        if (cycle) {
          Log("Skipped folder " + LocalPath(local, entry.name) + ": it leads back to a folder being published");
        } else if (HoldsLineBreak(entry.name)) {
          Problem("Skipped the folder " + LocalPath(local, entry.name) + kNameBreakReason);
        } else if (!front_page) {
          const std::string segment = UrlPathSegment(entry.name);
          PublishFolder(LocalPath(local, entry.name), AddTrailingSlash(remote) + entry.name,
                        AddTrailingSlash(site_address) + segment, AddTrailingSlash(new_address) + segment,
                        AddTrailingSlash(old_address) + segment);
          if (Terminated) break;
        }
      }
      client_.HostFileName = remote;
      client_.HostDirName = remote;
      if (!ExecuteCommand(remote, "cwd", false)) {
        Terminated = true;
        break;
      }
      continue;
    }
    if (settings_.RedirectJob && !IsPage(entry.name)) continue;
    PublishFile(local, remote, entry, site_address, new_address, old_address);
    if (Terminated) break;
  }
  walking_.pop_back();
}

void Upload::PublishFile(const std::string& local, const std::string& remote, const LocalEntry& entry,
                         const std::string& site_address, const std::string& new_address,
                         const std::string& old_address) {
  const std::string path = LocalPath(local, entry.name);
  if (!entry.unpublishable.empty()) return Problem("Skipped " + path + ": " + entry.unpublishable);
  if (HoldsLineBreak(entry.name)) return Problem("Skipped " + path + kNameBreakReason);
  client_.HostFileName = entry.name;
  if (!redirect_run_) client_.SetLocalFileName(path);
  if (write_changes_) return WriteChangesStep(local, remote, entry, site_address, new_address, old_address);
  // The local file is known to be readable (the page built) before the
  // server's copy is deleted: a file that cannot be sent must not cost the
  // site its current copy.
  if (!ReadyToSend(local, entry.name, site_address, new_address, old_address)) return;
  if (!settings_.WipeFirst) {
    if (profile_.TestRun()) {
      Log("## Test: Delete of " + entry.name);
    } else if (!ExecuteCommand(remote, "dele", true)) {
      Terminated = true;
      return;
    }
  }
  if (profile_.TestRun()) {
    Log("## Test: Copy " + client_.LocalFileName() + " to " + client_.HostDirName);
    return;
  }
  SetTransferType(client_.LocalFileName().empty() ? entry.name : client_.LocalFileName());
  if (!UploadFile(local, entry.name)) Terminated = true;
}

// Checks that a file can be read, and in a redirection run builds its page,
// before anything on the server is changed for it. False, with a line in
// the log, when it cannot be sent.
bool Upload::ReadyToSend(const std::string& local, const std::string& name, const std::string& site_address,
                         const std::string& new_address, const std::string& old_address) {
  const std::string path = LocalPath(local, name);
  if (redirect_run_ && !profile_.TestRun()) return BuildPage(local, name, site_address, new_address, old_address);
  std::string why;
  if (client_.OpenForUpload(path, why)) return true;
  Problem("Skipped " + path + ": cannot read it: " + why);
  return false;
}

void Upload::WriteChangesStep(const std::string& local, const std::string& remote, const LocalEntry& entry,
                              const std::string& site_address, const std::string& new_address,
                              const std::string& old_address) {
  MemoryStream stream;
  client_.SetLocalStream(&stream);
  // Not retried: a listing that fails makes the file count as new. What a
  // failed listing delivered before it broke off is not read.
  const bool listed = client_.Dir();
  client_.SetLocalStream(nullptr);
  const std::vector<std::string> lines = listed ? ListInto(stream) : std::vector<std::string>();
  client_.SetLocalFileName(LocalPath(local, entry.name));
  auto send = [&](const char* label) {
    if (!ReadyToSend(local, entry.name, site_address, new_address, old_address)) return;
    if (profile_.TestRun()) {
      Log("## Test: Copy " + client_.LocalFileName() + " to " + client_.HostDirName);
      return;
    }
    // A copy being replaced is deleted first; a new file has none.
    if (FoldCase(label) == "put" && !ExecuteCommand(remote, "dele", true)) {
      Terminated = true;
      return;
    }
    SetTransferType(entry.name);
    Log("Write File " + entry.name);
    if (!SendUpload(local, remote, entry.name, label)) Terminated = true;
  };
  for (const std::string& line : lines) {
    ProcessPendingEvents();
    if (Terminated) return;
    if (!IsListingEntry(line)) continue;
    const long long start = NameStart(remote, line);
    if (start <= 0) continue;
    const std::string name = EntryName(line, start);
    if (name.empty() || !SameText(name, entry.name)) continue;
    ListingTime remote_time;
    try {
      remote_time = ListingDate(line, run_year_, run_month_);
    } catch (const ListingDateError& error) {
      throw ListingDateError("'" + line + "' (" + error.what() + ")");
    }
    if (PackDosTime(remote_time) >= entry.dos_time) {
      // A newer copy of another size was cut short by an earlier run that
      // failed; it is sent again.
      if (!SizeDiffers(LocalPath(local, entry.name), entry.size, line)) {
        Log("File " + name + " - no date change");
        return;
      }
      Log("File " + name + " - size differs (" + ListingField(line, 4) + " bytes listed, " +
          std::to_string(entry.size) + " here)");
    } else {
      Log("Old time: " + FormatListingTime(remote_time) + " New: " + FormatListingTime(entry.time));
    }
    return send("put");
  }
  Log("** New file: " + entry.name);
  send("Put");
}

bool Upload::GoesAsBinary(const std::string& file_name) const {
  if (!settings_.AutoDetect) return settings_.BinaryMode;
  const size_t slash = file_name.find_last_of("/\\");
  const std::string base = slash == std::string::npos ? file_name : file_name.substr(slash + 1);
  const size_t dot = base.rfind('.');
  const std::string extension = dot == std::string::npos ? std::string() : TailFrom(base.substr(dot), 2);
  return Upper(text_ext_list_).find("," + Upper(extension) + ",") == std::string::npos;
}

void Upload::SetTransferType(const std::string& file_name) {
  const char* label = GoesAsBinary(file_name) ? "TypeBinary" : "TypeAscii";
  if (!ExecuteCommand(client_.HostDirName, label, false)) Terminated = true;
}

// Whether the size in a listing line shows that the server's copy is not the
// local file. A binary copy has the local size exactly. A text copy may have
// had its line ends changed on the way, so it may be smaller by the local
// file's CRs or larger by its LFs, but no more. A size that cannot be read
// differs from nothing.
bool Upload::SizeDiffers(const std::string& path, std::int64_t local_size, const std::string& listing_line) {
  const std::string field = ListingField(listing_line, 4);
  if (field.empty() || field.size() > 18 || field.find_first_not_of("0123456789") != std::string::npos) return false;
  const std::int64_t listed = std::stoll(field);
  if (listed == local_size) return false;
  if (GoesAsBinary(path)) return true;
  std::ifstream in(path, std::ios::binary);
  std::int64_t returns = 0, feeds = 0;
  char block[65536];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      returns += block[i] == '\r';
      feeds += block[i] == '\n';
    }
  }
  return listed < local_size - returns || listed > local_size + feeds;
}

// Reads the local page and builds its redirection page into the run's page
// stream. Values that land in the page are escaped there, in one place.
bool Upload::BuildPage(const std::string& local, const std::string& name, const std::string& site_address,
                       const std::string& new_address, const std::string& old_address) {
  const std::string path = LocalPath(local, name);
  std::string why;
  std::unique_ptr<DataStream> file = client_.OpenForUpload(path, why);
  std::string text;
  try {
    char block[65536];
    for (std::int64_t got; file && (got = file->Read(block, sizeof block)) > 0;) {
      text.append(block, static_cast<size_t>(got));
    }
  } catch (const std::exception& error) {
    file.reset();
    why = error.what();
  }
  if (!file) {
    Problem("Skipped " + path + ": cannot read it: " + why);
    return false;
  }
  const std::string segment = UrlPathSegment(name);
  PlaceholderValues values;
  values.newurl = new_address + "/" + segment;
  values.oldurl = old_address + "/" + segment;
  values.title = TitleAsUtf8(FindTitle(SplitLines(text)));
  values.profile = profile_.ProfileName();
  values.oldhome = old_address;
  values.newhome = new_address;
  const std::string page = BuildRedirectPage(profile_.TemplateLines(), values);
  page_stream_->Clear();
  page_stream_->Write(page.data(), static_cast<std::int64_t>(page.size()));
  page_stream_->Seek(0);
  Log("## Built redirection page for " + site_address + "/" + segment);
  return true;
}

bool Upload::UploadFile(const std::string& local, const std::string& name) {
  const bool sent = ExecuteCommand(client_.HostDirName, "put", false);
  Log("Copy to " + client_.HostDirName + "/" + name + " as " + ChooseValue(client_.Binary(), "Binary", "ASCII"));
  Log("    - " + client_.LastReply);
  if (sent || !client_.LocalFailure) return sent;
  // The file could not be read to its end: what reached the server is not
  // the file, so it goes, and the run goes on with the next file.
  Problem("Skipped " + LocalPath(local, name) + ": not published, it could not be read to its end");
  client_.HostFileName = name;
  ExecuteCommand(client_.HostDirName, "dele", true);
  return !gave_up_;
}

// The upload of the write-changes step, with its reply line.
bool Upload::SendUpload(const std::string& local, const std::string& remote, const std::string& name,
                        const char* label) {
  const bool sent = ExecuteCommand(remote, label, false);
  if (!sent && !client_.LocalFailure) return false;
  Log("    - " + client_.LastReply);
  if (sent) return true;
  Problem("Skipped " + LocalPath(local, name) + ": not published, it could not be read to its end");
  client_.HostFileName = name;
  ExecuteCommand(remote, "dele", true);
  return !gave_up_;
}

}  // namespace kestova

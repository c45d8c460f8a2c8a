#include "engine/upload.h"

#include <ctime>
#include <fstream>
#include <iterator>

#include "common/text_helpers.h"
#include "engine/redirect_page.h"
#include "net/event_wait.h"

namespace kestova {

namespace {

// A file the run cannot read ends the run early, like an unreadable
// listing date.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

bool IsPage(const std::string& name) {
  return SameText(RightPart(name, 5), ".html") || SameText(RightPart(name, 4), ".htm");
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

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
}

RunOutcome Upload::StartUpload() {
  StartRunState();
  if (profile_.TestRun()) {
    Log("**** THIS IS A TEST RUN -- NO WRITING OR ***");
    Log("****       DELETING WILL TAKE PLACE      ***");
  }
  if (!ExecuteCommand("", "", true)) return RunOutcome::NotConnected;
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
  } catch (const RunError& error) {
    Log(error.what());
    outcome = RunOutcome::Failed;
  }
  client_.SetLocalStream(nullptr);
  page_stream_.reset();
  if (client_.Connected()) client_.Quit();
  if (outcome == RunOutcome::Failed) return outcome;
  Log(Terminated ? "Terminated before completion." : "Finished.");
  return Terminated ? RunOutcome::Terminated : RunOutcome::Finished;
}

// ---- Executing commands

bool Upload::ExecuteCommand(const std::string& param, const std::string& label, bool ignore_failure) {
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
  bool result = AttemptCommand(0, true);
  const bool terminated = Terminated;
  if (!terminated && !result) Log("Connection retries all failed.");
  param_ = outer_param;
  label_ = outer_label;
  saved_file_name_ = outer_saved;
  pause_now_ = outer_pause;
  retries_left_ = outer_retries;
  ignore_failure_ = outer_ignore;
  return terminated ? false : result;
}

bool Upload::AttemptCommand(int step, bool first) {
  if (retries_left_ == 0) return false;
  if (!first && step == 0) {
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
        if (client_.Connected()) client_.Quit();
        Log("Too many connections. Stepping up pause to " + std::to_string(pause_now_));
        --retries_left_;
        return AttemptCommand(step + 30, false);
      }
    } else if (!client_.Connect()) {
      // A refused login leaves the control connection open; the retry must
      // log in again rather than take that session for a connection.
      if (client_.Connected()) client_.Quit();
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
  if (ignore_failure_) result = true;
  if (!result) {
    --retries_left_;
    return AttemptCommand(0, false);
  }
  return result;
}

bool Upload::RunLabel(const std::string& label) {
  const std::string name = FoldCase(label);
  if ((name == "dir" || name == "ls") && listing_) listing_->Clear();
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

// ---- Listings

std::vector<std::string> Upload::ListInto(MemoryStream& stream) { return SplitLines(stream.Data()); }

int Upload::FindNameColumn(const std::string& directory) {
  if (name_column_ > -1) return name_column_;
  const std::string host_file = client_.HostFileName;
  const std::string local_file = client_.LocalFileName();
  const std::string host_dir = client_.HostDirName;
  DataStream* run_stream = client_.LocalStream();
  auto restore = [&] {
    client_.HostFileName = host_file;
    client_.HostDirName = host_dir;
    client_.SetLocalStream(run_stream);
    if (!run_stream) client_.SetLocalFileName(local_file);
  };
  client_.SetLocalFileName("");
  client_.HostFileName = directory;
  client_.HostDirName = directory;
  client_.Cwd();
  client_.HostFileName.clear();
  MemoryStream stream;
  client_.SetLocalStream(&stream);
  listing_ = &stream;
  const bool listed = ExecuteCommand(directory, "ls", false);
  listing_ = nullptr;
  if (!listed) {
    Terminated = true;
    restore();
    return -1;
  }
  const std::vector<std::string> names = ListInto(stream);
  if (names.empty()) {
    restore();
    return -1;
  }
  const std::string reference = TrimBlanks(names.front());
  listing_ = &stream;
  const bool listed_long = ExecuteCommand(directory, "dir", false);
  listing_ = nullptr;
  if (!listed_long) {
    Terminated = true;
    restore();
    return -1;
  }
  const std::vector<std::string> lines = ListInto(stream);
  client_.SetLocalStream(nullptr);
  for (const std::string& line : lines) {
    if (name_column_ != -1) break;
    name_column_ = NameColumnFrom(line, reference);
  }
  restore();
  return name_column_;
}

long long Upload::NameStart(const std::string& directory, const std::string& line) {
  return FieldStart(line, FindNameColumn(directory));
}

// ---- The publishing walk

bool Upload::ReadLocalFolder(const std::string& folder, std::vector<LocalEntry>& entries) {
  DIR* search = ::opendir(folder.c_str());
  if (!search) return false;
  // The system's own order, "." and ".." included, as the walk expects.
  while (const dirent* found = ::readdir(search)) {
    LocalEntry entry;
    entry.name = found->d_name;
    struct stat info {};
    if (::stat(LocalPath(folder, entry.name).c_str(), &info) != 0) continue;
    entry.directory = S_ISDIR(info.st_mode);
    entry.device = info.st_dev;
    entry.inode = info.st_ino;
    entry.size = info.st_size;
    std::tm local{};
    ::localtime_r(&info.st_mtime, &local);
    entry.time = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                  local.tm_sec - local.tm_sec % 2};
    entry.dos_time = PackDosTime(entry.time);
    entries.push_back(std::move(entry));
  }
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
  if (!ReadLocalFolder(local, entries) || entries.empty()) return;
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
        } else if (!front_page) {
          PublishFolder(LocalPath(local, entry.name), AddTrailingSlash(remote) + entry.name,
                        AddTrailingSlash(site_address) + entry.name, AddTrailingSlash(new_address) + entry.name,
                        AddTrailingSlash(old_address) + entry.name);
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
    client_.HostFileName = entry.name;
    if (!redirect_run_) client_.SetLocalFileName(LocalPath(local, entry.name));
    if (!settings_.WipeFirst && !write_changes_) {
      if (profile_.TestRun()) {
        Log("## Test: Delete of " + entry.name);
      } else if (!ExecuteCommand(remote, "dele", true)) {
        Terminated = true;
        break;
      }
    }
    if (write_changes_) {
      WriteChangesStep(local, remote, entry);
      if (Terminated) break;
      continue;
    }
    if (profile_.TestRun()) {
      Log("## Test: Copy " + client_.LocalFileName() + " to " + client_.HostDirName);
      continue;
    }
    SetTransferType(client_.LocalFileName().empty() ? entry.name : client_.LocalFileName());
    if (!UploadFile(local, entry.name, site_address, new_address, old_address)) {
      Terminated = true;
      break;
    }
  }
  walking_.pop_back();
}

void Upload::WriteChangesStep(const std::string& local, const std::string& remote, const LocalEntry& entry) {
  MemoryStream stream;
  client_.SetLocalStream(&stream);
  // Not retried: a listing that fails makes the file count as new. What a
  // failed listing delivered before it broke off is not read.
  const bool listed = client_.Dir();
  client_.SetLocalStream(nullptr);
  const std::vector<std::string> lines = listed ? ListInto(stream) : std::vector<std::string>();
  client_.SetLocalFileName(LocalPath(local, entry.name));
  auto send = [&](const char* label) {
    SetTransferType(entry.name);
    Log("Write File " + entry.name);
    if (!ExecuteCommand(remote, label, false)) {
      Terminated = true;
      return;
    }
    Log("    - " + client_.LastReply);
  };
  for (const std::string& line : lines) {
    ProcessPendingEvents();
    if (Terminated) return;
    if (!IsListingEntry(line)) continue;
    const long long start = NameStart(remote, line);
    if (start <= 0) continue;
    const std::string name = ListingName(line, start);
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
    if (profile_.TestRun()) {
      Log("## Test: Copy " + client_.LocalFileName() + " to " + client_.HostDirName);
      return;
    }
    if (!ExecuteCommand(remote, "dele", true)) {
      Terminated = true;
      return;
    }
    send("put");
    return;
  }
  Log("** New file: " + entry.name);
  if (profile_.TestRun()) {
    Log("## Test: Copy " + client_.LocalFileName() + " to " + client_.HostDirName);
    return;
  }
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

bool Upload::UploadFile(const std::string& local, const std::string& name, const std::string& site_address,
                        const std::string& new_address, const std::string& old_address) {
  if (redirect_run_ && IsPage(name)) {
    const std::string path = LocalPath(local, name);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw RunError("Cannot read the page " + path + "; the run stops here.");
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    PlaceholderValues values;
    values.newurl = new_address + "/" + name;
    values.oldurl = old_address + "/" + name;
    values.title = FindTitle(SplitLines(text));
    values.profile = profile_.ProfileName();
    values.oldhome = old_address;
    values.newhome = new_address;
    const std::string page = BuildRedirectPage(profile_.TemplateLines(), values);
    page_stream_->Clear();
    page_stream_->Write(page.data(), static_cast<std::int64_t>(page.size()));
    page_stream_->Seek(0);
    Log("## Built redirection page for " + site_address + "/" + name);
  }
  const bool sent = ExecuteCommand(client_.HostDirName, "put", false);
  Log("Copy to " + client_.HostDirName + "/" + name + " as " + ChooseValue(client_.Binary(), "Binary", "ASCII"));
  Log("    - " + client_.LastReply);
  return sent;
}

// ---- Wiping

void Upload::WipeSite() {
  WipeFolder(settings_.StartDir);
  client_.HostFileName = settings_.StartDir;
  client_.HostDirName = settings_.StartDir;
  if (!ExecuteCommand(settings_.StartDir, "cwd", false)) Terminated = true;
}

bool Upload::WipeFolder(const std::string& directory) {
  client_.SetLocalFileName("");
  client_.HostFileName = directory;
  client_.HostDirName = directory;
  if (!ExecuteCommand(directory, "cwd", false)) {
    Terminated = true;
    return false;
  }
  client_.HostFileName.clear();
  MemoryStream stream;
  DataStream* run_stream = client_.LocalStream();
  client_.SetLocalStream(&stream);
  listing_ = &stream;
  const bool listed = ExecuteCommand(directory, "dir", false);
  listing_ = nullptr;
  if (!listed) {
    Terminated = true;
    client_.SetLocalStream(run_stream);
    return false;
  }
  client_.SetLocalStream(run_stream);
  const std::vector<std::string> lines = ListInto(stream);
  Log(client_.LastReply);
  Log("--------------------");
  for (const std::string& line : lines) Log(line);
  Log("--------------------");
  bool left_behind = false;
  for (const std::string& line : lines) {
    ProcessPendingEvents();
    if (Terminated) return false;
    if (!IsListingEntry(line)) continue;
    const long long start = NameStart(directory, line);
    if (start <= 0) continue;
    const std::string name = ListingName(line, start);
    if (name.empty()) continue;
    if (name[0] == '.') {
      // Dot-files such as .htaccess stay, and so does their directory.
      if (name != "." && name != "..") left_behind = true;
      continue;
    }
    if (line[0] == 'd') {
      const bool emptied = WipeFolder(AddTrailingSlash(directory) + name);
      if (!ExecuteCommand(directory, "CdUp", false)) {
        Terminated = true;
        return false;
      }
      client_.HostDirName = directory;
      if (!emptied) {
        left_behind = true;
        continue;
      }
      client_.HostFileName = name;
      if (profile_.TestRun()) {
        Log("## Test: Remove Dir " + name);
      } else if (!ExecuteCommand(directory, "rmd", true)) {
        Terminated = true;
        return false;
      }
      continue;
    }
    client_.HostFileName = name;
    if (profile_.TestRun()) {
      Log("## Test: Delete File " + name);
    } else if (!ExecuteCommand(directory, "dele", true)) {
      Terminated = true;
      return false;
    }
  }
  return !left_behind;
}

}  // namespace kestova

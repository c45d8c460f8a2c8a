// What both publish walks share: the local folder as the walk reads it
// (entries, links, cycles, what is skipped), and a file's way to the server
// by the write mode: the Wrt Changes comparison, the send, its reply line,
// the test run's words and the redirection page built.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "common/text_helpers.h"
#include "engine/redirect_page.h"
#include "engine/run_strategies.h"
#include "engine/upload.h"
#include "net/event_wait.h"

namespace kestova {

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
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

bool Upload::IsPage(const std::string& name) {
  return SameText(RightPart(name, 5), ".html") || SameText(RightPart(name, 4), ".htm");
}

std::string LocalPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

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
  entry.time = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour,        local.tm_min,     local.tm_sec - local.tm_sec % 2};
  entry.dos_time = PackDosTime(entry.time);
  entry.mtime = static_cast<long long>(info.st_mtime);
  entry.whole_second = info.st_mtim.tv_nsec == 0;
  return entry;
}

bool Upload::ReadLocalFolder(const std::string& folder, std::vector<LocalEntry>& entries) {
  DIR* search = ::opendir(folder.c_str());
  if (!search) return false;
  while (const dirent* found = ::readdir(search)) entries.push_back(ReadLocalEntry(folder, found->d_name));
  ::closedir(search);
  // What the user excludes is not there for any walk: never sent, never
  // counted.
  if (!exclusions_.Empty()) {
    const std::string below = Below(settings_.LocalRoot, folder);
    std::erase_if(entries, [&](const LocalEntry& entry) {
      return entry.name != "." && entry.name != ".." &&
             Excluded(below.empty() ? entry.name : below + "/" + entry.name, entry.directory);
    });
  }
  // "." and ".." first, as the walk expects them, then in name order as
  // people read it, so that logs and progress are easy to follow and runs
  // repeat themselves whatever order the disk keeps.
  const auto rank = [](const std::string& name) { return name == "." ? 0 : name == ".." ? 1 : 2; };
  std::sort(entries.begin(), entries.end(), [&rank](const LocalEntry& a, const LocalEntry& b) {
    if (rank(a.name) != rank(b.name)) return rank(a.name) < rank(b.name);
    return NaturalLess(a.name, b.name);
  });
  return true;
}

// Which folder entries the walk goes into (besides "." and "..", cycles and
// names that no command can carry, which it reports).
bool Upload::WalkedFolder(const LocalEntry& entry) const {
  return !(profile_.ExclFrontPage() && (SameText(entry.name, "_vti_cnf") || SameText(entry.name, "_private")));
}

void Upload::CountLocalFiles(const std::string& folder, std::vector<std::pair<dev_t, ino_t>>& path, std::int64_t& files,
                             std::int64_t& bytes) {
  std::vector<LocalEntry> entries;
  if (!ReadLocalFolder(folder, entries)) return;
  struct stat self {};
  ::stat(folder.c_str(), &self);
  path.emplace_back(self.st_dev, self.st_ino);
  for (const LocalEntry& entry : entries) {
    if (entry.directory) {
      if (entry.name == "." || entry.name == ".." || !WalkedFolder(entry) || HoldsLineBreak(entry.name) ||
          std::find(path.begin(), path.end(), std::make_pair(entry.device, entry.inode)) != path.end()) {
        continue;
      }
      CountLocalFiles(LocalPath(folder, entry.name), path, files, bytes);
    } else if (!settings_.RedirectJob || IsPage(entry.name)) {
      ++files;
      if (entry.unpublishable.empty() && !settings_.RedirectJob) bytes += entry.size;
    }
  }
  path.pop_back();
}

// Whether the walk goes into a local folder: not into the FrontPage folders
// (when they are excluded), not back into a folder being published, and not
// into one whose name no command can carry (both said).
bool Upload::FolderToWalk(const std::string& path, const LocalEntry& entry) {
  if (std::find(walking_.begin(), walking_.end(), std::make_pair(entry.device, entry.inode)) != walking_.end()) {
    Log("Skipped folder " + path + ": it leads back to a folder being published");
    return false;
  }
  if (HoldsLineBreak(entry.name)) {
    Problem("Skipped the folder " + path + kNameBreakReason);
    return false;
  }
  return WalkedFolder(entry);
}

// A file the walk does not publish, said with why.
bool Upload::FileSkipped(const std::string& path, const LocalEntry& entry) {
  if (!entry.unpublishable.empty()) {
    Problem("Skipped " + path + ": " + entry.unpublishable, path);
  } else if (HoldsLineBreak(entry.name)) {
    Problem("Skipped " + path + kNameBreakReason, path);
  } else if (replace_->Reserved(entry.name)) {
    Problem("Skipped " + path + ": its name is one the modern method gives files while it sends them", path);
  } else {
    return false;
  }
  return true;
}

// Overwrite All (and the redirection pages): the file named in the operands
// replaces the server's copy.
void Upload::OverwriteFile(const std::string& local, const std::string& remote, const LocalEntry& entry,
                           const std::string& site_address, const std::string& new_address,
                           const std::string& old_address, bool is_new) {
  // The local file is known to be readable (the page built) before the
  // server's copy is deleted: a file that cannot be sent must not cost the
  // site its current copy.
  if (!ReadyToSend(local, entry.name, site_address, new_address, old_address)) return;
  // Renaming into place deletes nothing first: the new copy is renamed over
  // the old one.
  if (!settings_.WipeFirst) {
    if (profile_.TestRun()) {
      Log("## Test: Delete of " + entry.name);
    } else if (replace_->DeletesFirst() && !ExecuteCommand(remote, "dele", true)) {
      Terminate();
      return;
    }
  }
  if (profile_.TestRun()) {
    TestCopy(local, entry.name);
    return;
  }
  SetTransferType(Next().local_file.empty() ? entry.name : Next().local_file);
  if (!replace_->Send(local, remote, entry.name, is_new ? "Put" : "put", true)) Terminate();
}

// Checks that a file can be read, and in a redirection run builds its page,
// before anything on the server is changed for it. False, with a line in
// the log, when it cannot be sent.
bool Upload::ReadyToSend(const std::string& local, const std::string& name, const std::string& site_address,
                         const std::string& new_address, const std::string& old_address) {
  const std::string path = LocalPath(local, name);
  if (settings_.RedirectJob && !profile_.TestRun())
    return BuildPage(local, name, site_address, new_address, old_address);
  std::string why;
  if (client_->OpenForUpload(path, why)) return true;
  Problem("Skipped " + path + ": cannot read it: " + why, path);
  return false;
}

// The classic method lists each file by its name.
Upload::Verdict Upload::ListedVerdict(const std::string& local, const LocalEntry& entry) {
  RemoteListing listing;
  // Not retried: a listing that fails makes the file count as new. What a
  // failed listing delivered before it broke off is not read.
  if (!client_->List(SiteConnection::Listing::Long, entry.name, listing)) return Verdict::New;
  // The first entry that names the file decides.
  for (const RemoteEntry& listed : listing.entries) {
    ProcessPendingEvents();
    if (terminated_) return Verdict::None;
    if (listed.name.empty() || !SameText(listed.name, entry.name)) continue;
    return ServerCopyOutdated(local, entry, listed) ? Verdict::Changed : Verdict::Unchanged;
  }
  return Verdict::New;
}

// Compares the listed copy with the local file and says what it found:
// true when the file is to be sent.
// A listed time that cannot be read ends the run: the listing is in
// another layout than the comparison can trust.
bool Upload::ServerCopyOutdated(const std::string& local, const LocalEntry& entry, const RemoteEntry& listed) {
  if (!listed.time_error.empty()) throw ListingDateError("'" + listed.line + "' (" + listed.time_error + ")");
  judged_reason_ = "the server's times cannot be used";
  if (changes_->TimesUntrusted(listed.name)) return true;
  ListingTime shown = listed.time;
  judged_reason_ = "newer";
  if (changes_->ListedOlder(listed, entry, shown)) {
    Log("Old time: " + FormatListingTime(shown) + " New: " + FormatListingTime(entry.time));
    return true;
  }
  judged_reason_ = "newer, within the hour a clock change can shift";
  if (changes_->WithinSlack(listed, entry)) return true;
  judged_reason_ = "other size";
  // A newer copy of another size was cut short by an earlier run that
  // failed; it is sent again.
  const std::string path = LocalPath(local, entry.name);
  if (listed.size >= 0 && ListedSizeDiffers(path, entry.size, listed.size)) {
    Log("File " + listed.name + " - size differs (" + std::to_string(listed.size) + " bytes listed, " +
        std::to_string(entry.size) + " here)");
    return true;
  }
  Log("File " + listed.name + " - no date change");
  return false;
}

// Sends a file of the write-changes step: "put" replaces a listed copy,
// which the classic method deletes first; "Put" sends a new file, with no
// delete. The two labels differ only in case, so they are told apart
// exactly here (the executor matches labels in any case).
void Upload::SendChanged(const std::string& local, const std::string& remote, const std::string& name,
                         const char* label, const std::string& site_address, const std::string& new_address,
                         const std::string& old_address) {
  if (!ReadyToSend(local, name, site_address, new_address, old_address)) return;
  if (profile_.TestRun()) {
    TestCopy(local, name);
    return;
  }
  if (replace_->DeletesFirst() && std::strcmp(label, "put") == 0 && !ExecuteCommand(remote, "dele", true)) {
    return Terminate();
  }
  SetTransferType(name);
  Log("Write File " + name);
  if (!replace_->Send(local, remote, name, label, false)) Terminate();
}

// A test run says what it would send, and counts it.
void Upload::TestCopy(const std::string& local, const std::string& name) {
  Log("## Test: Copy " + Next().local_file + " to " + Next().folder);
  struct stat info {};
  const std::string path = LocalPath(local, name);
  const std::int64_t bytes = !settings_.RedirectJob && ::stat(path.c_str(), &info) == 0 ? info.st_size : 0;
  Emit(RunEvent::Kind::FileWouldSend, path, bytes);
}

// "Binary" or "ASCII"; a site without a text mode says so where FTP would
// have sent the file as text.
std::string Upload::TypeWords(const std::string& name) const {
  if (!client_->HasTextMode() && !GoesAsBinary(name)) return "Binary (byte for byte: the site has no text mode)";
  return client_->Binary() ? "Binary" : "ASCII";
}

bool Upload::GoesAsBinary(const std::string& file_name) const {
  if (!settings_.AutoDetect) return settings_.BinaryMode;
  const size_t slash = file_name.find_last_of("/\\");
  const std::string base = slash == std::string::npos ? file_name : file_name.substr(slash + 1);
  const size_t dot = base.rfind('.');
  const std::string extension = dot == std::string::npos ? std::string() : TailFrom(base.substr(dot), 2);
  return Upper(text_ext_list_).find("," + Upper(extension) + ",") == std::string::npos;
}

// The classic method sends TYPE before every file; the modern method only
// when the session's type changes.
void Upload::SetTransferType(const std::string& file_name) {
  const int binary = GoesAsBinary(file_name) ? 1 : 0;
  if (!type_each_file_ && executor_->SessionType() == binary) return;
  if (!ExecuteCommand(Next().folder, binary ? "TypeBinary" : "TypeAscii", false)) return Terminate();
  executor_->SetSessionType(binary);
}

// Whether a listed size shows that the server's copy is not the local file.
// A binary copy has the local size exactly. A text copy may have had its
// line ends changed on the way, so it may be smaller by the local file's CRs
// or larger by its LFs, but no more.
bool Upload::ListedSizeDiffers(const std::string& path, std::int64_t local_size, std::int64_t listed) {
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
  std::unique_ptr<DataStream> file = client_->OpenForUpload(path, why);
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
    Problem("Skipped " + path + ": cannot read it: " + why, path);
    return false;
  }
  MakePage(text, name, site_address, new_address, old_address);
  return true;
}

// The redirection page for the page `name` whose text is `text`, in the
// page stream.
void Upload::MakePage(const std::string& text, const std::string& name, const std::string& site_address,
                      const std::string& new_address, const std::string& old_address) {
  const std::string segment = UrlPathSegment(name);
  PlaceholderValues values;
  values.newurl = new_address + "/" + segment;
  values.oldurl = old_address + "/" + segment;
  values.title = TitleAsUtf8(FindTitle(SplitLines(text)));
  values.profile = profile_.ProfileName();
  values.oldhome = old_address;
  values.newhome = new_address;
  const std::string page = BuildRedirectPage(profile_.TemplateLines(), values);
  // The stream the session at work sends from: each of several builds its
  // own pages.
  MemoryStream& stream = Next().stream ? *Next().stream : *page_stream_;
  stream.Clear();
  stream.Write(page.data(), static_cast<std::int64_t>(page.size()));
  stream.Seek(0);
  Log("## Built redirection page for " + site_address + "/" + segment);
}

bool Upload::UploadFile(const std::string& local, const std::string& name) {
  const bool sent = ExecuteCommand(Next().folder, "put", false);
  // One slash between folder and name, the root folder "/" included.
  Log("Copy to " + AddTrailingSlash(Next().folder) + name + " as " + TypeWords(name));
  Log("    - " + client_->LastReply());
  if (sent) Emit(RunEvent::Kind::FileSent, LocalPath(local, name), client_->TransferCount());
  if (sent || !executor_->FailedHere() || executor_->GaveUp()) return sent;
  return DropPartialCopy(local, Next().folder, name);
}

// An upload that failed on this side (the file could not be read to its
// end): what reached the server is not the file, so it goes, and the run
// goes on with the next file.
bool Upload::DropPartialCopy(const std::string& local, const std::string& remote, const std::string& name) {
  const std::string path = LocalPath(local, name);
  Problem("Skipped " + path + ": the upload failed here, so its copy on the server was deleted", path);
  Next().file = name;
  ExecuteCommand(remote, "dele", true);
  return !executor_->GaveUp();
}

// The upload of the write-changes step, with its reply line.
bool Upload::SendUpload(const std::string& local, const std::string& remote, const std::string& name,
                        const char* label) {
  const bool sent = ExecuteCommand(remote, label, false);
  if (!sent && (!executor_->FailedHere() || executor_->GaveUp())) return false;
  Log("    - " + client_->LastReply());
  if (sent) Emit(RunEvent::Kind::FileSent, LocalPath(local, name), client_->TransferCount());
  return sent || DropPartialCopy(local, remote, name);
}

}  // namespace kestova

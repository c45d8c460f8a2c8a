#include "engine/fetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>

#include "common/text_helpers.h"
#include "engine/run_tally.h"
#include "net/event_wait.h"

namespace kestova {

namespace {

std::string Counted(std::int64_t number, const char* one, const char* many) {
  return std::to_string(number) + " " + (number == 1 ? one : many);
}

// The name a file is written under until it arrived whole: the prefix the
// modern method's uploads use, and the name, or a number made of it where
// the two would be longer than a name may be.
std::string PartName(const std::string& name) {
  std::string part = std::string(Upload::kTemporaryPrefix) + name;
  if (part.size() > NAME_MAX) part = Upload::kTemporaryPrefix + std::to_string(std::hash<std::string>()(name));
  return part;
}

// A file being received: the part file, emptied again for every attempt,
// and the first write error.
class PartFile : public Executor::Sink {
 public:
  explicit PartFile(int fd) : fd_(fd) {}
  std::int64_t Read(char*, std::int64_t) override { return 0; }
  bool Write(const char* data, std::int64_t size) override {
    while (size > 0) {
      const ssize_t wrote = ::write(fd_, data, static_cast<size_t>(size));
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) {
        error_ = wrote < 0 ? errno : ENOSPC;
        return false;
      }
      data += wrote;
      size -= wrote;
      written_ += wrote;
    }
    return true;
  }
  void Restart() override {
    written_ = 0;
    error_ = 0;
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) error_ = errno;
  }
  std::int64_t Written() const { return written_; }
  int Error() const { return error_; }

 private:
  int fd_;
  std::int64_t written_ = 0;
  int error_ = 0;
};

}  // namespace

Fetch::~Fetch() = default;

bool Fetch::SafeName(const std::string& name) {
  if (!SafeListedName(name)) return false;
  for (const unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::string Fetch::TotalsLine(const Totals& totals) {
  std::string line = "Would fetch " + Counted(totals.files, "file", "files");
  if (totals.bytes > 0) line += " (" + FormatBytes(totals.bytes) + ")";
  return line + ", make " + Counted(totals.folders, "folder", "folders") + "; " +
         Counted(totals.unchanged, "file", "files") + " unchanged";
}

std::string Fetch::LocalName(const std::vector<std::string>& segments, const std::string& name) const {
  std::string path = run_.settings_.LocalRoot;
  for (const std::string& segment : segments) path = LocalPath(path, segment);
  return name.empty() ? path : LocalPath(path, name);
}

void Fetch::Problem(const std::string& line, const std::string& path) { run_.Problem(line, path); }

void Fetch::Run() {
  const std::string& start = run_.settings_.StartDir;
  run_.Next().file = start;
  run_.Next().folder = start;
  run_.Next().SetLocalFile("");
  if (!run_.ExecuteCommand(start, "cwd", true)) return run_.Terminate();
  if (!run_.executor_->LastDone()) {
    Problem("The old site has no folder " + start + " to fetch (" + run_.executor_->LastFailure() +
            "). Check the old site's start directory.");
    return run_.Terminate();
  }
  // The modern method lists with facts where the server has them (exact
  // sizes, times in UTC to the second); the classic one reads LIST, to the
  // minute, as its Wrt Changes will read it.
  if (run_.lists_facts_) run_.DetectMlsd(start);
  if (!Plan(start, {}, 0) || run_.terminated_) return;
  run_.Emit(RunEvent::Kind::RunStarted, run_.settings_.LocalRoot, totals_.bytes, totals_.files + totals_.unchanged);
  for (const std::string& path : unchanged_) {
    run_.Emit(RunEvent::Kind::FileChecked, path);
    run_.Emit(RunEvent::Kind::FileUnchanged, path);
  }
  if (run_.profile_.TestRun()) {
    for (const Folder& folder : folders_) {
      for (const File& file : folder.files) {
        run_.Emit(RunEvent::Kind::FileWouldSend, LocalName(folder.segments, file.name),
                  std::max<std::int64_t>(file.size, 0));
      }
    }
    const auto group = [this](const char* title, const std::vector<std::string>& lines) {
      if (lines.empty()) return;
      run_.Log(std::string("  ") + title + " (" + std::to_string(lines.size()) + "):");
      for (size_t i = 0; i < lines.size() && i < Upload::kMaxReportedPerGroup; ++i) run_.Log("    " + lines[i]);
      if (lines.size() > Upload::kMaxReportedPerGroup) {
        run_.Log("    (and " + std::to_string(lines.size() - Upload::kMaxReportedPerGroup) + " more, named above)");
      }
    };
    run_.Log("The plan:");
    group("Local folders to make", report_make_);
    group("Files to fetch", report_fetch_);
    run_.Log(TotalsLine(totals_));
    return;
  }
  Act();
}

// ---- The plan

bool Fetch::ListRemote(const std::string& remote, RemoteListing& listing, bool& entered) {
  run_.Next().file = remote;
  run_.Next().folder = remote;
  // A folder the server lists but will not enter (a link it follows in
  // its listing that leads outside the account, say) is left out; the
  // fetch goes on.
  entered = false;
  if (!run_.ExecuteCommand(remote, "cwd", true)) return false;
  if (!run_.executor_->LastDone()) {
    Problem("Left out the folder " + remote + ": the server would not enter it: " + run_.executor_->LastFailure());
    return true;
  }
  entered = true;
  if (!run_.ListFolder(remote, run_.mlsd_ ? "mlsd" : "dir", listing)) return false;
  if (!listing.entries.empty() && !listing.names_found) {
    Problem("Cannot tell where the names begin in the listing of " + remote + "; nothing in it was fetched.");
    listing.entries.clear();
  }
  return true;
}

bool Fetch::Plan(const std::string& remote, const std::vector<std::string>& segments, int depth) {
  RemoteListing listing;
  bool entered = false;
  if (!ListRemote(remote, listing, entered)) return false;
  if (!entered) return true;
  // The local counterpart, when it is there: a link or a file in its place
  // keeps the whole folder out.
  const int local = OpenLocal(segments, false);
  if (local < 0 && errno != ENOENT) {
    const int error = errno;
    Problem("Left out the folder " + remote + ": " +
            (error == ELOOP || error == ENOTDIR ? "the local folder has a link or a file named " + LocalName(segments) +
                                                      ", which a fetch never "
                                                      "follows or replaces"
                                                : "cannot open " + LocalName(segments) + ": " + std::strerror(error)));
    return true;
  }
  Folder folder;
  folder.remote = remote;
  folder.segments = segments;
  folder.make = local < 0;
  if (folder.make) {
    ++totals_.folders;
    report_make_.push_back(LocalName(segments));
  }
  std::map<std::string, int> listed;
  for (const RemoteEntry& entry : listing.entries) ++listed[entry.name];
  std::vector<std::string> links, inner;
  for (const RemoteEntry& entry : listing.entries) {
    ProcessPendingEvents();
    if (run_.terminated_) break;
    const std::string& name = entry.name;
    const bool is_folder = entry.kind == RemoteEntry::Kind::Folder;
    if (is_folder && (name == "." || name == "..")) continue;
    const std::string path = AddTrailingSlash(remote) + name;
    if (!SafeName(name)) {
      Problem("Left out \"" + name + "\" in the listing of " + remote +
              ": a name to fetch must be one name, not empty, \".\" or \"..\", and hold no \"/\", \"\\\" or "
              "control character, so that nothing lands outside the local folder");
      continue;
    }
    if (listed[name] > 1) {
      Problem("Left out \"" + name + "\" in the listing of " + remote +
              ": the server lists that name more than once, so which one it is cannot be told");
      listed[name] = -1;  // said once
      continue;
    }
    if (listed[name] < 0 || Upload::IsTemporaryName(name)) continue;
    if (entry.kind == RemoteEntry::Kind::Link || entry.kind == RemoteEntry::Kind::Other) {
      links.push_back(name);
      continue;
    }
    if (is_folder && run_.profile_.ExclFrontPage() && (SameText(name, "_vti_cnf") || SameText(name, "_private"))) {
      continue;
    }
    if (run_.Excluded(Upload::Below(run_.settings_.StartDir, path), is_folder)) continue;
    if (is_folder) {
      if (depth + 1 > Upload::kMaxWipeDepth) {
        Problem("Left out the folder " + path + ": it lies more than " + std::to_string(Upload::kMaxWipeDepth) +
                " levels below the start directory");
      } else {
        inner.push_back(name);
      }
      continue;
    }
    File file;
    file.name = name;
    file.size = entry.size;
    file.timed = entry.precision != RemoteEntry::Precision::None && entry.time_error.empty();
    if (file.timed) file.time = UtcSeconds(entry.time);
    if (ToFetch(local, remote, segments, file)) {
      folder.files.push_back(file);
      ++totals_.files;
      totals_.bytes += std::max<std::int64_t>(file.size, 0);
      report_fetch_.push_back(path);
      if (run_.profile_.TestRun()) {
        run_.Log("## Test: Fetch " + path + " to " + LocalName(segments, name) +
                 (file.size >= 0 ? " (" + Counted(file.size, "byte", "bytes") + ")" : std::string()));
      }
    }
  }
  if (local >= 0) ::close(local);
  if (!links.empty()) {
    std::string names;
    for (size_t i = 0; i < links.size() && i < 5; ++i) names += (i ? ", " : "") + links[i];
    if (links.size() > 5) names += ", ...";
    run_.Log("Not fetched from " + remote + ": " +
             Counted(static_cast<std::int64_t>(links.size()), "entry", "entries") +
             " that the server lists as links or as neither a file nor a folder (" + names +
             "); a fetch never follows a link");
  }
  folders_.push_back(std::move(folder));
  if (run_.terminated_) return false;
  for (const std::string& name : inner) {
    std::vector<std::string> below = segments;
    below.push_back(name);
    if (!Plan(AddTrailingSlash(remote) + name, below, depth + 1)) return false;
  }
  return true;
}

bool Fetch::ToFetch(int local, const std::string& remote, const std::vector<std::string>& segments, const File& file) {
  const std::string path = LocalName(segments, file.name);
  struct stat info {};
  if (local < 0 || ::fstatat(local, file.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return true;
  const std::string what = AddTrailingSlash(remote) + file.name;
  if (S_ISLNK(info.st_mode) || !S_ISREG(info.st_mode)) {
    Problem("Left out " + what + ": the local folder has " +
                (S_ISLNK(info.st_mode)   ? std::string("a link")
                 : S_ISDIR(info.st_mode) ? "a folder"
                                         : "something") +
                " named " + path + ", which a fetch never follows or replaces",
            path);
    return false;
  }
  const bool same_size = file.size < 0 || info.st_size == file.size;
  const bool same_time = !file.timed || info.st_mtim.tv_sec == file.time;
  if (same_size && same_time) {
    unchanged_.push_back(path);
    ++totals_.unchanged;
    return false;
  }
  return true;
}

// ---- Acting on it

int Fetch::OpenLocal(const std::vector<std::string>& segments, bool make) {
  // The local folder itself is the user's choice, a link to it included.
  const std::string& root = run_.settings_.LocalRoot;
  if (make && ::mkdir(root.c_str(), 0777) == 0) run_.Log("Made the local folder " + root);
  int at = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (size_t i = 0; i < segments.size(); ++i) {
    if (at < 0) return -1;
    const char* segment = segments[i].c_str();
    if (make && ::mkdirat(at, segment, 0777) == 0) {
      run_.Log("Made the local folder " +
               LocalName(std::vector<std::string>(segments.begin(), segments.begin() + static_cast<long>(i) + 1)));
    }
    // Made or found, it is opened without following a link, so that
    // nothing put in its place leads elsewhere.
    const int next = ::openat(at, segment, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    ::close(at);
    errno = error;
    at = next;
  }
  return at;
}

void Fetch::Act() {
  if (const int sessions = run_.SessionsFor(totals_.files); sessions > 1) return ActShared(sessions);
  for (const Folder& folder : folders_) {
    ProcessPendingEvents();
    if (run_.terminated_) return;
    if (folder.files.empty() && !folder.make) continue;
    const int local = OpenLocal(folder.segments, true);
    if (local < 0) {
      const int error = errno;
      for (const File& file : folder.files) {
        Problem(
            "Could not fetch " + AddTrailingSlash(folder.remote) + file.name + ": cannot make the local folder " +
                LocalName(folder.segments) + ": " +
                (error == ELOOP || error == ENOTDIR ? "a link or a file stands in its place" : std::strerror(error)),
            LocalName(folder.segments, file.name));
      }
      continue;
    }
    if (!folder.files.empty()) {
      run_.Next().file = folder.remote;
      run_.Next().folder = folder.remote;
      if (!run_.ExecuteCommand(folder.remote, "cwd", false)) {
        ::close(local);
        return run_.Terminate();
      }
      for (const File& file : folder.files) {
        ProcessPendingEvents();
        if (run_.terminated_) break;
        GetFile(local, folder, file);
      }
    }
    ::close(local);
  }
}

// Over several sessions: each local folder is made before its files are
// taken, and every file opens its folder afresh (a session may take any).
void Fetch::ActShared(int sessions) {
  std::vector<Upload::SharedTask> tasks;
  std::vector<char> made(folders_.size(), 0);
  for (size_t i = 0; i < folders_.size(); ++i) {
    const Folder& folder = folders_[i];
    if (folder.files.empty() && !folder.make) continue;
    const size_t self = tasks.size();
    tasks.push_back({std::string(), SIZE_MAX, [this, &folder, &made, i] {
                       const int local = OpenLocal(folder.segments, true);
                       if (local >= 0) {
                         made[i] = 1;
                         ::close(local);
                         return;
                       }
                       const int error = errno;
                       for (const File& file : folder.files) {
                         Problem("Could not fetch " + AddTrailingSlash(folder.remote) + file.name +
                                     ": cannot make the local folder " + LocalName(folder.segments) + ": " +
                                     (error == ELOOP || error == ENOTDIR ? "a link or a file stands in its place"
                                                                         : std::strerror(error)),
                                 LocalName(folder.segments, file.name));
                       }
                     }});
    for (const File& file : folder.files) {
      tasks.push_back({folder.remote, self, [this, &folder, &file, &made, i] {
                         if (!made[i]) return;
                         const int local = OpenLocal(folder.segments, false);
                         if (local < 0) {
                           const int error = errno;
                           Problem("Could not fetch " + AddTrailingSlash(folder.remote) + file.name + ": cannot open " +
                                       LocalName(folder.segments) + ": " + std::strerror(error),
                                   LocalName(folder.segments, file.name));
                           return;
                         }
                         GetFile(local, folder, file);
                         ::close(local);
                       }});
    }
  }
  run_.RunShared(tasks, sessions);
}

void Fetch::GetFile(int local, const Folder& folder, const File& file) {
  const std::string remote = AddTrailingSlash(folder.remote) + file.name;
  const std::string path = LocalName(folder.segments, file.name);
  const std::string part = PartName(file.name);
  run_.Emit(RunEvent::Kind::FileChecked, path, std::max<std::int64_t>(file.size, 0));
  // A part left by a fetch that was cut short goes first.
  ::unlinkat(local, part.c_str(), 0);
  const int fd = ::openat(local, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int error = errno;
    Problem("Could not fetch " + remote + ": cannot write " + LocalName(folder.segments, part) + ": " +
                std::strerror(error),
            path);
    return;
  }
  const auto drop = [&](const std::string& why) {
    ::close(fd);
    ::unlinkat(local, part.c_str(), 0);
    if (!why.empty()) Problem("Could not fetch " + remote + ": " + why, path);
  };
  // Byte for byte, set once a session (the fetch is not the Parts' publish,
  // which sets the type before every file).
  if (run_.executor_->SessionType() != 1) {
    if (!run_.ExecuteCommand(folder.remote, "typebinary", false)) {
      drop(std::string());
      return run_.Terminate();
    }
    run_.executor_->SetSessionType(1);
  }
  PartFile sink(fd);
  run_.Next().file = file.name;
  run_.Next().folder = folder.remote;
  run_.Next().SetLocalFile("");
  run_.Next().sink = &sink;
  const bool done = run_.ExecuteCommand(folder.remote, "get", true);
  run_.Next().sink = nullptr;
  if (run_.terminated_ && (!done || !run_.executor_->LastDone())) {
    drop(std::string());
    run_.Log("Removed the part of " + path + " that had arrived; any local copy is as it was");
    return;
  }
  // A session that gave up (or closed, and handed the file to another)
  // has said why already.
  if (!done && run_.executor_->GaveUp()) return drop(std::string());
  if (sink.Error() != 0) return drop("writing " + path + " failed: " + std::strerror(sink.Error()));
  if (!done || !run_.executor_->LastDone()) return drop(run_.executor_->LastFailure());
  if (file.size >= 0 && sink.Written() != file.size) {
    return drop(Counted(sink.Written(), "byte", "bytes") + " arrived where the listing gave " +
                Counted(file.size, "byte", "bytes") +
                ": it may have changed on the server while it was read. The next fetch takes it again.");
  }
  if (file.timed) {
    const struct timespec times[2] = {{0, UTIME_NOW}, {static_cast<std::time_t>(file.time), 0}};
    // Without the time the file is whole all the same, but the next fetch
    // and a Wrt Changes publish take it for changed: said, not failed.
    if (::futimens(fd, times) != 0) {
      run_.Log("Could not give " + path + " the server's time: " + std::strerror(errno));
    }
  }
  // Where writes are only reported when the file is closed (a full disk
  // over NFS), the close says so.
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlinkat(local, part.c_str(), 0);
    Problem("Could not fetch " + remote + ": writing " + path + " failed: " + std::strerror(error), path);
    return;
  }
  if (::renameat(local, part.c_str(), local, file.name.c_str()) != 0) {
    const int error = errno;
    ::unlinkat(local, part.c_str(), 0);
    Problem("Could not fetch " + remote + ": cannot put it in place as " + path + ": " + std::strerror(error), path);
    return;
  }
  run_.Log("Fetched " + remote + " (" + Counted(sink.Written(), "byte", "bytes") + ")");
  run_.Emit(RunEvent::Kind::FileSent, path, sink.Written());
}

}  // namespace kestova

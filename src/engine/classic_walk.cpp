// The classic publish walk, as the program always walked: every local folder
// made and entered on the server, every file sent by the write mode, and the
// redirection pages built, one after the other.
#include "engine/classic_walk.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/text_helpers.h"
#include "engine/redirect_page.h"
#include "engine/run_strategies.h"
#include "net/event_wait.h"

namespace kestova {

void ClassicWalk::Folder(const std::string& local, const std::string& remote, const std::string& site_address,
                         const std::string& new_address, const std::string& old_address) {
  if (run_.terminated_) return;
  run_.Next().file = remote;
  run_.Next().folder = remote;
  if (run_.profile_.TestRun()) {
    run_.Log("## Test: Make directory " + remote);
  } else if (!(run_.write_changes_ && run_.changes_->ListedAsFolder(remote)) &&
             !run_.ExecuteCommand(remote, "mkd", true)) {
    return run_.Terminate();
  }
  std::vector<Upload::LocalEntry> entries;
  if (!run_.ReadLocalFolder(local, entries)) {
    const int error = errno;
    return run_.Problem("Skipped the folder " + local + ": cannot read it: " + std::strerror(error));
  }
  if (entries.empty()) return;
  if (run_.write_changes_) run_.changes_->FolderRead(remote, entries);
  struct stat self {};
  ::stat(local.c_str(), &self);
  run_.walking_.emplace_back(self.st_dev, self.st_ino);
  run_.Next().file = remote;
  run_.Next().folder = remote;
  if (!EnterFolder(remote)) {
    run_.Terminate();
  } else {
    run_.Emit(RunEvent::Kind::FolderEntered, remote);
  }
  for (const Upload::LocalEntry& entry : entries) {
    ProcessPendingEvents();
    if (run_.terminated_) break;
    Entry(local, remote, entry, site_address, new_address, old_address);
  }
  if (run_.write_changes_) run_.changes_->FolderLeft(remote);
  run_.walking_.pop_back();
  if (remote == missing_root_) missing_root_.clear();
}

// Changes into a folder of the walk. A test run makes no folder, so one that
// is not on the server yet (a first run to an empty host) is refused: it
// counts as empty, and the walk goes on through its local files without a
// command for it or anything below it.
bool ClassicWalk::EnterFolder(const std::string& remote) {
  if (!run_.profile_.TestRun()) return run_.ExecuteCommand(remote, "cwd", false);
  if (InMissingFolder(remote)) return true;
  if (!run_.ExecuteCommand(remote, "cwd", true)) return false;
  if (run_.executor_->LastDone() || !run_.client_->Connected()) return true;
  run_.Log("## Test: " + remote + " is not on the server yet: it counts as empty");
  missing_root_ = remote;
  return true;
}

bool ClassicWalk::InMissingFolder(const std::string& remote) const {
  return !missing_root_.empty() && (remote == missing_root_ || remote.rfind(AddTrailingSlash(missing_root_), 0) == 0);
}

// One entry of a local folder. Every folder entry ("." and ".." and the
// folders skipped included) is followed by a change back into this folder's
// remote directory, as the walk has always done.
void ClassicWalk::Entry(const std::string& local, const std::string& remote, const Upload::LocalEntry& entry,
                        const std::string& site_address, const std::string& new_address,
                        const std::string& old_address) {
  if (!entry.directory) {
    if (run_.settings_.RedirectJob && !Upload::IsPage(entry.name)) return;
    return File(local, remote, entry, site_address, new_address, old_address);
  }
  const std::string path = LocalPath(local, entry.name);
  if (entry.name != "." && entry.name != ".." && run_.FolderToWalk(path, entry)) {
    const std::string segment = UrlPathSegment(entry.name);
    Folder(path, AddTrailingSlash(remote) + entry.name, AddTrailingSlash(site_address) + segment,
           AddTrailingSlash(new_address) + segment, AddTrailingSlash(old_address) + segment);
    if (run_.terminated_) return;
  }
  run_.Next().file = remote;
  run_.Next().folder = remote;
  if (!InMissingFolder(remote) && !run_.ExecuteCommand(remote, "cwd", false)) run_.Terminate();
}

void ClassicWalk::File(const std::string& local, const std::string& remote, const Upload::LocalEntry& entry,
                       const std::string& site_address, const std::string& new_address,
                       const std::string& old_address) {
  const std::string path = LocalPath(local, entry.name);
  run_.Emit(RunEvent::Kind::FileChecked, path, entry.unpublishable.empty() ? entry.size : 0);
  if (run_.FileSkipped(path, entry)) return;
  run_.Next().file = entry.name;
  if (!run_.settings_.RedirectJob) run_.Next().SetLocalFile(path);
  if (run_.write_changes_) return WriteChangesStep(local, remote, entry, site_address, new_address, old_address);
  run_.OverwriteFile(local, remote, entry, site_address, new_address, old_address);
}

void ClassicWalk::WriteChangesStep(const std::string& local, const std::string& remote, const Upload::LocalEntry& entry,
                                   const std::string& site_address, const std::string& new_address,
                                   const std::string& old_address) {
  const Upload::Verdict verdict = JudgeFile(local, remote, entry);
  run_.Next().SetLocalFile(LocalPath(local, entry.name));
  if (verdict == Upload::Verdict::None || verdict == Upload::Verdict::Unchanged) return;
  run_.SendChanged(local, remote, entry.name, verdict == Upload::Verdict::New ? "Put" : "put", site_address,
                   new_address, old_address);
}

// Whether a file of a Wrt Changes goes: new ("** New file"), changed (the
// lines of the comparison), or unchanged (its event sent); nothing once
// the run has ended.
Upload::Verdict ClassicWalk::JudgeFile(const std::string& local, const std::string& remote,
                                       const Upload::LocalEntry& entry) {
  const Upload::Verdict verdict =
      InMissingFolder(remote) ? Upload::Verdict::New : run_.changes_->Judge(local, remote, entry);
  if (verdict == Upload::Verdict::New) run_.Log("** New file: " + entry.name);
  if (verdict == Upload::Verdict::Unchanged) run_.Emit(RunEvent::Kind::FileUnchanged, LocalPath(local, entry.name));
  return verdict;
}

}  // namespace kestova

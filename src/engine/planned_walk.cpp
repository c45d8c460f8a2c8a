#include "engine/planned_walk.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/text_helpers.h"
#include "engine/redirect_page.h"
#include "engine/run_strategies.h"
#include "engine/run_tally.h"
#include "net/event_wait.h"

namespace kestova {

namespace {

// 1988 as "1,988".
std::string Grouped(std::int64_t number) {
  std::string digits = std::to_string(number);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0 && digits[at - 1] != '-'; at -= 3) {
    digits.insert(static_cast<size_t>(at), ",");
  }
  return digits;
}

std::string Counted(std::int64_t number, const char* one, const char* many) {
  return Grouped(number) + " " + (number == 1 ? one : many);
}

}  // namespace

std::string PlannedWalk::TotalsLine(const Totals& totals) {
  std::string line = "Would send " + Counted(totals.send, "file", "files");
  if (totals.send_bytes > 0) line += " (" + FormatBytes(totals.send_bytes) + ")";
  line += ", make " + Counted(totals.folders, "folder", "folders");
  if (totals.remove > 0 || totals.remove_folders > 0) {
    line += ", remove " + Counted(totals.remove, "file", "files");
    if (totals.remove_folders > 0) line += " and " + Counted(totals.remove_folders, "folder", "folders");
  }
  if (!totals.judged) return line;
  return line + "; " + Counted(totals.unchanged, "file", "files") + " unchanged";
}

void PlannedWalk::Run(const std::string& local, const std::string& remote, const std::string& site_address,
                      const std::string& new_address, const std::string& old_address) {
  totals_.judged = run_.write_changes_;
  const std::unique_ptr<Folder> plan = Plan(local, remote, site_address, new_address, old_address, true);
  if (run_.terminated_) return;
  if (const int sessions = run_.SessionsFor(totals_.send + totals_.remove); sessions > 1) {
    std::vector<Upload::SharedTask> tasks;
    Queue(*plan, SIZE_MAX, tasks);
    run_.RunShared(tasks, sessions);
  } else {
    Act(*plan);
  }
  // With removals the line comes after them, and counts them too.
  if (run_.profile_.TestRun() && !run_.terminated_ && !run_.settings_.RemoveGone) run_.ReportPlan(totals_);
}

// ---- The plan

bool PlannedWalk::InMissingFolder(const std::string& remote) const {
  return !missing_root_.empty() && (remote == missing_root_ || remote.rfind(AddTrailingSlash(missing_root_), 0) == 0);
}

std::unique_ptr<PlannedWalk::Folder> PlannedWalk::Plan(const std::string& local, const std::string& remote,
                                                       const std::string& site_address, const std::string& new_address,
                                                       const std::string& old_address, bool make) {
  auto folder = std::make_unique<Folder>();
  folder->local = local;
  folder->remote = remote;
  folder->site_address = site_address;
  folder->new_address = new_address;
  folder->old_address = old_address;
  folder->make = make;
  std::vector<Upload::LocalEntry> entries;
  if (!run_.ReadLocalFolder(local, entries)) {
    const int error = errno;
    run_.Problem("Skipped the folder " + local + ": cannot read it: " + std::strerror(error));
    folder->enter = false;
    return folder;
  }
  if (entries.empty()) {
    folder->enter = false;
    return folder;
  }
  struct stat self {};
  ::stat(local.c_str(), &self);
  run_.walking_.emplace_back(self.st_dev, self.st_ino);
  if (run_.write_changes_) run_.changes_->FolderRead(remote, entries);
  LookInto(*folder);
  if (!run_.terminated_) PlanEntries(*folder, entries);
  if (run_.write_changes_) run_.changes_->FolderLeft(remote);
  run_.walking_.pop_back();
  if (remote == missing_root_) missing_root_.clear();
  return folder;
}

// Goes into the remote folder and reads what the plan needs of it while the
// session is there: the listing a Wrt Changes judges by, and the temporary
// files a cut run left. A folder the server does not have counts as empty,
// and so does everything below it.
void PlannedWalk::LookInto(Folder& folder) {
  const std::string& remote = folder.remote;
  if (InMissingFolder(remote)) {
    folder.missing = true;
  } else {
    run_.Next().file = remote;
    run_.Next().folder = remote;
    if (!run_.ExecuteCommand(remote, "cwd", true)) return run_.Terminate();
    if (!run_.executor_->LastDone() && run_.client_->Connected()) {
      folder.missing = true;
      if (run_.profile_.TestRun()) run_.Log("## Test: " + remote + " is not on the server yet: it counts as empty");
      missing_root_ = remote;
    }
  }
  if (folder.missing) {
    ++totals_.folders;
    run_.plan_report_.make.push_back(remote);
    if (run_.write_changes_) run_.changes_->FolderMissing(remote);  // nothing there to list
    return;
  }
  std::vector<std::string> names;
  if (run_.write_changes_) {
    names = run_.changes_->Leftovers(remote);
  } else {
    RemoteListing listing;
    if (run_.profile_.TestRun() || !run_.ListFolder(remote, "ls", listing, true)) return;
    for (const RemoteEntry& listed : listing.entries) names.push_back(listed.name);
    // What the folder holds, so that a file it does not hold goes straight
    // to its name. A name in another case counts as there.
    folder.names_listed = true;
    for (const std::string& name : names) folder.folded_names.insert(FoldCase(name));
  }
  for (const std::string& name : names) {
    if (!Upload::IsTemporaryName(name)) continue;
    if (!SafeListedName(name)) {
      run_.Log(UnsafeNameLine(name, remote));
      continue;
    }
    folder.leftovers.push_back(name);
    ++totals_.remove;
    run_.plan_report_.remove_files.push_back(AddTrailingSlash(remote) + name + " (left by a run that was cut short)");
  }
}

void PlannedWalk::PlanEntries(Folder& folder, const std::vector<Upload::LocalEntry>& entries) {
  for (const Upload::LocalEntry& entry : entries) {
    ProcessPendingEvents();
    if (run_.terminated_) return;
    Item item;
    item.entry = entry;
    if (!entry.directory) {
      if (run_.settings_.RedirectJob && !Upload::IsPage(entry.name)) continue;
      if (!PlanFile(folder, entry, item)) continue;
      item.kind = Item::Kind::File;
    } else if (entry.name != "." && entry.name != "..") {
      const std::string path = LocalPath(folder.local, entry.name);
      if (run_.FolderToWalk(path, entry)) {
        const std::string remote = AddTrailingSlash(folder.remote) + entry.name;
        const std::string segment = UrlPathSegment(entry.name);
        // A folder the parent's listing shows needs no MKD.
        const bool make = !(run_.write_changes_ && !folder.missing && run_.changes_->ListedAsFolder(remote));
        item.kind = Item::Kind::Folder;
        item.folder =
            Plan(path, remote, AddTrailingSlash(folder.site_address) + segment,
                 AddTrailingSlash(folder.new_address) + segment, AddTrailingSlash(folder.old_address) + segment, make);
      }
    }
    folder.items.push_back(std::move(item));
  }
}

// Whether a file goes: one the walk cannot publish is skipped with why, and
// a Wrt Changes judges it against the listing; true when it is to be sent.
bool PlannedWalk::PlanFile(Folder& folder, const Upload::LocalEntry& entry, Item& item) {
  const std::string path = LocalPath(folder.local, entry.name);
  const auto checked = [&] {
    run_.Emit(RunEvent::Kind::FileChecked, path, entry.unpublishable.empty() ? entry.size : 0);
  };
  if (!entry.unpublishable.empty() || HoldsLineBreak(entry.name) || run_.replace_->Reserved(entry.name)) {
    checked();
    run_.FileSkipped(path, entry);
    return false;
  }
  if (run_.write_changes_) {
    using Verdict = Upload::Verdict;
    const Verdict verdict = folder.missing ? Verdict::New : run_.changes_->Judge(folder.local, folder.remote, entry);
    if (verdict == Verdict::None) return false;
    if (verdict == Verdict::Unchanged) {
      checked();
      run_.Emit(RunEvent::Kind::FileUnchanged, path);
      ++totals_.unchanged;
      return false;
    }
    if (verdict == Verdict::New) run_.Log("** New file: " + entry.name);
    item.is_new = verdict == Verdict::New;
  }
  ++totals_.send;
  const std::string why = run_.settings_.RedirectJob      ? "a redirection page"
                          : folder.missing || item.is_new ? "new"
                          : run_.write_changes_           ? run_.judged_reason_
                                                          : "Overwrite All";
  run_.plan_report_.send.push_back(AddTrailingSlash(folder.remote) + entry.name + " (" + why + ")");
  if (!run_.settings_.RedirectJob) totals_.send_bytes += entry.size;
  return true;
}

// ---- Carrying it out

// The folder made where it is missing, entered, its leftovers removed, and
// its files and folders dealt with in the walk's order; after each folder
// entry the walk changes back into this folder, as the walk always has. A
// test run says what it would do and sends nothing.
void PlannedWalk::Act(const Folder& folder) {
  if (run_.terminated_) return;
  const std::string& remote = folder.remote;
  const bool test = run_.profile_.TestRun();
  run_.Next().file = remote;
  run_.Next().folder = remote;
  if (test) {
    run_.Log("## Test: Make directory " + remote);
  } else if (folder.make && !run_.ExecuteCommand(remote, "mkd", true)) {
    return run_.Terminate();
  }
  if (!folder.enter) return;
  if (!test && !run_.ExecuteCommand(remote, "cwd", false)) {
    run_.Terminate();
  } else {
    run_.Emit(RunEvent::Kind::FolderEntered, remote);
    RemoveLeftovers(folder);
  }
  for (const Item& item : folder.items) {
    ProcessPendingEvents();
    if (run_.terminated_) break;
    if (item.kind == Item::Kind::File) {
      ActFile(folder, item);
      continue;
    }
    if (item.kind == Item::Kind::Folder) {
      Act(*item.folder);
      if (run_.terminated_) return;
    }
    run_.Next().file = remote;
    run_.Next().folder = remote;
    if (!test && !run_.ExecuteCommand(remote, "cwd", false)) run_.Terminate();
  }
}

void PlannedWalk::Queue(const Folder& folder, size_t after, std::vector<Upload::SharedTask>& tasks) {
  const size_t self = tasks.size();
  tasks.push_back({std::string(), after, [this, &folder] { MakeFolder(folder); }});
  if (!folder.enter) return;
  for (const Item& item : folder.items) {
    if (item.kind == Item::Kind::File) {
      tasks.push_back({folder.remote, self, [this, &folder, &item] { ActFile(folder, item); }});
    } else if (item.kind == Item::Kind::Folder) {
      Queue(*item.folder, self, tasks);
    }
  }
}

// A folder's own task: made where the server lacks it, and entered only
// when a cut run left something to remove there.
void PlannedWalk::MakeFolder(const Folder& folder) {
  const std::string& remote = folder.remote;
  run_.Next().file = remote;
  run_.Next().folder = remote;
  if (folder.make && !run_.ExecuteCommand(remote, "mkd", true)) return run_.Terminate();
  if (!folder.enter) return;
  if (!folder.leftovers.empty() && !run_.Enter(remote)) return run_.Terminate();
  run_.Emit(RunEvent::Kind::FolderEntered, remote);
  RemoveLeftovers(folder);
}

void PlannedWalk::ActFile(const Folder& folder, const Item& item) {
  const Upload::LocalEntry& entry = item.entry;
  const std::string path = LocalPath(folder.local, entry.name);
  run_.Emit(RunEvent::Kind::FileChecked, path, entry.size);
  run_.Next().file = entry.name;
  if (!run_.settings_.RedirectJob) run_.Next().SetLocalFile(path);
  if (run_.write_changes_) {
    return run_.SendChanged(folder.local, folder.remote, entry.name, item.is_new ? "Put" : "put", folder.site_address,
                            folder.new_address, folder.old_address);
  }
  const bool is_new = folder.missing || (folder.names_listed && !folder.folded_names.count(FoldCase(entry.name)));
  run_.OverwriteFile(folder.local, folder.remote, entry, folder.site_address, folder.new_address, folder.old_address,
                     is_new);
}

// Temporary files of an earlier run that was cut short.
void PlannedWalk::RemoveLeftovers(const Folder& folder) {
  for (const std::string& name : folder.leftovers) {
    if (run_.profile_.TestRun()) {
      run_.Log("## Test: Remove " + name + ", left by an earlier run that was cut short");
      continue;
    }
    run_.Next().file = name;
    run_.ExecuteCommand(folder.remote, "dele", true);
    if (run_.executor_->LastDone()) run_.Log("Removed " + name + ", left by an earlier run that was cut short");
  }
}

}  // namespace kestova

#include "engine/removal.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "common/text_helpers.h"
#include "net/event_wait.h"

namespace kestova {

void Removal::Run() {
  const std::string& start = run_.settings_.StartDir;
  if (!Find(start, run_.settings_.LocalRoot, 0)) return run_.Terminate();
  if (gone_.empty()) {
    run_.Log("Nothing on the server is gone from the local folder: nothing to remove.");
    return;
  }
  if (run_.profile_.TestRun()) {
    for (const Gone& gone : gone_) {
      const std::string path = AddTrailingSlash(gone.directory) + gone.name;
      run_.Log(std::string(gone.folder ? "## Test: Remove Dir " : "## Test: Remove File ") + path +
               " (no longer in the local folder)");
      (gone.folder ? run_.plan_report_.remove_folders : run_.plan_report_.remove_files).push_back(path);
    }
    return;
  }
  if (Allowed()) RemoveAll();
}

bool Removal::Listed(const std::string& directory, RemoteListing& listing) {
  run_.Next().SetLocalFile("");
  run_.Next().file = directory;
  run_.Next().folder = directory;
  if (!run_.ExecuteCommand(directory, "cwd", false)) return false;
  if (!run_.ListFolder(directory, run_.mlsd_ ? "mlsd" : "dir", listing)) return false;
  if (!listing.entries.empty() && !listing.names_found) {
    run_.Problem("Cannot tell where the names begin in the listing of " + directory + "; nothing in it was removed.");
    listing.entries.clear();
  }
  return true;
}

// What stays whatever the local folder holds: names that are not one safe
// name, dot-files, the FrontPage folders, the modern method's temporary
// files (the next modern run removes those of a cut run), what the user
// excludes, and what is neither a file, a link nor a folder.
bool Removal::Kept(const std::string& directory, const RemoteEntry& entry, int depth) {
  const std::string& name = entry.name;
  if (!SafeListedName(name)) {
    run_.Log(UnsafeNameLine(name, directory));
    return true;
  }
  const bool folder = entry.kind == RemoteEntry::Kind::Folder;
  if (name[0] == '.' || Upload::IsTemporaryName(name) || entry.kind == RemoteEntry::Kind::Other) return true;
  if (folder && run_.profile_.ExclFrontPage() && (SameText(name, "_vti_cnf") || SameText(name, "_private"))) {
    return true;
  }
  const std::string path = AddTrailingSlash(directory) + name;
  if (run_.Excluded(Upload::Below(run_.settings_.StartDir, path), folder)) return true;
  if (folder && depth + 1 > Upload::kMaxWipeDepth) {
    run_.Log("Kept the folder " + path + ": it lies more than " + std::to_string(Upload::kMaxWipeDepth) +
             " levels below the start directory");
    return true;
  }
  return false;
}

bool Removal::Find(const std::string& directory, const std::string& local, int depth) {
  RemoteListing listing;
  if (!Listed(directory, listing)) return false;
  const std::map<std::string, bool> here = LocalNamesFolded(local);
  for (const RemoteEntry& entry : listing.entries) {
    ProcessPendingEvents();
    if (run_.terminated_) return false;
    const bool folder = entry.kind == RemoteEntry::Kind::Folder;
    if (folder && (entry.name == "." || entry.name == "..")) continue;
    if (!folder) ++remote_files_;
    if (Kept(directory, entry, depth)) continue;
    const std::string path = AddTrailingSlash(directory) + entry.name;
    const auto found = here.find(FoldCase(entry.name));
    if (found != here.end()) {
      // A folder in both is compared inside; a link to a folder, or a file
      // where the other side has a folder, is left as it is.
      if (folder && found->second && !Find(path, LocalPath(local, entry.name), depth + 1)) return false;
      continue;
    }
    if (!folder) {
      gone_.push_back({directory, entry.name, false});
      ++files_;
      continue;
    }
    bool ok = true;
    const bool whole = FindAll(path, depth + 1, ok);
    if (!ok) return false;
    if (whole) {
      gone_.push_back({directory, entry.name, true});
      ++folders_;
    }
  }
  return true;
}

bool Removal::FindAll(const std::string& directory, int depth, bool& ok) {
  RemoteListing listing;
  if (!Listed(directory, listing)) {
    ok = false;
    return false;
  }
  bool whole = true;
  for (const RemoteEntry& entry : listing.entries) {
    const bool folder = entry.kind == RemoteEntry::Kind::Folder;
    if (folder && (entry.name == "." || entry.name == "..")) continue;
    if (!folder) ++remote_files_;
    if (Kept(directory, entry, depth)) {
      whole = false;
      continue;
    }
    if (!folder) {
      gone_.push_back({directory, entry.name, false});
      ++files_;
      continue;
    }
    const std::string path = AddTrailingSlash(directory) + entry.name;
    const bool inner = FindAll(path, depth + 1, ok);
    if (!ok) return false;
    if (inner) {
      gone_.push_back({directory, entry.name, true});
      ++folders_;
    } else {
      whole = false;
    }
  }
  return whole;
}

// Up to the limit (the profile's number, or 10 % of the remote files when
// that is more) a removal goes ahead; past it only after a yes.
bool Removal::Allowed() {
  const std::int64_t limit = std::max<std::int64_t>(run_.settings_.MaxRemove, remote_files_ / 10);
  if (files_ <= limit) return true;
  RemovalPreview preview;
  preview.host = run_.client_->HostName();
  preview.start_dir = run_.settings_.StartDir;
  preview.files = files_;
  preview.folders = folders_;
  preview.limit = limit;
  for (const Gone& gone : gone_) preview.paths.push_back(AddTrailingSlash(gone.directory) + gone.name);
  run_.Log("This run would remove " + std::to_string(files_) + (files_ == 1 ? " file" : " files") + " and " +
           std::to_string(folders_) + (folders_ == 1 ? " folder" : " folders") +
           " that are no longer in the local folder, more than the limit of " + std::to_string(limit) + ":");
  for (const std::string& path : preview.paths) run_.Log("    " + path);
  if (!run_.ConfirmRemovals) {
    run_.Problem(
        "Nothing was removed: past the limit a removal needs a yes (the run window asks; 'kestova run' takes "
        "--yes; NewMaxDelete sets the limit).");
    return false;
  }
  if (!run_.ConfirmRemovals(preview)) {
    run_.Problem("The removal was not confirmed: nothing was removed.");
    return false;
  }
  return true;
}

void Removal::RemoveAll() {
  std::string in;
  for (const Gone& gone : gone_) {
    ProcessPendingEvents();
    if (run_.terminated_) return;
    if (gone.directory != in) {
      run_.Next().file = gone.directory;
      run_.Next().folder = gone.directory;
      if (!run_.ExecuteCommand(gone.directory, "cwd", false)) return run_.Terminate();
      in = gone.directory;
    }
    const std::string path = AddTrailingSlash(gone.directory) + gone.name;
    run_.Next().file = gone.name;
    if (!run_.ExecuteCommand(gone.directory, gone.folder ? "rmd" : "dele", true)) return run_.Terminate();
    if (run_.executor_->LastDone()) {
      run_.Log("Removed " + path + " (no longer in the local folder)");
      run_.Emit(RunEvent::Kind::RemoteRemoved, path, 0, gone.folder ? 0 : 1);
    } else if (gone.folder) {
      // Everything it listed is gone, so what keeps it is most likely what
      // the server does not list (vsftpd hides dot-files), which stays
      // anyway: said, but not counted as left undone.
      run_.Log("Kept the folder " + path + ": " + run_.executor_->LastFailure() +
               " (it may hold files the server does not list)");
    } else {
      run_.Problem("Could not remove " + path + ": " + run_.executor_->LastFailure());
    }
  }
}

}  // namespace kestova

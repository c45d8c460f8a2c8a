// The wipe: everything below the start folder deleted before a run sends
// anything, dot-files and their folders kept. Names from a listing are data,
// never paths: a name that is empty, "." or "..", or holds "/", "\\", CR,
// LF or NUL is never sent, so that the wipe cannot leave the start directory
// whatever a server lists, and how deep it goes is bounded.
#include "engine/wipe.h"

#include "common/text_helpers.h"
#include "net/event_wait.h"

namespace kestova {

void Wipe::Run() {
  const std::string start = run_.settings_.StartDir;
  depth_ = 0;
  // A test run to a host that has no start directory yet has nothing to wipe.
  run_.Next().file = start;
  run_.Next().folder = start;
  if (run_.profile_.TestRun() && run_.ExecuteCommand(start, "cwd", true) && !run_.executor_->LastDone() &&
      run_.client_->Connected()) {
    run_.Log("## Test: " + start + " is not on the server yet: there is nothing to wipe");
    return;
  }
  if (run_.lists_facts_) run_.DetectMlsd(start);
  if (!Confirmed()) return;
  Folder(start);
  run_.Next().file = start;
  run_.Next().folder = start;
  if (!run_.ExecuteCommand(start, "cwd", false)) run_.Terminate();
}

// Before a real wipe with someone to ask: a first pass through the same
// listings counts what would go, and the question names it.
bool Wipe::Confirmed() {
  if (!run_.ConfirmWipe || run_.profile_.TestRun()) return true;
  counting_ = true;
  files_ = folders_ = 0;
  Folder(run_.settings_.StartDir);
  counting_ = false;
  depth_ = 0;
  if (run_.terminated_) return false;
  WipePreview preview;
  preview.host = run_.client_->HostName();
  preview.start_dir = run_.settings_.StartDir;
  preview.files = files_;
  preview.folders = folders_;
  preview.redirect = run_.settings_.RedirectJob;
  if (run_.ConfirmWipe(preview)) return true;
  run_.Log("The wipe was not confirmed: nothing was deleted.");
  run_.wipe_declined_ = true;
  run_.Terminate();
  return false;
}

void Wipe::Problem(const std::string& line) {
  if (!counting_) run_.Problem(line);
}

bool Wipe::Folder(const std::string& directory) {
  run_.Next().SetLocalFile("");
  run_.Next().file = directory;
  run_.Next().folder = directory;
  if (!run_.ExecuteCommand(directory, "cwd", false)) {
    run_.Terminate();
    return false;
  }
  // The modern method lists with MLSD where it can: its names need no
  // guessing of where they begin.
  RemoteListing listing;
  if (!run_.ListFolder(directory, run_.mlsd_ ? "mlsd" : "dir", listing)) {
    run_.Terminate();
    return false;
  }
  if (!counting_) LogListing(listing);
  if (!listing.entries.empty() && !listing.names_found) {
    Problem("Cannot tell where the names begin in the listing of " + directory + "; nothing in it was deleted.");
    return false;
  }
  bool left_behind = false;
  for (const RemoteEntry& entry : listing.entries) {
    ProcessPendingEvents();
    if (run_.terminated_) return false;
    if (!Named(directory, entry.name, entry.kind == RemoteEntry::Kind::Folder, left_behind)) return false;
  }
  return !left_behind;
}

// The reply that ended the listing, and the listing between two separators.
void Wipe::LogListing(const RemoteListing& listing) {
  const std::vector<std::string>& lines = listing.lines;
  run_.Log(listing.reply);
  run_.Log("--------------------");
  // A listing of thousands of lines would only bury the rest of the log.
  for (size_t i = 0; i < lines.size() && i < Upload::kMaxLoggedListingLines; ++i) run_.Log(lines[i]);
  if (lines.size() > Upload::kMaxLoggedListingLines) {
    run_.Log("(" + std::to_string(lines.size() - Upload::kMaxLoggedListingLines) +
             " more lines of this listing not shown)");
  }
  run_.Log("--------------------");
}

bool Wipe::Named(const std::string& directory, const std::string& name, bool folder, bool& left_behind) {
  // The folder itself and its parent, as some servers list them.
  if (folder && (name == "." || name == "..")) return true;
  if (!SafeListedName(name)) {
    Problem(UnsafeNameLine(name, directory));
    left_behind = true;
    return true;
  }
  if (name[0] == '.' ||
      run_.Excluded(Upload::Below(run_.settings_.StartDir, AddTrailingSlash(directory) + name), folder)) {
    // Dot-files such as .htaccess stay, and so does their directory; so
    // does what the user excludes.
    left_behind = true;
    return true;
  }
  if (folder) return Subfolder(directory, name, left_behind);
  return DeleteListed(directory, name, false, left_behind);
}

// Wipes a subfolder, comes back with CDUP, and removes it when it was
// emptied.
bool Wipe::Subfolder(const std::string& directory, const std::string& name, bool& left_behind) {
  const std::string path = AddTrailingSlash(directory) + name;
  if (depth_ >= Upload::kMaxWipeDepth) {
    Problem("Skipped the folder " + path + ": it lies more than " + std::to_string(Upload::kMaxWipeDepth) +
            " levels below the start directory");
    left_behind = true;
    return true;
  }
  ++depth_;
  const bool emptied = Folder(path);
  --depth_;
  if (!run_.ExecuteCommand(directory, "CdUp", false)) {
    run_.Terminate();
    return false;
  }
  run_.Next().folder = directory;
  if (!emptied) {
    left_behind = true;
    return true;
  }
  return DeleteListed(directory, name, true, left_behind);
}

// DELE of a file or RMD of an emptied folder; a test run only says so.
bool Wipe::DeleteListed(const std::string& directory, const std::string& name, bool folder, bool& left_behind) {
  run_.Next().file = name;
  if (counting_) {
    ++(folder ? folders_ : files_);
    return true;
  }
  if (run_.profile_.TestRun()) {
    run_.Log((folder ? "## Test: Remove Dir " : "## Test: Delete File ") + name);
    return true;
  }
  if (!run_.ExecuteCommand(directory, folder ? "rmd" : "dele", true)) {
    run_.Terminate();
    return false;
  }
  if (run_.executor_->LastDone()) {
    run_.Emit(RunEvent::Kind::RemoteDeleted, AddTrailingSlash(directory) + name, 0, folder ? 0 : 1);
    return true;
  }
  left_behind = true;
  const std::string path = AddTrailingSlash(directory) + name;
  if (!folder) {
    run_.Problem("Could not delete " + path + ": " + run_.executor_->LastFailure());
  } else {
    // Everything it listed is gone, so what keeps it is most likely what
    // the server does not list (vsftpd hides dot-files), which the wipe
    // keeps anyway: said, but not counted as something left undone.
    run_.Log("Kept the folder " + path + ": " + run_.executor_->LastFailure() +
             " (it may hold files the server does not list)");
  }
  return true;
}

}  // namespace kestova

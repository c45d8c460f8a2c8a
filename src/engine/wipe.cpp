// Remote listings and the wipe. Names from a listing are data, never paths:
// a name that is empty, "." or "..", or holds "/", "\\", CR, LF or NUL is
// never sent, so that the wipe cannot leave the start directory whatever a server
// lists, and how deep it goes is bounded.
#include "engine/upload.h"

#include "common/text_helpers.h"
#include "engine/redirect_page.h"
#include "net/event_wait.h"

namespace kestova {

std::vector<std::string> Upload::ListInto(MemoryStream& stream) { return SplitLines(stream.Data()); }

// Lists the folder through the executor into a fresh stream: LIST for
// "dir", NLST for "ls". The run's own stream (the page of a redirection run)
// is given back afterwards.
bool Upload::ListFolder(const std::string& directory, const char* label, std::vector<std::string>& lines,
                        bool may_fail) {
  MemoryStream stream;
  const bool listed = ListFolderInto(directory, label, stream, may_fail);
  if (listed) lines = ListInto(stream);
  return listed;
}

bool Upload::ListFolderInto(const std::string& directory, const char* label, MemoryStream& stream, bool may_fail) {
  listing_ = &stream;
  listing_what_.clear();
  const bool listed = ExecuteCommand(directory, label, may_fail) && operation_ok_;
  listing_ = nullptr;
  return listed;
}

int Upload::FindNameColumn(const std::string& directory) {
  if (name_column_ > -1) return name_column_;
  client_.ChangeFolder(directory);
  std::vector<std::string> names;
  if (!ListFolder(directory, "ls", names)) {
    Terminate();
    return -1;
  }
  if (names.empty()) return -1;
  std::vector<std::string> lines;
  if (!ListFolder(directory, "dir", lines)) {
    Terminate();
    return -1;
  }
  name_column_ = NameColumnFrom(lines, names);
  return name_column_;
}

long long Upload::NameStart(const std::string& directory, const std::string& line) {
  return FieldStart(line, FindNameColumn(directory));
}

void Upload::WipeSite() {
  wipe_depth_ = 0;
  // A test run to a host that has no start directory yet has nothing to wipe.
  op_.file = settings_.StartDir;
  op_.folder = settings_.StartDir;
  if (profile_.TestRun() && ExecuteCommand(settings_.StartDir, "cwd", true) && !operation_ok_ && client_.Connected()) {
    Log("## Test: " + settings_.StartDir + " is not on the server yet: there is nothing to wipe");
    return;
  }
  if (lists_facts_) DetectMlsd(settings_.StartDir);
  if (!ConfirmedWipe()) return;
  WipeFolder(settings_.StartDir);
  op_.file = settings_.StartDir;
  op_.folder = settings_.StartDir;
  if (!ExecuteCommand(settings_.StartDir, "cwd", false)) Terminate();
}

// Before a real wipe with someone to ask: a first pass through the same
// listings counts what would go, and the question names it.
bool Upload::ConfirmedWipe() {
  if (!ConfirmWipe || profile_.TestRun()) return true;
  counting_ = true;
  counted_files_ = counted_folders_ = 0;
  WipeFolder(settings_.StartDir);
  counting_ = false;
  wipe_depth_ = 0;
  if (terminated_) return false;
  WipePreview preview;
  preview.host = client_.HostName();
  preview.start_dir = settings_.StartDir;
  preview.files = counted_files_;
  preview.folders = counted_folders_;
  preview.redirect = settings_.RedirectJob;
  if (ConfirmWipe(preview)) return true;
  Log("The wipe was not confirmed: nothing was deleted.");
  wipe_declined_ = true;
  Terminate();
  return false;
}

void Upload::WipeProblem(const std::string& line) {
  if (!counting_) Problem(line);
}

bool Upload::WipeFolder(const std::string& directory) {
  op_.SetLocalFile("");
  op_.file = directory;
  op_.folder = directory;
  if (!ExecuteCommand(directory, "cwd", false)) {
    Terminate();
    return false;
  }
  // The modern method lists with MLSD where it can: its names need no
  // guessing of where they begin.
  const bool mlsd = mlsd_;
  std::vector<std::string> lines;
  if (!ListFolder(directory, mlsd ? "mlsd" : "dir", lines)) {
    Terminate();
    return false;
  }
  if (!counting_) LogListing(lines);
  bool left_behind = false;
  if (mlsd) {
    for (const std::string& line : lines) {
      ProcessPendingEvents();
      if (terminated_) return false;
      MlsdEntry fact;
      if (!ParseMlsdLine(line, fact) || fact.type == "cdir" || fact.type == "pdir") continue;
      if (!WipeNamed(directory, fact.name, fact.type == "dir", left_behind)) return false;
    }
    return !left_behind;
  }
  bool column_known = false;
  for (const std::string& line : lines) {
    ProcessPendingEvents();
    if (terminated_) return false;
    if (!IsListingEntry(line)) continue;
    if (!column_known) {
      if (FindNameColumn(directory) < 0) {
        if (terminated_) return false;
        WipeProblem("Cannot tell where the names begin in the listing of " + directory +
                    "; nothing in it was deleted.");
        return false;
      }
      column_known = true;
    }
    if (!WipeEntry(directory, line, left_behind)) return false;
  }
  return !left_behind;
}

// The reply that ended the listing, and the listing between two separators.
void Upload::LogListing(const std::vector<std::string>& lines) {
  Log(client_.LastReply());
  Log("--------------------");
  // A listing of thousands of lines would only bury the rest of the log.
  for (size_t i = 0; i < lines.size() && i < kMaxLoggedListingLines; ++i) Log(lines[i]);
  if (lines.size() > kMaxLoggedListingLines) {
    Log("(" + std::to_string(lines.size() - kMaxLoggedListingLines) + " more lines of this listing not shown)");
  }
  Log("--------------------");
}

// Deletes or wipes one listed entry. False when the wipe must stop.
bool Upload::WipeEntry(const std::string& directory, const std::string& line, bool& left_behind) {
  return WipeNamed(directory, EntryName(line, NameStart(directory, line)), line[0] == 'd', left_behind);
}

bool Upload::WipeNamed(const std::string& directory, const std::string& name, bool folder, bool& left_behind) {
  // The folder itself and its parent, as some servers list them.
  if (folder && (name == "." || name == "..")) return true;
  if (!SafeListedName(name)) {
    WipeProblem(UnsafeNameLine(name, directory));
    left_behind = true;
    return true;
  }
  if (name[0] == '.') {
    // Dot-files such as .htaccess stay, and so does their directory.
    left_behind = true;
    return true;
  }
  if (folder) return WipeSubfolder(directory, name, left_behind);
  return DeleteListed(directory, name, false, left_behind);
}

// Wipes a subfolder, comes back with CDUP, and removes it when it was
// emptied.
bool Upload::WipeSubfolder(const std::string& directory, const std::string& name, bool& left_behind) {
  const std::string path = AddTrailingSlash(directory) + name;
  if (wipe_depth_ >= kMaxWipeDepth) {
    WipeProblem("Skipped the folder " + path + ": it lies more than " + std::to_string(kMaxWipeDepth) +
                " levels below the start directory");
    left_behind = true;
    return true;
  }
  ++wipe_depth_;
  const bool emptied = WipeFolder(path);
  --wipe_depth_;
  if (!ExecuteCommand(directory, "CdUp", false)) {
    Terminate();
    return false;
  }
  op_.folder = directory;
  if (!emptied) {
    left_behind = true;
    return true;
  }
  return DeleteListed(directory, name, true, left_behind);
}

// DELE of a file or RMD of an emptied folder; a test run only says so.
bool Upload::DeleteListed(const std::string& directory, const std::string& name, bool folder, bool& left_behind) {
  op_.file = name;
  if (counting_) {
    ++(folder ? counted_folders_ : counted_files_);
    return true;
  }
  if (profile_.TestRun()) {
    Log((folder ? "## Test: Remove Dir " : "## Test: Delete File ") + name);
    return true;
  }
  if (!ExecuteCommand(directory, folder ? "rmd" : "dele", true)) {
    Terminate();
    return false;
  }
  if (operation_ok_) {
    Emit(RunEvent::Kind::RemoteDeleted, AddTrailingSlash(directory) + name, 0, folder ? 0 : 1);
    return true;
  }
  left_behind = true;
  const std::string path = AddTrailingSlash(directory) + name;
  if (!folder) {
    Problem("Could not delete " + path + ": " + failure_);
  } else {
    // Everything it listed is gone, so what keeps it is most likely what
    // the server does not list (vsftpd hides dot-files), which the wipe
    // keeps anyway: said, but not counted as something left undone.
    Log("Kept the folder " + path + ": " + failure_ + " (it may hold files the server does not list)");
  }
  return true;
}

}  // namespace kestova

// Remote listings and the wipe. Names from a listing are data, never paths:
// a name that is empty, "." or "..", or holds "/", CR, LF or NUL is never
// sent, so that the wipe cannot leave the start directory whatever a server
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
bool Upload::ListFolder(const std::string& directory, const char* label, std::vector<std::string>& lines) {
  client_.HostFileName.clear();
  MemoryStream stream;
  DataStream* run_stream = client_.LocalStream();
  const std::string local_file = client_.LocalFileName();
  client_.SetLocalStream(&stream);
  listing_ = &stream;
  const bool listed = ExecuteCommand(directory, label, false);
  listing_ = nullptr;
  client_.SetLocalStream(run_stream);
  if (!run_stream) client_.SetLocalFileName(local_file);
  if (listed) lines = ListInto(stream);
  return listed;
}

int Upload::FindNameColumn(const std::string& directory) {
  if (name_column_ > -1) return name_column_;
  const std::string host_file = client_.HostFileName;
  const std::string host_dir = client_.HostDirName;
  auto restore = [&] {
    client_.HostFileName = host_file;
    client_.HostDirName = host_dir;
  };
  client_.HostFileName = directory;
  client_.HostDirName = directory;
  client_.Cwd();
  std::vector<std::string> names;
  if (!ListFolder(directory, "ls", names)) {
    Terminated = true;
    restore();
    return -1;
  }
  if (names.empty()) {
    restore();
    return -1;
  }
  std::vector<std::string> lines;
  if (!ListFolder(directory, "dir", lines)) {
    Terminated = true;
    restore();
    return -1;
  }
  name_column_ = NameColumnFrom(lines, names);
  restore();
  return name_column_;
}

long long Upload::NameStart(const std::string& directory, const std::string& line) {
  return FieldStart(line, FindNameColumn(directory));
}

void Upload::WipeSite() {
  wipe_depth_ = 0;
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
  std::vector<std::string> lines;
  if (!ListFolder(directory, "dir", lines)) {
    Terminated = true;
    return false;
  }
  Log(client_.LastReply);
  Log("--------------------");
  // A listing of thousands of lines would only bury the rest of the log.
  for (size_t i = 0; i < lines.size() && i < kMaxLoggedListingLines; ++i) Log(lines[i]);
  if (lines.size() > kMaxLoggedListingLines) {
    Log("(" + std::to_string(lines.size() - kMaxLoggedListingLines) + " more lines of this listing not shown)");
  }
  Log("--------------------");
  bool left_behind = false;
  bool column_known = false;
  for (const std::string& line : lines) {
    ProcessPendingEvents();
    if (Terminated) return false;
    if (!IsListingEntry(line)) continue;
    if (!column_known) {
      if (FindNameColumn(directory) < 0) {
        if (Terminated) return false;
        Problem("Cannot tell where the names begin in the listing of " + directory + "; nothing in it was deleted.");
        return false;
      }
      column_known = true;
    }
    if (!WipeEntry(directory, line, left_behind)) return false;
  }
  return !left_behind;
}

// Deletes or wipes one listed entry. False when the wipe must stop.
bool Upload::WipeEntry(const std::string& directory, const std::string& line, bool& left_behind) {
  const std::string name = EntryName(line, NameStart(directory, line));
  const bool folder = line[0] == 'd';
  const std::string path = AddTrailingSlash(directory) + name;
  // The folder itself and its parent, as some servers list them.
  if (folder && (name == "." || name == "..")) return true;
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos || HoldsLineBreak(name)) {
    Problem("Skipped \"" + name + "\" in the listing of " + directory +
            ": a listed name cannot be empty, \".\" or \"..\", or hold \"/\", CR, LF or NUL");
    left_behind = true;
    return true;
  }
  if (name[0] == '.') {
    // Dot-files such as .htaccess stay, and so does their directory.
    left_behind = true;
    return true;
  }
  if (folder) {
    if (wipe_depth_ >= kMaxWipeDepth) {
      Problem("Skipped the folder " + path + ": it lies more than " + std::to_string(kMaxWipeDepth) +
              " levels below the start directory");
      left_behind = true;
      return true;
    }
    ++wipe_depth_;
    const bool emptied = WipeFolder(path);
    --wipe_depth_;
    if (!ExecuteCommand(directory, "CdUp", false)) {
      Terminated = true;
      return false;
    }
    client_.HostDirName = directory;
    if (!emptied) {
      left_behind = true;
      return true;
    }
    client_.HostFileName = name;
    if (profile_.TestRun()) {
      Log("## Test: Remove Dir " + name);
    } else if (!ExecuteCommand(directory, "rmd", true)) {
      Terminated = true;
      return false;
    } else if (!operation_ok_) {
      // Everything it listed is gone, so what keeps it is most likely what
      // the server does not list (vsftpd hides dot-files), which the wipe
      // keeps anyway: said, but not counted as something left undone.
      Log("Kept the folder " + path + ": " + failure_ + " (it may hold files the server does not list)");
      left_behind = true;
    }
    return true;
  }
  client_.HostFileName = name;
  if (profile_.TestRun()) {
    Log("## Test: Delete File " + name);
  } else if (!ExecuteCommand(directory, "dele", true)) {
    Terminated = true;
    return false;
  } else if (!operation_ok_) {
    Problem("Could not delete " + path + ": " + failure_);
    left_behind = true;
  }
  return true;
}

}  // namespace kestova

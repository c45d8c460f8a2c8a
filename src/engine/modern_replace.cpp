// The modern method's way of replacing a file: it goes to the server under
// a temporary name in the same folder and is then renamed over the old one,
// so that visitors never see a missing or half-written page and a run cut
// short leaves no partial file under a real name. Where the server refuses
// to rename onto an existing name, the old file is deleted just before the
// rename; where it cannot rename at all, files are replaced as the classic
// method does.
#include "engine/upload.h"

namespace kestova {

bool Upload::IsTemporaryName(const std::string& name) { return name.rfind(kTemporaryPrefix, 0) == 0; }

// Sends the file set up in the client (its local file or page) as `name` in
// `remote`. False when the run must end.
bool Upload::ReplaceFile(const std::string& local, const std::string& remote, const std::string& name,
                         bool log_copy_line) {
  if (no_rename_) {
    client_.SetHostFileName(name);
    if (!ExecuteCommand(remote, "dele", true)) return false;
    return SendUnderOwnName(local, remote, name, log_copy_line);
  }
  const std::string temporary = kTemporaryPrefix + name;
  client_.SetHostFileName(temporary);
  const bool sent = ExecuteCommand(remote, "put", false);
  const char* type = client_.Binary() ? "Binary" : "ASCII";
  if (log_copy_line) Log("Copy to " + remote + "/" + name + " as " + type);
  if (!sent) {
    if (log_copy_line || client_.LocalFailure()) Log("    - " + client_.LastReply());
    if (gave_up_ || !client_.LocalFailure()) return false;
    // What reached the server lies under the temporary name: it goes, and
    // the site's copy stays as it was.
    Problem("Skipped " + LocalPath(local, name) + ": the upload failed here; the server's copy was left as it was",
            LocalPath(local, name));
    client_.SetHostFileName(temporary);
    ExecuteCommand(remote, "dele", true);
    return !gave_up_;
  }
  const std::int64_t bytes = client_.TransferCount();
  if (!RenameOver(remote, temporary, name)) {
    if (gave_up_) return false;
    // No rename: the temporary copy goes and the file is sent under its name.
    client_.SetHostFileName(temporary);
    ExecuteCommand(remote, "dele", true);
    client_.SetHostFileName(name);
    if (!ExecuteCommand(remote, "dele", true)) return false;
    return SendUnderOwnName(local, remote, name, false);
  }
  Log("    - " + client_.LastReply());
  Emit(RunEvent::Kind::FileSent, LocalPath(local, name), bytes);
  return true;
}

// Renames the temporary copy over the real name; false when the server
// would not, with a line that says so once.
bool Upload::RenameOver(const std::string& remote, const std::string& temporary, const std::string& name) {
  client_.SetHostFileName(temporary);
  client_.SetRenameTarget(name);
  ExecuteCommand(remote, "rename", true);
  if (operation_ok_ || gave_up_) return operation_ok_;
  const std::string refusal = client_.LastReply();
  if (rename_refused_at_ == "RNFR") {
    Log("The server refused RNFR (" + refusal +
        "): files are replaced by deleting and sending them again, as the classic method does.");
    no_rename_ = true;
    return false;
  }
  // Some servers refuse to rename onto an existing name: the old copy goes
  // just before the rename.
  if (!rnto_refused_said_) {
    Log("The server refused to rename onto an existing file (" + refusal +
        "): the old copy is deleted just before each rename.");
    rnto_refused_said_ = true;
  }
  client_.SetHostFileName(name);
  ExecuteCommand(remote, "dele", true);
  client_.SetHostFileName(temporary);
  client_.SetRenameTarget(name);
  ExecuteCommand(remote, "rename", true);
  return operation_ok_;
}

// The classic way: the file is sent under its own name.
bool Upload::SendUnderOwnName(const std::string& local, const std::string& remote, const std::string& name,
                              bool log_copy_line) {
  client_.SetHostFileName(name);
  if (!log_copy_line) return SendUpload(local, remote, name, "put");
  return UploadFile(local, name);
}

// Temporary files of an earlier run that was cut short are removed when a
// modern run enters their folder. Wrt Changes finds them in the listing it
// makes of the folder anyway; the other modes ask for the names (NLST).
void Upload::RemoveLeftovers(const std::string& remote) {
  const std::string host_file = client_.HostFileName();
  std::vector<std::string> names;
  if (write_changes_) {
    names = IndexedFolder(remote).leftovers;
  } else if (!ListFolder(remote, "ls", names, true)) {
    return;
  }
  for (const std::string& listed : names) {
    // NLST may give each name with the folder before it (vsftpd).
    const size_t slash = listed.find_last_of('/');
    const std::string name = slash == std::string::npos ? listed : listed.substr(slash + 1);
    if (!IsTemporaryName(name)) continue;
    if (!SafeListedName(name)) {
      Log(UnsafeNameLine(name, remote));
      continue;
    }
    client_.SetHostFileName(name);
    ExecuteCommand(remote, "dele", true);
    if (operation_ok_) Log("Removed " + name + ", left by an earlier run that was cut short");
  }
  client_.SetHostFileName(host_file);
}

}  // namespace kestova

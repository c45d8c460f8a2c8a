// The modern method's way of replacing a file: it goes to the server under
// a temporary name in the same folder and is then renamed over the old one,
// so that visitors never see a missing or half-written page and a run cut
// short leaves no partial file under a real name. Where the server refuses
// to rename onto an existing name, the old file is deleted just before the
// rename; where it cannot rename at all, files are replaced as the classic
// method does. Which of the three, the first refusal settles for the run.
#include "engine/upload.h"

namespace kestova {

bool Upload::IsTemporaryName(const std::string& name) { return name.rfind(kTemporaryPrefix, 0) == 0; }

// Sends the file set up in the client (its local file or page) as `name` in
// `remote`. False when the run must end.
bool Upload::ReplaceFile(const std::string& local, const std::string& remote, const std::string& name,
                         bool log_copy_line) {
  if (replacement_ == Replacement::DeleteAndSend) {
    op_.file = name;
    if (!ExecuteCommand(remote, "dele", true)) return false;
    return SendUnderOwnName(local, remote, name, log_copy_line);
  }
  const std::string temporary = kTemporaryPrefix + name;
  op_.file = temporary;
  const bool sent = ExecuteCommand(remote, "put", false);
  const char* type = client_.Binary() ? "Binary" : "ASCII";
  if (log_copy_line) Log("Copy to " + AddTrailingSlash(remote) + name + " as " + type);
  if (!sent) {
    if (log_copy_line || client_.LocalFailure()) Log("    - " + client_.LastReply());
    if (gave_up_ || !client_.LocalFailure()) return false;
    // What reached the server lies under the temporary name: it goes, and
    // the site's copy stays as it was.
    Problem("Skipped " + LocalPath(local, name) + ": the upload failed here; the server's copy was left as it was",
            LocalPath(local, name));
    op_.file = temporary;
    ExecuteCommand(remote, "dele", true);
    return !gave_up_;
  }
  const std::int64_t bytes = client_.TransferCount();
  if (!RenameOver(remote, temporary, name, bytes)) {
    if (gave_up_) return false;
    // No rename: the temporary copy goes and the file is sent under its name.
    op_.file = temporary;
    ExecuteCommand(remote, "dele", true);
    op_.file = name;
    if (!ExecuteCommand(remote, "dele", true)) return false;
    return SendUnderOwnName(local, remote, name, false);
  }
  Log("    - " + client_.LastReply());
  Emit(RunEvent::Kind::FileSent, LocalPath(local, name), bytes);
  return true;
}

// Renames the temporary copy over the real name in the run's way; false
// when the file must be sent under its name instead. The first refusal
// settles the way for the rest of the run, with a line that says so.
bool Upload::RenameOver(const std::string& remote, const std::string& temporary, const std::string& name,
                        std::int64_t bytes) {
  if (replacement_ == Replacement::DeleteThenRename) {
    op_.file = name;
    ExecuteCommand(remote, "dele", true);
    if (gave_up_) return false;
  }
  rename_ = RenameTry();
  op_.file = temporary;
  op_.rename_to = name;
  ExecuteCommand(remote, "rename", true);
  if (operation_ok_ || gave_up_) return operation_ok_;
  // After a lost connection the first attempt may have renamed the file,
  // so that the next one finds nothing to rename: that is no verdict.
  if (!rename_.first_attempt) return RenamedAfterAll(remote, temporary, name, bytes);
  const std::string refusal = client_.LastReply();
  const std::string again = ": files are replaced by deleting and sending them again, as the classic method does.";
  if (rename_.refused == SiteConnection::RenameRefusal::Source) {
    Log("The server refused RNFR (" + refusal + ")" + again);
    replacement_ = Replacement::DeleteAndSend;
    return false;
  }
  if (replacement_ == Replacement::DeleteThenRename) {
    Log("The server refused to rename even onto a free name (" + refusal + ")" + again);
    replacement_ = Replacement::DeleteAndSend;
    return false;
  }
  // Some servers refuse to rename onto an existing name: from now on the
  // old copy goes just before the rename.
  Log("The server refused to rename onto an existing file (" + refusal +
      "): the old copy is deleted just before each rename.");
  replacement_ = Replacement::DeleteThenRename;
  return RenameOver(remote, temporary, name, bytes);
}

// A rename whose reply was lost, tried again and refused: the folder's
// listing tells whether the first attempt did it (the temporary name gone,
// the file there with the size sent; a text file's size may have changed
// with its line ends).
bool Upload::RenamedAfterAll(const std::string& remote, const std::string& temporary, const std::string& name,
                             std::int64_t bytes) {
  std::vector<std::string> lines;
  bool temporary_there = false, in_place = false;
  if (ListFolder(remote, mlsd_ ? "mlsd" : "dir", lines, true)) {
    for (const std::string& line : lines) {
      std::string listed;
      std::int64_t size = -1;
      MlsdEntry fact;
      if (mlsd_ && ParseMlsdLine(line, fact) && fact.type == "file") {
        listed = fact.name;
        size = fact.size;
      } else if (!mlsd_ && !line.empty() && line[0] == '-') {
        listed = ListedName(remote, line);
        const std::string field = ListingField(line, 4);
        if (!field.empty() && field.size() < 19 && field.find_first_not_of("0123456789") == std::string::npos) {
          size = std::stoll(field);
        }
      }
      temporary_there = temporary_there || listed == temporary;
      if (listed == name) in_place = size < 0 || size == bytes || !client_.Binary();
    }
  }
  if (!temporary_there && in_place) {
    Log("The reply to the rename of " + name + " was lost; the listing shows it in place, so it is done.");
    return true;
  }
  Log("The reply to the rename of " + name + " was lost, and the listing does not show it in place: it is sent again.");
  return false;
}

// The classic way: the file is sent under its own name.
bool Upload::SendUnderOwnName(const std::string& local, const std::string& remote, const std::string& name,
                              bool log_copy_line) {
  op_.file = name;
  if (!log_copy_line) return SendUpload(local, remote, name, "put");
  return UploadFile(local, name);
}

}  // namespace kestova

// The modern method's way of replacing a file: it goes to the server under
// a temporary name in the same folder and is then renamed over the old one,
// so that visitors never see a missing or half-written page and a run cut
// short leaves no partial file under a real name. Where the server refuses
// to rename onto an existing name, the old file is deleted just before the
// rename; where it cannot rename at all, files are replaced as the classic
// method does. Which of the three, the first refusal settles for the run.
#include "engine/run_strategies.h"

namespace kestova {

bool Upload::IsTemporaryName(const std::string& name) { return name.rfind(kTemporaryPrefix, 0) == 0; }

// Sends the file set up in the client (its local file or page) as `name` in
// `remote`. False when the run must end.
bool Upload::RenameIntoPlace::ReplaceFile(const std::string& local, const std::string& remote, const std::string& name,
                                          bool log_copy_line) {
  if (mode_ == Mode::DeleteAndSend) {
    run_.Next().file = name;
    if (!run_.ExecuteCommand(remote, "dele", true)) return false;
    return SendUnderOwnName(local, remote, name, log_copy_line);
  }
  const std::string temporary = kTemporaryPrefix + name;
  run_.Next().file = temporary;
  const bool sent = run_.ExecuteCommand(remote, "put", false);
  if (log_copy_line) run_.Log("Copy to " + AddTrailingSlash(remote) + name + " as " + run_.TypeWords(name));
  if (!sent) {
    if (log_copy_line || run_.executor_->FailedHere()) run_.Log("    - " + run_.client_->LastReply());
    if (run_.executor_->GaveUp() || !run_.executor_->FailedHere()) return false;
    // What reached the server lies under the temporary name: it goes, and
    // the site's copy stays as it was.
    return DropFailedUpload(local, remote, name, temporary, "the server's copy was left as it was");
  }
  const std::int64_t bytes = run_.client_->TransferCount();
  if (!RenameOver(remote, temporary, name, bytes)) {
    if (run_.executor_->GaveUp()) return false;
    // No rename: the temporary copy goes and the file is sent under its name.
    run_.Next().file = temporary;
    run_.ExecuteCommand(remote, "dele", true);
    run_.Next().file = name;
    if (!run_.ExecuteCommand(remote, "dele", true)) return false;
    return SendUnderOwnName(local, remote, name, false);
  }
  run_.Log("    - " + run_.client_->LastReply());
  run_.Emit(RunEvent::Kind::FileSent, LocalPath(local, name), bytes);
  return true;
}

// Renames the temporary copy over the real name in the run's way; false
// when the file must be sent under its name instead. The first refusal
// settles the way for the rest of the run, with a line that says so.
bool Upload::RenameIntoPlace::RenameOver(const std::string& remote, const std::string& temporary,
                                         const std::string& name, std::int64_t bytes) {
  if (mode_ == Mode::DeleteThenRename) {
    run_.Next().file = name;
    run_.ExecuteCommand(remote, "dele", true);
    if (run_.executor_->GaveUp()) return false;
  }
  run_.executor_->LastRename() = Executor::RenameTry();
  run_.Next().file = temporary;
  run_.Next().rename_to = name;
  run_.ExecuteCommand(remote, "rename", true);
  if (run_.executor_->LastDone() || run_.executor_->GaveUp()) return run_.executor_->LastDone();
  // After a lost connection the first attempt may have renamed the file,
  // so that the next one finds nothing to rename: that is no verdict.
  if (!run_.executor_->LastRename().first_attempt) return RenamedAfterAll(remote, temporary, name, bytes);
  const std::string refusal = run_.client_->LastReply();
  const std::string again = ": files are replaced by deleting and sending them again, as the classic method does.";
  if (run_.executor_->LastRename().refused == SiteConnection::RenameRefusal::Source) {
    run_.Log("The server refused RNFR (" + refusal + ")" + again);
    mode_ = Mode::DeleteAndSend;
    return false;
  }
  if (mode_ == Mode::DeleteThenRename) {
    run_.Log("The server refused to rename even onto a free name (" + refusal + ")" + again);
    mode_ = Mode::DeleteAndSend;
    return false;
  }
  // Some servers refuse to rename onto an existing name: from now on the
  // old copy goes just before the rename.
  run_.Log("The server refused to rename onto an existing file (" + refusal +
           "): the old copy is deleted just before each rename.");
  mode_ = Mode::DeleteThenRename;
  return RenameOver(remote, temporary, name, bytes);
}

// A rename whose reply was lost, tried again and refused: the folder's
// listing tells whether the first attempt did it (the temporary name gone,
// the file there with the size sent; a text file's size may have changed
// with its line ends).
bool Upload::RenameIntoPlace::RenamedAfterAll(const std::string& remote, const std::string& temporary,
                                              const std::string& name, std::int64_t bytes) {
  RemoteListing listing;
  bool temporary_there = false, in_place = false;
  if (run_.ListFolder(remote, run_.mlsd_ ? "mlsd" : "dir", listing, true)) {
    for (const RemoteEntry& listed : listing.entries) {
      if (listed.kind != RemoteEntry::Kind::File) continue;
      temporary_there = temporary_there || listed.name == temporary;
      if (listed.name == name) in_place = listed.size < 0 || listed.size == bytes || !run_.client_->Binary();
    }
  }
  if (!temporary_there && in_place) {
    run_.Log("The reply to the rename of " + name + " was lost; the listing shows it in place, so it is done.");
    return true;
  }
  run_.Log("The reply to the rename of " + name +
           " was lost, and the listing does not show it in place: it is sent again.");
  return false;
}

// A file the listing showed is not on the server: sent under its name. What
// an upload that failed here left under that name goes, as nothing was
// there before it.
bool Upload::RenameIntoPlace::SendNew(const std::string& local, const std::string& remote, const std::string& name,
                                      bool log_copy_line) {
  run_.Next().file = name;
  const bool sent = run_.ExecuteCommand(remote, "put", false);
  if (log_copy_line) run_.Log("Copy to " + AddTrailingSlash(remote) + name + " as " + run_.TypeWords(name));
  run_.Log("    - " + run_.client_->LastReply());
  if (!sent) {
    if (run_.executor_->GaveUp() || !run_.executor_->FailedHere()) return false;
    return DropFailedUpload(local, remote, name, name, "what reached the server was removed");
  }
  run_.Emit(RunEvent::Kind::FileSent, LocalPath(local, name), run_.client_->TransferCount());
  return true;
}

// An upload that failed on this side: the file is skipped, and what reached
// the server under `sent_as` goes. False when the run must end.
bool Upload::RenameIntoPlace::DropFailedUpload(const std::string& local, const std::string& remote,
                                               const std::string& name, const std::string& sent_as,
                                               const std::string& outcome) {
  run_.Problem("Skipped " + LocalPath(local, name) + ": the upload failed here; " + outcome, LocalPath(local, name));
  run_.Next().file = sent_as;
  run_.ExecuteCommand(remote, "dele", true);
  return !run_.executor_->GaveUp();
}

// The classic way: the file is sent under its own name.
bool Upload::RenameIntoPlace::SendUnderOwnName(const std::string& local, const std::string& remote,
                                               const std::string& name, bool log_copy_line) {
  run_.Next().file = name;
  if (!log_copy_line) return run_.SendUpload(local, remote, name, "put");
  return run_.UploadFile(local, name);
}

}  // namespace kestova

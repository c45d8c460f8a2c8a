// Every run's log, also kept on disk: one file per run in
// $XDG_STATE_HOME/kestova/logs (normally ~/.local/state/kestova/logs), named
// by profile, job and start time. The folder is 0700 and each file 0600, as
// logs name hosts, users and folders; the folder must be the user's own, and
// there is no shared fallback such as /tmp. The newest files are kept and
// older ones deleted when a run starts.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace kestova {

class SavedLog {
 public:
  static constexpr int kKept = 100;

  SavedLog() = default;
  ~SavedLog();
  SavedLog(const SavedLog&) = delete;
  SavedLog& operator=(const SavedLog&) = delete;

  // The folder the logs go to.
  static std::string Folder();
  // Makes it when it is not there, private to the user.
  static bool MakeFolder(std::string& why);
  // Creates the run's file (and the folder), after deleting the oldest logs
  // so that `kKept` remain with the new one. False, with the reason in
  // `why`, when it cannot be created; the run goes on without it.
  bool Open(const std::string& profile, const std::string& job, std::time_t started, std::string& why);
  // Appends one line; written at once, so a run that crashes keeps its log.
  // False when this line could not be written (a full disk): the copy ends
  // there, incomplete, and Failure() says why. The run goes on.
  bool Write(const std::string& line);
  const std::string& Failure() const { return failure_; }
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }

  // The log files of `folder`, oldest first.
  static std::vector<std::string> LogFiles(const std::string& folder);
  // Deletes the oldest log files of `folder` until `keep` remain.
  static void Prune(const std::string& folder, size_t keep);

 private:
  int fd_ = -1;
  std::string path_;
  std::string failure_;
};

}  // namespace kestova

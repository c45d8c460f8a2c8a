// One transfer run: publish the local folder to the new site, or put
// redirection pages over the old one, optionally wiping the remote start
// directory first. Every step writes plain lines to the progress log and
// reports what happened as structured events; every call to the site goes
// through ExecuteCommand, which connects, retries and paces. The run is
// cooperative: once terminated (by the user or by any failure) it unwinds at
// its next test without further writes.
//
// The run's parts: upload.cpp (the driver: checks, connecting first, the
// jobs in turn, the one closing), executor.h (every call to the site, with
// its retries), wipe.h, classic_walk.h and planned_walk.h (the jobs),
// publish_walk.cpp (what the two walks share: the local folder, a file's
// send and the pages), run_strategies.h (what the method changes: how a
// file replaces its old copy, how Wrt Changes judges a file),
// modern_replace.cpp and modern_changes.cpp (the modern ways themselves).
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/text_helpers.h"
#include "engine/exclusions.h"
#include "engine/executor.h"
#include "engine/listing.h"
#include "engine/run_events.h"
#include "engine/run_settings.h"
#include "site/data_stream.h"
#include "site/site_connection.h"

namespace kestova {

enum class RunOutcome {
  Finished,      // ended with "Finished."
  Terminated,    // ended with "Terminated before completion."
  NotConnected,  // the first connection failed; no closing line
  Failed,        // an error ended the run early (a listing date that cannot be read)
  Refused,       // the settings cannot make a run (no local folder, say); nothing was sent
};

// What the modern method's plan would do, counted as it is made.
struct PlanTotals {
  std::int64_t send = 0;            // files to send
  std::int64_t send_bytes = 0;      // and their bytes (pages: not known before they are built)
  std::int64_t folders = 0;         // folders the server does not have yet
  std::int64_t remove = 0;          // files to remove: leftovers of a cut run, and what is no longer local
  std::int64_t unchanged = 0;       // files whose server copy is current
  bool judged = false;              // files were compared with the server's (Wrt Changes)
  std::int64_t remove_folders = 0;  // folders to remove
};

class Upload : private Executor::Owner {
 public:
  using LogSink = std::function<void(const std::string& line)>;

  // `connection` serves the run instead of one opened from the settings'
  // site (a test's fake, or a client a test has tuned).
  Upload(RunSettings settings, const ProfileView& profile, LogSink log, SiteConnection* connection = nullptr);
  virtual ~Upload();

  // Runs the job to its end.
  RunOutcome StartUpload();

  // Ends the run at its next test: the user's Esc or Ctrl+C, and every
  // failure, come this way.
  // A session that closed because the server would take no more
  // connections ends only itself (see Sessions).
  void Terminate() override {
    if (!executor_->Withdrawn()) terminated_ = true;
  }
  // The user's Esc, Stop or Ctrl+C: the run ends, and the operation under
  // way ends at once; an upload cut short is removed from the server.
  void Stop();
  bool Terminated() const override { return terminated_; }
  // The server's certificate, when the run could not connect because it is
  // not trusted (its verdict is Untrusted or Changed); else verdict None.
  const CertificateCheck& RefusedCertificate() const { return executor_->RefusedCertificate(); }
  // The SFTP host key the run could not connect with, key empty when none.
  const Executor::RefusedKey& RefusedHostKey() const { return executor_->RefusedHostKey(); }
  // A data connection presented another certificate than the server's, and
  // the run stopped there.
  bool DataCertificateRefused() const { return executor_->DataCertificateRefused(); }
  // Something the run meant to do was left undone while the run went on (a
  // local file that cannot be published, a delete the server refused): the
  // run still ends with "Terminated before completion.".
  bool Incomplete() const { return problems_ > 0; }
  // Events beside the log, for progress and counts.
  RunEventSink OnEvent;
  // Called with the bytes the files under way have moved so far, summed
  // over the sessions that send side by side, while they move.
  void WatchTransfers(std::function<void(std::int64_t bytes)> watcher);
  // Asked before a wipe deletes anything, with what it found to delete;
  // false keeps everything and ends the run. A run without it wipes at once.
  std::function<bool(const WipePreview& preview)> ConfirmWipe;
  // The wipe was not confirmed.
  bool WipeDeclined() const { return wipe_declined_; }
  // Asked when a removal of what is no longer local goes past the limit,
  // with what it would remove; false removes nothing (and the run does not
  // finish). A run without it removes nothing past the limit.
  std::function<bool(const RemovalPreview& preview)> ConfirmRemovals;

  RunSettings& Settings() { return settings_; }
  // The connection the run works through.
  SiteConnection& Site() { return *client_; }
  // The remote folder the run works in now.
  const std::string& CurrentFolder() const { return executor_->Next().folder; }

  // What the next command of the executor works on.
  using Operands = Executor::Operands;
  Operands& Next() { return executor_->Next(); }

  // ---- The engine's routines, public for the tests.
  bool ExecuteCommand(const std::string& param, const std::string& label, bool ignore_failure) {
    return executor_->Execute(param, label, ignore_failure);
  }
  // Waits n seconds in the event loop, ending early when the run ends.
  void PauseSeconds(int n) override;
  void SetTransferType(const std::string& file_name);
  // Whether a file goes as binary: by its extension with AutoDetect, else
  // by the BinaryMode setting.
  bool GoesAsBinary(const std::string& file_name) const;
  std::string TypeWords(const std::string& name) const;
  // Deepest folder level below the start directory that the wipe enters.
  static constexpr int kMaxWipeDepth = 64;
  // Listing lines the wipe copies into the log, per folder.
  static constexpr size_t kMaxLoggedListingLines = 200;
  // The modern method sends a file under this prefix and its name, then
  // renames it; such names are never taken for the site's files.
  static constexpr const char* kTemporaryPrefix = "~kestova-partial~";
  static bool IsTemporaryName(const std::string& name);
  // The most entries of listings a modern Wrt Changes held at once.
  size_t PeakIndexedEntries() const;
  void StartRunState();
  // Opens each further session of a run that sends over several (the
  // transport the settings name, unless a test puts its own in).
  std::function<std::unique_ptr<SiteConnection>()> OpenAnother;

  // ---- Several sessions side by side (shared_queue.cpp). A piece of the
  // work, in the remote folder it works in (empty: anywhere), once the task
  // it depends on (by index) is done.
  struct SharedTask {
    std::string folder;
    size_t after = SIZE_MAX;
    std::function<void()> act;
  };
  // How many sessions `work` pieces of work are worth, by the settings.
  int SessionsFor(std::int64_t work) const;
  // Carries out the tasks over `sessions` connections, the run's first
  // among them: each takes the next task whose predecessor is done.
  void RunShared(const std::vector<SharedTask>& tasks, int sessions);
  // Goes into `remote` on the session working now; false when the run must
  // end.
  bool Enter(const std::string& remote);

 private:
  struct LocalEntry {
    std::string name;
    bool directory = false;
    // Neither a regular file nor a folder inside the local folder: why it is
    // not published.
    std::string unpublishable;
    std::uint32_t dos_time = 0;
    ListingTime time;
    long long mtime = 0;        // the modification time, in seconds since 1970 (UTC)
    bool whole_second = false;  // and it has no fraction of a second, as a time set from a listing
    std::int64_t size = 0;
    dev_t device = 0;
    ino_t inode = 0;
  };

  // Every line goes to the log as one line of plain text: control
  // characters of names from outside are written out.
  // While several sessions work, a task's lines are held and written
  // together once it is done.
  void Log(const std::string& line) override;
  void Emit(RunEvent::Kind kind, const std::string& path, std::int64_t bytes = 0, std::int64_t files = 0) override;
  // Logs something left undone; the run goes on but will not say "Finished.".
  void Problem(const std::string& line, const std::string& path = std::string());
  std::string CheckSettings() const;
  bool ReadyToStart();
  void MakeStartDirAbsolute();
  RunOutcome Finish(RunOutcome outcome);
  void RemoveGone(const PlanTotals* planned);
  // Listed at most this many to a group of the plan's report.
  static constexpr size_t kMaxReportedPerGroup = 200;

  // Walk.
  bool ReadLocalFolder(const std::string& folder, std::vector<LocalEntry>& entries);
  // The files below `folder` that the walk will reach, and their bytes.
  void CountLocalFiles(const std::string& folder, std::vector<std::pair<dev_t, ino_t>>& path, std::int64_t& files,
                       std::int64_t& bytes);
  bool WalkedFolder(const LocalEntry& entry) const;
  LocalEntry ReadLocalEntry(const std::string& folder, const std::string& name) const;
  bool ReadyToSend(const std::string& local, const std::string& name, const std::string& site_address,
                   const std::string& new_address, const std::string& old_address);
  bool ServerCopyOutdated(const std::string& local, const LocalEntry& entry, const RemoteEntry& listed);
  void SendChanged(const std::string& local, const std::string& remote, const std::string& name, const char* label,
                   const std::string& site_address, const std::string& new_address, const std::string& old_address);
  bool BuildPage(const std::string& local, const std::string& name, const std::string& site_address,
                 const std::string& new_address, const std::string& old_address);
  void MakePage(const std::string& text, const std::string& name, const std::string& site_address,
                const std::string& new_address, const std::string& old_address);
  bool UploadFile(const std::string& local, const std::string& name);
  void TestCopy(const std::string& local, const std::string& name);
  bool SendUpload(const std::string& local, const std::string& remote, const std::string& name, const char* label);
  bool DropPartialCopy(const std::string& local, const std::string& remote, const std::string& name);

  // What the method changes, chosen once a run (run_strategies.h).
  class ReplaceStrategy;
  class ChangeStrategy;
  class DeleteAndSend;
  class RenameIntoPlace;
  class ListingPerFile;
  class FolderListing;
  std::unique_ptr<ReplaceStrategy> replace_;
  std::unique_ptr<ChangeStrategy> changes_;
  void ChooseStrategies();
  bool Modern() const { return settings_.Site.Modern(); }
  // What Wrt Changes makes of a file.
  enum class Verdict { None, New, Changed, Unchanged };
  // The classic judgement: one LIST of the file's name.
  Verdict ListedVerdict(const std::string& local, const LocalEntry& entry);
  // The modern one: the file looked up in its folder's listing.
  bool FileSkipped(const std::string& path, const LocalEntry& entry);
  // `is_new`: the server's listing showed no file of that name.
  void OverwriteFile(const std::string& local, const std::string& remote, const LocalEntry& entry,
                     const std::string& site_address, const std::string& new_address, const std::string& old_address,
                     bool is_new = false);

  // MLSD where the server offers it (its FEAT lists MLST); asked once a run.
  void DetectMlsd(const std::string& folder);
  bool ListedSizeDiffers(const std::string& path, std::int64_t local_size, std::int64_t listed);

  // A listing through the executor: "dir" (long), "mlsd" (facts) or "ls"
  // (names). With `may_fail`, a listing the server refuses (proftpd answers
  // NLST of an empty folder with 450) is no failure of the run: false,
  // nothing retried.
  bool ListFolder(const std::string& directory, const char* label, RemoteListing& listing, bool may_fail = false) {
    return executor_->List(directory, label, listing, may_fail);
  }
  // The wipe job and the planned walk work through the run's executor,
  // listings and checks.
  friend class Wipe;
  friend class Removal;
  friend class Fetch;
  friend class OldPages;
  friend class PlannedWalk;
  friend class ClassicWalk;
  static bool IsPage(const std::string& name);
  bool FolderToWalk(const std::string& path, const LocalEntry& entry);
  // Whether the user leaves out what lies at `path` below the local folder
  // or the start folder ("blog/drafts").
  bool Excluded(const std::string& path, bool folder) const { return exclusions_.Excluded(path, folder); }
  // `path` below `top` ("/www/blog" below "/www" is "blog").
  static std::string Below(const std::string& top, const std::string& path);

  RunSettings settings_;
  const ProfileView& profile_;
  LogSink log_;
  std::unique_ptr<SiteConnection> own_connection_;
  // The session the code running now works through: the run's first
  // connection, or while several send side by side, the one whose turn it
  // is (see Sessions).
  SiteConnection* client_;
  SiteConnection* const first_client_;
  Executor first_executor_;
  Executor* executor_ = &first_executor_;
  bool type_each_file_ = true;  // TYPE before every file (classic), or only when it changes
  bool lists_facts_ = false;    // lists with MLSD where the server offers it (modern)
  bool plans_first_ = false;    // the walk makes its plan before it acts (modern)
  bool mlsd_ = false;           // the modern method lists folders with MLSD (the server's FEAT lists MLST)
  bool mlsd_asked_ = false;     // FEAT was asked in this run
  bool terminated_ = false;
  int problems_ = 0;

  // Run state.
  std::string text_ext_list_;
  bool write_changes_ = false;
  std::unique_ptr<MemoryStream> page_stream_;
  std::vector<std::pair<dev_t, ino_t>> walking_;  // the local folders on the current path
  std::string local_root_;                        // the local folder with every link resolved
  bool wipe_declined_ = false;
  Exclusions exclusions_;
  std::vector<std::string> exclusion_problems_;  // patterns that could not be read
  // Why Wrt Changes sends the file it judged last ("newer", "other size").
  std::string judged_reason_;
  // A connection of its own while several send side by side.
  struct Session {
    std::unique_ptr<SiteConnection> connection;  // none for the run's first
    std::unique_ptr<Executor> executor;
    std::unique_ptr<MemoryStream> page;  // the redirection page it sends
    std::string folder;                  // where it went last
    bool holding = false;
    std::vector<std::string> held;
    std::int64_t moving = 0;  // bytes of its file under way
  };
  std::vector<std::unique_ptr<Session>> sessions_;  // while they work
  Session* session_ = nullptr;                      // the one working now
  void Resume(Session* session);
  std::function<void(std::int64_t)> transfer_watcher_;
  void Moved(size_t session, std::int64_t bytes);
  void Release(Session& session, bool write);
  void Work(size_t index, const std::vector<SharedTask>& tasks, struct SharedState& state);
  // What a test run of the planned walk would do, grouped for the end of
  // its log.
  struct PlanReport {
    std::vector<std::string> make, send, remove_files, remove_folders;
  };
  PlanReport plan_report_;
  void ReportPlan(const PlanTotals& totals);
};

// Joins a local folder and a name with the platform's separator.
std::string LocalPath(const std::string& folder, const std::string& name);
// The path with every link resolved, or empty when it cannot be resolved.
std::string RealPath(const std::string& path);

}  // namespace kestova

// The run driver: checks the settings, connects, runs the wipe and the walk,
// and writes the closing line.
#include "engine/upload.h"

#include <chrono>
#include <cstring>
#include <ctime>

#include "engine/classic_walk.h"
#include "engine/fetch.h"
#include "engine/old_pages.h"
#include "engine/planned_walk.h"
#include "engine/removal.h"
#include "engine/run_strategies.h"
#include "engine/wipe.h"
#include "net/event_wait.h"
#include "transports/open_site.h"

namespace kestova {

Upload::Upload(RunSettings settings, const ProfileView& profile, LogSink log, SiteConnection* connection)
    : settings_(std::move(settings)),
      profile_(profile),
      log_(std::move(log)),
      own_connection_(connection ? nullptr : OpenSite(settings_.Site)),
      client_(connection ? connection : own_connection_.get()),
      first_client_(client_),
      first_executor_(*this, settings_, *client_) {}

void Upload::PauseSeconds(int n) {
  // Waits in the event loop, so Esc and Ctrl+C are noticed at once.
  if (n <= 0) return;
  WaitUntil([this] { return terminated_; }, std::chrono::seconds(n));
}

Upload::~Upload() = default;

size_t Upload::PeakIndexedEntries() const { return changes_ ? changes_->PeakHeld() : 0; }

void Upload::StartRunState() {
  ChooseStrategies();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  client_->StartRun(local.tm_year + 1900, local.tm_mon + 1);
  text_ext_list_ = "," + profile_.AutoDetectExts() + ",";
  local_root_ = RealPath(settings_.LocalRoot);
  plan_report_ = PlanReport();
  exclusion_problems_.clear();
  exclusions_ = Exclusions(settings_.Exclude, &exclusion_problems_);
}

// The end of a test run of the planned walk: what it would do, grouped,
// then the totals.
void Upload::ReportPlan(const PlanTotals& totals) {
  const auto group = [this](const char* title, const std::vector<std::string>& lines) {
    if (lines.empty()) return;
    Log(std::string("  ") + title + " (" + std::to_string(lines.size()) + "):");
    for (size_t i = 0; i < lines.size() && i < kMaxReportedPerGroup; ++i) Log("    " + lines[i]);
    if (lines.size() > kMaxReportedPerGroup) {
      Log("    (and " + std::to_string(lines.size() - kMaxReportedPerGroup) + " more, named above)");
    }
  };
  Log("The plan:");
  group("Folders to make", plan_report_.make);
  group("Files to send", plan_report_.send);
  group("Files to remove", plan_report_.remove_files);
  group("Folders to remove", plan_report_.remove_folders);
  Log(PlannedWalk::TotalsLine(totals));
}

std::string Upload::Below(const std::string& top, const std::string& path) {
  if (path == top) return std::string();
  const std::string prefix = AddTrailingSlash(top);
  return path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
}

// After the walk, what the local folder no longer has goes, but only when
// the walk did all it meant to: a run that failed or was stopped removes
// nothing. A test run ends with the totals of all it would do.
void Upload::RemoveGone(const PlanTotals* planned) {
  if (terminated_) {
    Log("The run did not finish: nothing was removed.");
    return;
  }
  if (Incomplete()) {
    Log("Not everything was sent: nothing was removed.");
    return;
  }
  Removal removal(*this);
  removal.Run();
  if (!profile_.TestRun() || terminated_) return;
  if (planned) {
    PlannedWalk::Totals totals = *planned;
    totals.remove += removal.Files();
    totals.remove_folders += removal.Folders();
    ReportPlan(totals);
  } else {
    Log("Would remove " + std::to_string(removal.Files()) + (removal.Files() == 1 ? " file" : " files") + " and " +
        std::to_string(removal.Folders()) + (removal.Folders() == 1 ? " folder" : " folders"));
  }
}

void Upload::Emit(RunEvent::Kind kind, const std::string& path, std::int64_t bytes, std::int64_t files) {
  // A session's file is dealt with: its bytes no longer count as under way.
  if (session_ && (kind == RunEvent::Kind::FileSent || kind == RunEvent::Kind::FileChecked ||
                   kind == RunEvent::Kind::FileSkipped)) {
    session_->moving = 0;
  }
  if (OnEvent) OnEvent(RunEvent{kind, path, bytes, files});
}

void Upload::Problem(const std::string& line, const std::string& path) {
  Log(line);
  ++problems_;
  if (!path.empty()) Emit(RunEvent::Kind::FileSkipped, path);
}

// What makes a run impossible before it connects: nothing to publish from,
// or a start directory that no command could name.
std::string Upload::CheckSettings() const {
  const std::string& root = settings_.LocalRoot;
  if (root.empty()) {
    return settings_.FetchJob
               ? "No local folder is set. Choose the folder to fetch the old site into (New Root) and start again."
               : "No local folder is set. Choose the folder that holds the site's files (New Root) and start again.";
  }
  // A fetch sends nothing whatever happens: it says what it did not do.
  const std::string nothing = settings_.FetchJob ? " Nothing was fetched." : " Nothing was sent.";
  const auto unreadable = [&root, &nothing] {
    return "Cannot read the local folder " + root + ": " + std::strerror(errno) + "." + nothing;
  };
  struct stat info {};
  if (settings_.FetchJob && ::stat(root.c_str(), &info) != 0 && errno == ENOENT) {
    // A fetch makes the folder it fetches into, in a folder that is there.
    const std::string parent = root.find('/') == std::string::npos ? "." : root.substr(0, root.find_last_of('/'));
    if (::stat(parent.empty() ? "/" : parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return std::string();
    return "Cannot fetch into " + root + ": neither it nor the folder above it is there. Nothing was fetched.";
  }
  if (::stat(root.c_str(), &info) != 0) return unreadable();
  if (!S_ISDIR(info.st_mode)) return "The local folder " + root + " is not a folder." + nothing;
  DIR* search = ::opendir(root.c_str());
  if (!search) return unreadable();
  ::closedir(search);
  // A pattern that cannot be read would send what the user meant to keep
  // back: the run does not start.
  if (!exclusion_problems_.empty()) {
    return "The exclusion pattern " + exclusion_problems_.front() +
           ". Correct it in the site window (Exclude) or in --exclude." + nothing;
  }
  if (HoldsLineBreak(settings_.StartDir)) {
    return "The start directory holds a line break, which no FTP command can carry." + nothing;
  }
  // The proxy's login form (USER user@host) ends at the proxy, which cannot
  // carry the TLS session on to the server.
  if (const std::string proxy = client_->Proxy(); client_->Encrypted() && !proxy.empty()) {
    return "This site is set to FTP over TLS and to go through the FTP proxy " + proxy +
           ", which cannot carry TLS. Clear the proxy or choose plain FTP for this site." + nothing;
  }
  return std::string();
}

// A relative start directory hangs below the login directory.
void Upload::MakeStartDirAbsolute() {
  std::string& start = settings_.StartDir;
  if (LeftPart(start, 1) == "/") return;
  start = AddTrailingSlash(client_->WorkingFolder().value_or(std::string())) + start;
}

// Before anything is sent: the checks of the settings and of the local
// folder, and what the walk will reach, for progress (counted before the
// first connection, with the walk's own rules). False when the run is
// refused.
bool Upload::ReadyToStart() {
  if (const std::string refusal = CheckSettings(); !refusal.empty()) {
    Log(refusal);
    return false;
  }
  // A fetch counts what it will take once it has listed the server.
  if (settings_.FetchJob) return true;
  std::int64_t files = 0;
  std::int64_t bytes = 0;
  std::vector<std::pair<dev_t, ino_t>> path;
  CountLocalFiles(settings_.LocalRoot, path, files, bytes);
  // An empty or mistyped local folder must not empty the site.
  if (settings_.WipeFirst && files == 0) {
    Log("The local folder " + settings_.LocalRoot + " holds no " +
        (settings_.RedirectJob ? std::string(".htm or .html page") : std::string("file")) +
        ": Wipe Site would leave the site empty. Nothing was deleted.");
    return false;
  }
  if (OnEvent) Emit(RunEvent::Kind::RunStarted, settings_.LocalRoot, bytes, files);
  return true;
}

RunOutcome Upload::StartUpload() {
  StartRunState();
  if (profile_.TestRun()) {
    Log("**** THIS IS A TEST RUN -- NO WRITING OR ***");
    Log("****       DELETING WILL TAKE PLACE      ***");
  }
  if (!ReadyToStart()) return RunOutcome::Refused;
  if (!ExecuteCommand("", "", true)) {
    // Esc during a retry pause ends the run like any termination.
    if (!terminated_ || executor_->GaveUp()) return RunOutcome::NotConnected;
    return Finish(RunOutcome::Terminated);
  }
  MakeStartDirAbsolute();
  // Wrt Changes is the new site's write mode; the redirection pages always go.
  write_changes_ = profile_.NewChanges() && !settings_.RedirectJob;
  RunOutcome outcome = RunOutcome::Finished;
  try {
    if (settings_.FetchJob) {
      Fetch(*this).Run();
      executor_->Close();
      return Finish(outcome);
    }
    if (settings_.WipeFirst) Wipe(*this).Run();
    if (write_changes_) changes_->Prepare();
    if (settings_.RedirectJob) {
      page_stream_ = std::make_unique<MemoryStream>();
      Next().SetStream(page_stream_.get());
    }
    if (plans_first_) {
      PlannedWalk walk(*this);
      walk.Run(settings_.LocalRoot, settings_.StartDir, settings_.SiteURL, profile_.NewURL(), profile_.OldURL());
      if (settings_.RemoveGone) RemoveGone(&walk.Planned());
    } else {
      ClassicWalk(*this).Folder(settings_.LocalRoot, settings_.StartDir, settings_.SiteURL, profile_.NewURL(),
                                profile_.OldURL());
      if (settings_.RemoveGone) RemoveGone(nullptr);
    }
    if (settings_.RedirectJob && settings_.OldAllPages && !terminated_) OldPages(*this).Run();
  } catch (const ListingDateError& error) {
    Log(std::string("Cannot read the date of the listing line ") + error.what() + "; the run stops here.");
    outcome = RunOutcome::Failed;
  }
  Next().SetStream(nullptr);
  page_stream_.reset();
  executor_->Close();
  return Finish(outcome);
}

// The closing line, once, and the event that says the run has ended.
RunOutcome Upload::Finish(RunOutcome outcome) {
  if (outcome == RunOutcome::Failed) {
    Emit(RunEvent::Kind::RunEnded, std::string());
    return outcome;
  }
  if (!terminated_ && Incomplete()) {
    Log("Not everything was done: " + std::to_string(problems_) + (problems_ == 1 ? " item was" : " items were") +
        " skipped or refused (see above).");
  }
  const bool complete = !terminated_ && !Incomplete();
  const std::string closing = complete ? "Finished." : "Terminated before completion.";
  Log(closing);
  Emit(RunEvent::Kind::RunEnded, closing);
  return complete ? RunOutcome::Finished : RunOutcome::Terminated;
}

}  // namespace kestova

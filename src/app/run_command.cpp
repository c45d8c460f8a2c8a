#include "app/run_command.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>

#include "app/profile_command.h"
#include "common/text_helpers.h"
#include "engine/redirect_page.h"
#include "engine/run_tally.h"
#include "engine/upload.h"
#include "net/event_wait.h"
#include "platform/registry.h"
#include "platform/saved_log.h"
#include "profile/site_profile.h"

namespace kestova {

namespace {

const char* const kRunHelp =
    "Usage: kestova run publish|redirect|fetch [--profile NAME] [--test] [--yes]\n"
    "                   [--method classic|modern] [--exclude PATTERN]... [--quiet]\n"
    "                   [--log FILE] [--into FOLDER] [--connections N]\n"
    "\n"
    "Runs one job of a profile (the current one unless --profile names another)\n"
    "and prints its log as it goes:\n"
    "  publish   copy the local folder (RootSource) to the new site\n"
    "  redirect  for every .htm/.html page of the local folder, put a redirection\n"
    "            page over the same path on the old site, built from the template\n"
    "            file HTMLFile\n"
    "  fetch     download the old site's start folder (OldStartDir) into the\n"
    "            local folder, or into FOLDER with --into: what is new or differs\n"
    "            in size or time, each file with the server's time; nothing local\n"
    "            is removed, and each file is put in place only once it arrived\n"
    "            whole\n"
    "\n"
    "The profile's TestRun, or --test (--dry-run, -n) for this run alone, makes it a\n"
    "test run that only logs what it would write or delete. A run whose write mode\n"
    "is Wipe Site asks, once it has counted what would go, before it deletes\n"
    "anything; --yes answers for it (required when standard input is not a\n"
    "terminal). A test run deletes nothing and asks nothing. With NewDelete, a\n"
    "publish that sent everything removes the remote files no longer in the local\n"
    "folder; past NewMaxDelete files it lists them and asks, and --yes answers.\n"
    "--exclude leaves out what a pattern names (as in .gitignore: *.psd, drafts/,\n"
    "/private/, **/*.bak, !keep.psd), beside the profile's Exclude; it may repeat.\n"
    "--method chooses the site's transfer method for this run alone (the profile's\n"
    "NewMethod or OldMethod otherwise): classic, or modern (64 KiB blocks, no pause\n"
    "before a data connection closes, a file that replaces one sent under a temporary\n"
    "name and renamed into place).\n"
    "--connections N (1 to 8) is how many connections the modern method and SFTP\n"
    "work over side by side in this run (the profile's NewConnections or\n"
    "OldConnections otherwise, 4 unless set); the classic method uses one.\n"
    "The log goes to standard output. On a terminal, standard error shows a line\n"
    "of progress; at the end it shows a summary (--quiet leaves both out). Errors\n"
    "always go to standard error. --log FILE also writes the log to FILE. Every\n"
    "run's log is saved in $XDG_STATE_HOME/kestova/logs (~/.local/state/...).\n"
    "Ctrl+C ends the run after the current command; a second Ctrl+C ends the program.\n"
    "\n"
    "Exit status: 0 finished, 1 terminated before completion, 2 could not connect\n"
    "(also when the server's certificate is not trusted: 'kestova profile trust'),\n"
    "3 usage or profile error.\n";

// Ctrl+C reaches the event loop through a pipe: the first one ends the run
// at once (a file being sent is cut and its part removed from the server),
// the second ends the program.
int interrupt_pipe[2] = {-1, -1};
std::atomic<int> interrupts{0};  // lock-free, so safe in a signal handler

void OnInterrupt(int) {
  if (++interrupts >= 2) ::_exit(130);
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(interrupt_pipe[1], &byte, 1);
}

class InterruptWatch {
 public:
  explicit InterruptWatch(Upload& run) {
    interrupts = 0;
    if (::pipe2(interrupt_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(interrupt_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [&run] {
      char byte;
      while (::read(interrupt_pipe[0], &byte, 1) > 0) {
      }
      run.Stop();
    });
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previous_);
  }
  bool Interrupted() const { return interrupts > 0; }
  ~InterruptWatch() {
    ::sigaction(SIGINT, &previous_, nullptr);
    notifier_.reset();
    for (int& fd : interrupt_pipe) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
  struct sigaction previous_ {};
};

// Asked where errors go: standard output carries nothing but the log.
bool AskYes(const std::string& question, std::ostream& out) {
  out << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return SameText(TrimBlanks(answer), "y") || SameText(TrimBlanks(answer), "yes");
}

bool AskWipe(const WipePreview& preview, std::ostream& out) {
  return AskYes(preview.Question() + "\nDelete them?", out);
}

// What the command line asked for; `exit` is set when the words were wrong
// or asked only for help.
struct RunRequest {
  std::string job;
  std::string profile;
  bool named_profile = false;  // --profile was given
  bool yes = false;
  bool test = false;
  bool quiet = false;
  std::string log_file;
  std::optional<TransferMethod> method;
  int connections = 0;  // 0: the profile's
  std::vector<std::string> exclude;
  std::string into;  // fetch: the folder to fetch into
  std::optional<int> exit;
};

// A profile name as a shell word, for a command the user may copy.
std::string ShellWord(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-+") ==
                           std::string::npos) {
    return text;
  }
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// One line for a word the command does not take: the nearest option or
// job, and where the rest is told.
std::string UnexpectedArgument(const std::string& arg) {
  if (arg == "--profile" || arg == "--log" || arg == "--method" || arg == "--exclude" || arg == "--into" ||
      arg == "--connections") {
    return arg + " needs a value after it. 'kestova run --help' lists the options.";
  }
  static const char* const kWords[] = {"publish",   "redirect", "--profile", "--test",       "--dry-run",
                                       "--yes",     "--method", "--quiet",   "--log",        "--help",
                                       "--exclude", "fetch",    "--into",    "--connections"};
  std::string nearest;
  size_t best = 4;  // no suggestion further than three edits away
  for (const char* word : kWords) {
    const size_t distance = EditDistance(arg, word);
    if (distance < best) best = distance, nearest = word;
  }
  const bool option = !arg.empty() && arg[0] == '-';
  std::string line = std::string(option ? "Unknown option '" : "Unexpected argument '") + arg + "'.";
  if (!nearest.empty()) line += " Did you mean " + nearest + "?";
  return line + " 'kestova run --help' lists the options.";
}

RunRequest ParseRunArgs(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  RunRequest request;
  for (size_t i = 0; i < args.size() && !request.exit; ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out << kRunHelp;
      request.exit = kExitOk;
    } else if (arg == "--yes" || arg == "-y") {
      request.yes = true;
    } else if (arg == "--test" || arg == "--dry-run" || arg == "-n") {
      request.test = true;
    } else if (arg == "--quiet" || arg == "-q") {
      request.quiet = true;
    } else if (arg == "--log" && i + 1 < args.size()) {
      request.log_file = args[++i];
    } else if (arg.rfind("--log=", 0) == 0) {
      request.log_file = arg.substr(6);
    } else if ((arg == "--method" && i + 1 < args.size()) || arg.rfind("--method=", 0) == 0) {
      const std::string name = arg == "--method" ? args[++i] : arg.substr(9);
      if (name == "classic" || name == "modern") {
        request.method = name == "modern" ? TransferMethod::Modern : TransferMethod::Classic;
      } else {
        err << "kestova: --method takes classic or modern, not '" << name << "'.\n";
        request.exit = kExitUsage;
      }
    } else if ((arg == "--connections" && i + 1 < args.size()) || arg.rfind("--connections=", 0) == 0) {
      const std::string count = arg == "--connections" ? args[++i] : arg.substr(14);
      if (count.size() == 1 && count[0] >= '1' && count[0] <= '8') {
        request.connections = count[0] - '0';
      } else {
        err << "kestova: --connections takes a number from 1 to 8, not '" << count << "'.\n";
        request.exit = kExitUsage;
      }
    } else if (arg == "--exclude" && i + 1 < args.size()) {
      request.exclude.push_back(args[++i]);
    } else if (arg.rfind("--exclude=", 0) == 0) {
      request.exclude.push_back(arg.substr(10));
    } else if (arg == "--profile" && i + 1 < args.size()) {
      request.profile = args[++i];
      request.named_profile = true;
    } else if (arg.rfind("--profile=", 0) == 0) {
      request.profile = arg.substr(10);
      request.named_profile = true;
    } else if (arg == "--into" && i + 1 < args.size()) {
      request.into = args[++i];
    } else if (arg.rfind("--into=", 0) == 0) {
      request.into = arg.substr(7);
    } else if (request.job.empty() && (arg == "publish" || arg == "redirect" || arg == "fetch")) {
      request.job = arg;
    } else {
      err << "kestova: " << UnexpectedArgument(arg) << '\n';
      request.exit = kExitUsage;
    }
  }
  if (!request.exit && request.job.empty()) {
    err << "kestova: Name the job: publish, redirect or fetch.\n\n" << kRunHelp;
    request.exit = kExitUsage;
  }
  if (!request.exit && !request.into.empty() && request.job != "fetch") {
    err << "kestova: --into is for fetch: a publish and the redirection pages read the local folder (RootSource).\n";
    request.exit = kExitUsage;
  }
  return request;
}

// Loads the profile the run is for; false, with the reason told, when there
// is none of that name.
bool LoadRunProfile(SiteProfile& profile, RunRequest& request, std::ostream& err) {
  profile.RefreshProfileList();
  if (request.profile.empty()) request.profile = profile.GetCurrentProfile();
  const std::optional<std::string> listed = profile.ListedName(request.profile);
  if (!listed) {
    err << "kestova: There is no profile named \"" << request.profile << "\"; 'kestova profile list' shows them.\n";
    return false;
  }
  request.profile = *listed;
  profile.LoadRegistry(request.profile);
  // For this run only: the profile is never saved here.
  if (request.test) profile.TestRun = true;
  if (request.method) {
    (request.job == "publish" ? profile.NewSite : profile.OldSite).Method = *request.method;
  }
  if (request.connections > 0)
    (request.job == "publish" ? profile.NewConnections : profile.OldConnections) = request.connections;
  return true;
}

// A run that deletes asks first, once it knows what would go, or needs
// --yes without a terminal.
bool CanAskWipe(std::ostream& err) {
  if (::isatty(STDIN_FILENO)) return true;
  err << "kestova: This run wipes the remote site first; add --yes to confirm without a terminal.\n";
  return false;
}

// Where the log goes besides standard output: the saved copy, and the
// file --log names. Progress and the summary go to standard error, the
// progress only on a terminal; the progress line is taken away before a log
// line is written and drawn again after it.
class RunOutput {
 public:
  RunOutput(std::ostream& out, std::ostream& err, bool quiet)
      : out_(out), err_(err), quiet_(quiet), terminal_(!quiet && ::isatty(STDERR_FILENO)) {
    clock_.start();
  }

  bool OpenFiles(const RunRequest& request) {
    if (!request.log_file.empty()) {
      log_file_.open(request.log_file, std::ios::binary | std::ios::trunc);
      if (!log_file_) {
        err_ << "kestova: Cannot write the log file " << request.log_file << ": " << std::strerror(errno) << '\n';
        return false;
      }
    }
    std::string why;
    if (!saved_.Open(request.profile, request.job, std::time(nullptr), why)) {
      err_ << "kestova: This run's log is not saved: " << why << '\n';
    }
    return true;
  }

  void Line(const std::string& line) {
    ClearProgress();
    out_ << line << '\n' << std::flush;
    if (log_file_.is_open()) log_file_ << line << '\n' << std::flush;
    if (!saved_.Write(line)) err_ << "kestova: " << saved_.Failure() << '\n' << std::flush;
    DrawProgress(false);
  }

  RunTally& Tally() { return tally_; }

  void Event(const RunEvent& event) {
    tally_.Add(event);
    DrawProgress(false);
  }

  void Tick() { DrawProgress(true); }

  // Takes the progress line away, for a question.
  void ClearProgress() {
    if (!drawn_) return;
    err_ << "\r\033[K" << std::flush;
    drawn_ = false;
  }

  void End() {
    ClearProgress();
    terminal_ = false;
    if (!quiet_ && tally_.started) {
      err_ << "Summary: " << tally_.Summary(Seconds()) << '\n';
      if (const std::string hint = tally_.PauseHint(Seconds()); !hint.empty()) err_ << "Note: " << hint << '\n';
      err_ << std::flush;
    }
  }

 private:
  double Seconds() const { return static_cast<double>(clock_.elapsed()) / 1000.0; }

  void DrawProgress(bool timed) {
    if (!terminal_ || !tally_.started || tally_.ended) return;
    // At most a few redraws a second, however fast the events come.
    if (!timed && drawn_ && drawn_at_.isValid() && drawn_at_.elapsed() < 200) return;
    drawn_at_.start();
    drawn_ = true;
    err_ << "\r" << tally_.Percent() << "%  " << tally_.Progress(Seconds()) << "\033[K" << std::flush;
  }

  std::ostream& out_;
  std::ostream& err_;
  bool quiet_;
  bool terminal_;
  bool drawn_ = false;
  QElapsedTimer clock_;
  QElapsedTimer drawn_at_;
  RunTally tally_;
  std::ofstream log_file_;
  SavedLog saved_;
};

int Execute(const RunSettings& settings, const ProfileView& view, const RunRequest& request, bool ask_wipe,
            std::ostream& out, std::ostream& err) {
  RunOutput output(out, err, request.quiet);
  output.Tally().classic = settings.Site.Method == TransferMethod::Classic && !settings.FetchJob;
  output.Tally().fetch = settings.FetchJob;
  if (!output.OpenFiles(request)) return kExitUsage;
  // What a failed run's one line on standard error says why with.
  std::string last_line, last_reason, undone;
  Upload run(settings, view, [&](const std::string& line) {
    output.Line(line);
    last_line = line;
    if (line.rfind("Reason: ", 0) == 0) last_reason = line.substr(8);
    // What was left undone: the removal's own words over the count of
    // what was left that follows them.
    if (line.rfind("Nothing was removed: ", 0) == 0 || line.rfind("The removal was not confirmed", 0) == 0) {
      undone = line;
    } else if ((line.rfind("Not everything was done: ", 0) == 0 && undone.empty()) ||
               line.rfind("Cannot read the date of", 0) == 0 || line.rfind("The wipe was not confirmed", 0) == 0) {
      undone = line;
    }
  });
  run.OnEvent = [&output](const RunEvent& event) { output.Event(event); };
  // Past its limit a removal goes ahead with --yes, or asks on a terminal;
  // otherwise it removes nothing.
  if (request.yes) {
    run.ConfirmRemovals = [](const RemovalPreview&) { return true; };
  } else if (::isatty(STDIN_FILENO)) {
    run.ConfirmRemovals = [&output, &err](const RemovalPreview& preview) {
      output.ClearProgress();
      // The question ends with its own "Remove them?".
      return AskYes(preview.Question(), err);
    };
  }
  if (ask_wipe) {
    run.ConfirmWipe = [&output, &err](const WipePreview& preview) {
      output.ClearProgress();
      return AskWipe(preview, err);
    };
  }
  output.Tally().WatchTransfers(run);
  QTimer ticks;
  QObject::connect(&ticks, &QTimer::timeout, [&output] { output.Tick(); });
  ticks.start(500);
  InterruptWatch watch(run);
  const RunOutcome outcome = run.StartUpload();
  ticks.stop();
  output.End();
  // A failed run says why in one line where errors go, --quiet or not: for
  // scripts, cron jobs and a log that scrolled.
  const std::string& host = settings.Site.HostName;
  if (const CertificateCheck& refused = run.RefusedCertificate(); refused.verdict != CertificateCheck::Verdict::None) {
    err << "kestova: The server's certificate is not trusted; SHA-256 fingerprint " << refused.certificate.fingerprint
        << ". To trust it: kestova profile trust "
        << (request.named_profile ? "--profile " + ShellWord(request.profile) + " " : std::string())
        << (settings.OnOldSite() ? "old" : "new") << '\n';
  } else if (const auto& key = run.RefusedHostKey(); !key.key.empty()) {
    err << "kestova: " << (last_reason.empty() ? last_line : last_reason) << '\n';
    if (!key.changed) {
      err << "kestova: To trust it: kestova profile trust "
          << (request.named_profile ? "--profile " + ShellWord(request.profile) + " " : std::string())
          << (settings.OnOldSite() ? "old" : "new") << '\n';
    }
  } else if (run.DataCertificateRefused()) {
    err << "kestova: A data connection presented another certificate than the server's; the run was stopped.\n";
    return kExitNoConnection;
  } else if (outcome == RunOutcome::NotConnected) {
    err << "kestova: Could not connect to " << host << ": " << (last_reason.empty() ? last_line : last_reason) << '\n';
  } else if (outcome == RunOutcome::Terminated || outcome == RunOutcome::Failed) {
    err << "kestova: The run did not finish: "
        << (watch.Interrupted()    ? std::string("it was stopped with Ctrl+C.")
            : !undone.empty()      ? undone
            : !last_reason.empty() ? last_reason
                                   : last_line)
        << '\n';
  }
  switch (outcome) {
    case RunOutcome::Finished: return kExitOk;
    case RunOutcome::Terminated: return kExitTerminated;
    case RunOutcome::NotConnected: return kExitNoConnection;
    case RunOutcome::Failed: return kExitTerminated;
    case RunOutcome::Refused:
      // Settings that cannot make a run are a profile error, told where
      // errors go.
      err << "kestova: " << last_line << '\n';
      return kExitUsage;
  }
  return kExitUsage;
}

}  // namespace

int RunRunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                  const std::string& store_file) {
  RunRequest request = ParseRunArgs(args, out, err);
  if (request.exit) return *request.exit;
  const bool redirect = request.job == "redirect";
  try {
    SiteProfile profile(store_file);
    if (!LoadRunProfile(profile, request, err)) return kExitUsage;
    std::vector<std::string> template_lines;
    std::ifstream template_file(profile.HTMLFile, std::ios::binary);
    if (template_file) {
      template_lines = SplitLines(std::string(std::istreambuf_iterator<char>(template_file), {}));
    } else if (redirect) {
      err << "kestova: Cannot read the redirection template " << profile.HTMLFile
          << "; set HTMLFile with 'kestova profile set HTMLFile=...'.\n";
      return kExitUsage;
    }
    RunSettings settings =
        request.job == "fetch" ? SettingsForFetch(profile, request.into) : SettingsForJob(profile, redirect);
    for (const std::string& pattern : request.exclude) settings.Exclude += "\n" + pattern;
    const bool ask_wipe = settings.WipeFirst && !request.yes && !profile.TestRun;
    if (ask_wipe && !CanAskWipe(err)) return kExitUsage;
    const LoadedProfileView view(profile, template_lines, request.profile);
    return Execute(settings, view, request, ask_wipe, out, err);
  } catch (const RegistryError& error) {
    err << "kestova: " << error.what() << '\n';
    return kExitUsage;
  } catch (const std::exception& error) {
    // Anything else that stops a run is reported, never a crash.
    err << "kestova: The run stopped: " << error.what() << '\n';
    return kExitTerminated;
  }
}

}  // namespace kestova

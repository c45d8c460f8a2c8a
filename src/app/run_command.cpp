#include "app/run_command.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>

#include "app/profile_command.h"
#include "common/text_helpers.h"
#include "engine/redirect_page.h"
#include "engine/upload.h"
#include "net/event_wait.h"
#include "platform/registry.h"
#include "profile/site_profile.h"

namespace kestova {

namespace {

const char* const kRunHelp =
    "Usage: kestova run publish|redirect [--profile NAME] [--test] [--yes]\n"
    "                   [--method classic|modern]\n"
    "\n"
    "Runs one job of a profile (the current one unless --profile names another)\n"
    "and prints its log as it goes:\n"
    "  publish   copy the local folder (RootSource) to the new site\n"
    "  redirect  put a redirection page over every .htm/.html page of the old site,\n"
    "            built from the template file HTMLFile\n"
    "\n"
    "The profile's TestRun, or --test for this run alone, makes it a test run that\n"
    "only logs what it would write or delete. A run whose write mode is Wipe Site\n"
    "asks before it deletes anything; --yes answers for it (required when standard\n"
    "input is not a terminal). A test run deletes nothing and asks nothing.\n"
    "--method chooses the site's transfer method for this run alone (the profile's\n"
    "NewMethod or OldMethod otherwise): classic, or modern (64 KiB blocks, no pause\n"
    "before a data connection closes, files sent under a temporary name and renamed\n"
    "into place).\n"
    "Ctrl+C ends the run after the current command; a second Ctrl+C ends the program.\n"
    "\n"
    "Exit status: 0 finished, 1 terminated before completion, 2 could not connect\n"
    "(also when the server's certificate is not trusted: 'kestova profile trust'),\n"
    "3 usage or profile error.\n";

// Ctrl+C reaches the event loop through a pipe: the first one ends the run
// after its current command, the second ends the program.
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
      run.Terminate();
    });
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previous_);
  }
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

bool AskWipe(bool redirect, std::ostream& out) {
  out << WipeQuestion(redirect) << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return SameText(TrimBlanks(answer), "y") || SameText(TrimBlanks(answer), "yes");
}

// What the command line asked for; `exit` is set when the words were wrong
// or asked only for help.
struct RunRequest {
  std::string job;
  std::string profile;
  bool yes = false;
  bool test = false;
  std::optional<TransferMethod> method;
  std::optional<int> exit;
};

RunRequest ParseRunArgs(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  RunRequest request;
  for (size_t i = 0; i < args.size() && !request.exit; ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out << kRunHelp;
      request.exit = kExitOk;
    } else if (arg == "--yes" || arg == "-y") {
      request.yes = true;
    } else if (arg == "--test") {
      request.test = true;
    } else if ((arg == "--method" && i + 1 < args.size()) || arg.rfind("--method=", 0) == 0) {
      const std::string name = arg == "--method" ? args[++i] : arg.substr(9);
      if (name == "classic" || name == "modern") {
        request.method = name == "modern" ? TransferMethod::Modern : TransferMethod::Classic;
      } else {
        err << "kestova: --method takes classic or modern, not '" << name << "'.\n";
        request.exit = kExitUsage;
      }
    } else if (arg == "--profile" && i + 1 < args.size()) {
      request.profile = args[++i];
    } else if (arg.rfind("--profile=", 0) == 0) {
      request.profile = arg.substr(10);
    } else if (request.job.empty() && (arg == "publish" || arg == "redirect")) {
      request.job = arg;
    } else {
      err << "kestova: Unexpected argument '" << arg << "'.\n\n" << kRunHelp;
      request.exit = kExitUsage;
    }
  }
  if (!request.exit && request.job.empty()) {
    err << "kestova: Name the job: publish or redirect.\n\n" << kRunHelp;
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
    (request.job == "redirect" ? profile.OldClient : profile.NewClient).Method = *request.method;
  }
  return true;
}

// A run that deletes asks first, or needs --yes without a terminal.
bool ConfirmWipe(bool redirect, std::ostream& out, std::ostream& err) {
  if (!::isatty(STDIN_FILENO)) {
    err << "kestova: This run wipes the remote site first; add --yes to confirm without a terminal.\n";
    return false;
  }
  if (!AskWipe(redirect, out)) {
    err << "kestova: Nothing was done.\n";
    return false;
  }
  return true;
}

int Execute(const RunSettings& settings, const ProfileView& view, std::ostream& out, std::ostream& err) {
  std::string last_line;
  Upload run(settings, view, [&out, &last_line](const std::string& line) {
    out << line << '\n' << std::flush;
    last_line = line;
  });
  InterruptWatch watch(run);
  const RunOutcome outcome = run.StartUpload();
  if (const CertificateCheck& refused = run.RefusedCertificate(); refused.verdict != CertificateCheck::Verdict::None) {
    // Said once more where errors go, for scripts and for a log that scrolled.
    err << "kestova: The server's certificate is not trusted; SHA-256 fingerprint " << refused.certificate.fingerprint
        << ". To trust it: kestova profile trust " << (settings.RedirectJob ? "old" : "new") << '\n';
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
    const RunSettings settings = SettingsForJob(profile, redirect);
    if (settings.WipeFirst && !request.yes && !profile.TestRun && !ConfirmWipe(redirect, out, err)) {
      return kExitUsage;
    }
    const LoadedProfileView view(profile, template_lines, request.profile);
    return Execute(settings, view, out, err);
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

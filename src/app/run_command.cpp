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
    "Ctrl+C ends the run after the current command; a second Ctrl+C ends the program.\n"
    "\n"
    "Exit status: 0 finished, 1 terminated before completion, 2 could not connect,\n"
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

}  // namespace

int RunRunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                  const std::string& store_file) {
  std::string job;
  std::string profile_name;
  bool yes = false;
  bool test = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out << kRunHelp;
      return kExitOk;
    } else if (arg == "--yes" || arg == "-y") {
      yes = true;
    } else if (arg == "--test") {
      test = true;
    } else if (arg == "--profile" && i + 1 < args.size()) {
      profile_name = args[++i];
    } else if (arg.rfind("--profile=", 0) == 0) {
      profile_name = arg.substr(10);
    } else if (job.empty() && (arg == "publish" || arg == "redirect")) {
      job = arg;
    } else {
      err << "kestova: Unexpected argument '" << arg << "'.\n\n" << kRunHelp;
      return kExitUsage;
    }
  }
  if (job.empty()) {
    err << "kestova: Name the job: publish or redirect.\n\n" << kRunHelp;
    return kExitUsage;
  }
  const bool redirect = job == "redirect";
  try {
    SiteProfile profile(store_file);
    profile.RefreshProfileList();
    if (profile_name.empty()) profile_name = profile.GetCurrentProfile();
    const std::optional<std::string> listed = profile.ListedName(profile_name);
    if (!listed) {
      err << "kestova: There is no profile named \"" << profile_name << "\"; 'kestova profile list' shows them.\n";
      return kExitUsage;
    }
    profile_name = *listed;
    profile.LoadRegistry(profile_name);
    // For this run only: the profile is never saved here.
    if (test) profile.TestRun = true;

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
    if (settings.WipeFirst && !yes && !profile.TestRun) {
      if (!::isatty(STDIN_FILENO)) {
        err << "kestova: This run wipes the remote site first; add --yes to confirm without a terminal.\n";
        return kExitUsage;
      }
      if (!AskWipe(redirect, out)) {
        err << "kestova: Nothing was done.\n";
        return kExitUsage;
      }
    }

    LoadedProfileView view(profile, template_lines, profile_name);
    std::string last_line;
    Upload run(settings, view, [&out, &last_line](const std::string& line) {
      out << line << '\n' << std::flush;
      last_line = line;
    });
    InterruptWatch watch(run);
    switch (run.StartUpload()) {
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
  } catch (const RegistryError& error) {
    err << "kestova: " << error.what() << '\n';
    return kExitUsage;
  } catch (const std::exception& error) {
    // Anything else that stops a run is reported, never a crash.
    err << "kestova: The run stopped: " << error.what() << '\n';
    return kExitTerminated;
  }
  return kExitUsage;
}

}  // namespace kestova

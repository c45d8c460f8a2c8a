// `kestova run` end to end: the real program against pyftpdlib.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/loopback_peer.h"
#include "support/program_runner.h"
#include "support/temp_dir.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using testing::FtpServerFixture;
using ::testing::HasSubstr;
using testing::ReadFile;

class RunCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    server_ = FtpServerFixture::Start(FtpServerFixture::Kind::Pyftpdlib, (dir_.Path() / "ftp").string(), why);
    ASSERT_TRUE(server_) << why;
    fs::create_directories(dir_.Path() / "ftp" / "new");
    fs::create_directories(dir_.Path() / "ftp" / "old");
    const fs::path site = dir_.Path() / "site";
    fs::create_directories(site / "sub");
    std::ofstream(site / "index.htm") << "<title>Home</title>\n";
    std::ofstream(site / "sub" / "page.html") << "<title>Page</title>\n";
    std::ofstream(site / "data.bin", std::ios::binary) << std::string(5000, '\x01');
    std::ofstream(dir_.Path() / "template.htm") << "<a href=\"<<newurl>>\"><<title>></a>\n";
    fs::copy(site, dir_.Path() / "ftp" / "old", fs::copy_options::recursive);
    const std::string port = server_->Port();
    ASSERT_EQ(
        Program("profile set RootSource=" + site.string() + " HTMLFile=" + (dir_.Path() / "template.htm").string() +
                " NewHostName=127.0.0.1 NewPort=" + port + " NewUserId=" + server_->User() +
                " NewPassword=" + server_->Password() + " NewStartDir=/new NewRetryPause=0 NewRetries=1" +
                " OldHostName=127.0.0.1 OldPort=" + port + " OldUserId=" + server_->User() + " OldPassword=" +
                server_->Password() + " OldStartDir=/old OldRetryPause=0 OldRetries=1 NewURL=http://n OldURL=http://o")
            .code,
        0);
  }

  testing::ProgramResult Program(const std::string& args) {
    return testing::RunProgram(KESTOVA_BINARY, dir_.File("registry.db"), args, dir_.Path().string());
  }

  testing::TempDir dir_;
  std::unique_ptr<FtpServerFixture> server_;
};

TEST_F(RunCommandTest, PublishAndRedirectPrintTheirLogsAndSucceed) {
  const auto publish = Program("run publish");
  EXPECT_EQ(publish.code, 0) << publish.out;
  EXPECT_THAT(publish.out, HasSubstr("Copy to /new/sub/page.html as ASCII"));
  EXPECT_THAT(publish.out, HasSubstr("Finished.\n"));
  EXPECT_EQ(ReadFile(dir_.Path() / "ftp/new/data.bin"), std::string(5000, '\x01'));

  // The modern method for this run alone: named in the log, not stored.
  const auto redirect = Program("run redirect --method modern");
  EXPECT_EQ(redirect.code, 0) << redirect.out;
  EXPECT_THAT(redirect.out, HasSubstr("Connecting to 127.0.0.1\nTransfer method: modern ("));
  EXPECT_THAT(publish.out, ::testing::Not(HasSubstr("Transfer method")));
  EXPECT_THAT(Program("profile show").out, HasSubstr("\nOldMethod=0\n"));
  EXPECT_EQ(ReadFile(dir_.Path() / "ftp/old/sub/page.html"), "<a href=\"http://n/sub/page.html\">Page</a>\n");
  EXPECT_EQ(ReadFile(dir_.Path() / "ftp/old/data.bin"), std::string(5000, '\x01'));
  EXPECT_THAT(redirect.all(), ::testing::Not(HasSubstr(server_->Password())));
}

// The old site fetched into a folder of its own: a test run lists and
// makes nothing, the fetch brings the tree and says so in the summary, and
// --into belongs to fetch alone.
TEST_F(RunCommandTest, FetchBringsTheOldSiteIntoTheFolderItNames) {
  const fs::path into = dir_.Path() / "fetched";
  const auto test = Program("run fetch --test --into " + into.string());
  EXPECT_EQ(test.code, 0) << test.all();
  EXPECT_THAT(test.out, HasSubstr("## Test: Fetch /old/sub/page.html to " + (into / "sub/page.html").string()));
  EXPECT_THAT(test.out, HasSubstr("Would fetch 3 files (4.9 KiB), make 2 folders; 0 files unchanged\n"));
  EXPECT_FALSE(fs::exists(into));
  const auto fetch = Program("run fetch --into " + into.string());
  EXPECT_EQ(fetch.code, 0) << fetch.all();
  EXPECT_EQ(testing::Tree(into), testing::Tree(dir_.Path() / "ftp/old"));
  EXPECT_THAT(fetch.err, HasSubstr("3 files checked, 3 fetched, 0 skipped as unchanged, 0 failed; 4.9 KiB (5040 bytes) "
                                   "received in "));
  const auto misplaced = Program("run publish --into " + into.string());
  EXPECT_EQ(misplaced.code, 3);
  EXPECT_THAT(misplaced.err, HasSubstr("--into is for fetch"));
}

TEST_F(RunCommandTest, AWipeNeedsYesWithoutATerminal) {
  ASSERT_EQ(Program("profile set NewWipe=1").code, 0);
  std::ofstream(dir_.Path() / "ftp/new/keep.txt") << "keep";
  const auto refused = Program("run publish");
  EXPECT_EQ(refused.code, 3);
  EXPECT_THAT(refused.err, HasSubstr("add --yes"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "ftp/new/keep.txt"));
  // A test run deletes nothing, so it asks nothing; --test leaves the
  // profile as it is. (It changes into every folder, so they must exist.)
  fs::create_directories(dir_.Path() / "ftp/new/sub");
  const auto test = Program("run publish --test");
  EXPECT_EQ(test.code, 0) << test.out;
  EXPECT_THAT(test.out, HasSubstr("**** THIS IS A TEST RUN -- NO WRITING OR ***"));
  EXPECT_THAT(test.out, HasSubstr("## Test: Delete File keep.txt"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "ftp/new/keep.txt"));
  EXPECT_THAT(Program("profile show").out, HasSubstr("TestRun=0"));
  const auto confirmed = Program("run publish --yes");
  EXPECT_EQ(confirmed.code, 0) << confirmed.out;
  EXPECT_FALSE(fs::exists(dir_.Path() / "ftp/new/keep.txt"));
}

// Removals from the command line: past the limit they need --yes without
// a terminal; --exclude keeps a name for one run, and the patterns stored
// in the profile show on one line.
TEST_F(RunCommandTest, RemovalsPastTheLimitNeedYesAndExcludeKeepsANameForOneRun) {
  ASSERT_EQ(Program("profile set NewDelete=1 NewMaxDelete=1 Exclude=\"$(printf '*.psd\\ndrafts/')\"").code, 0);
  EXPECT_THAT(Program("profile show").out, HasSubstr("\nExclude=*.psd\\ndrafts/\n"));
  ASSERT_EQ(Program("profile set Exclude='*.psd'").code, 0);
  for (const char* gone : {"old.htm", "older.htm", "keep.psd", "notes.txt"}) {
    std::ofstream(dir_.Path() / "ftp/new" / gone) << "gone";
  }
  const auto refused = Program("run publish --exclude notes.txt");
  EXPECT_EQ(refused.code, 1) << refused.out;
  EXPECT_THAT(refused.out, HasSubstr("This run would remove 2 files and 0 folders that are no longer in the local "
                                     "folder, more than the limit of 1:\n    /new/old.htm\n    /new/older.htm\n"));
  EXPECT_THAT(refused.err, HasSubstr("Nothing was removed: past the limit a removal needs a yes"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "ftp/new/old.htm"));
  const auto confirmed = Program("run publish --yes --exclude notes.txt");
  EXPECT_EQ(confirmed.code, 0) << confirmed.out;
  EXPECT_FALSE(fs::exists(dir_.Path() / "ftp/new/old.htm"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "ftp/new/keep.psd"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "ftp/new/notes.txt"));
  EXPECT_THAT(confirmed.err, HasSubstr("; 2 files removed"));
}

// Options as other tools take them: --dry-run and -n for --test, a
// mistyped option told in one line with what it likely meant, choice
// fields in words, and a test run's summary saying what it would send.
TEST_F(RunCommandTest, OptionsFollowCommonHabits) {
  for (const char* dry : {"--dry-run", "-n"}) {
    const auto run = Program(std::string("run publish ") + dry);
    EXPECT_EQ(run.code, 0) << run.all();
    EXPECT_THAT(run.out, HasSubstr("**** THIS IS A TEST RUN"));
    EXPECT_THAT(run.err, HasSubstr("; a test run: would send 3 files, 4.9 KiB"));
  }
  const auto typo = Program("run publish --tset");
  EXPECT_EQ(typo.code, 3);
  EXPECT_EQ(typo.err,
            "kestova: Unknown option '--tset'. Did you mean --test? 'kestova run --help' lists the options.\n");
  EXPECT_THAT(Program("run publish --profile").err, HasSubstr("--profile needs a value after it."));
  ASSERT_EQ(Program("profile set NewMethod=Modern NewSecurity=explicit OldSecurity=implicit").code, 0);
  const auto shown = Program("profile show").out;
  EXPECT_THAT(shown, HasSubstr("\nNewMethod=1\n"));
  EXPECT_THAT(shown, HasSubstr("\nNewSecurity=1\n"));
  EXPECT_THAT(shown, HasSubstr("\nOldSecurity=2\n"));
}

TEST_F(RunCommandTest, ExitCodesTellWhatHappened) {
  EXPECT_EQ(Program("run").code, 3);
  EXPECT_EQ(Program("run publish --profile nobody").code, 3);
  EXPECT_EQ(Program("run publish extra").code, 3);
  const auto method = Program("run publish --method fast");
  EXPECT_EQ(method.code, 3);
  EXPECT_THAT(method.err, HasSubstr("--method takes classic or modern, not 'fast'"));
  for (const char* count : {"9", "0", "two"}) {
    const auto connections = Program(std::string("run publish --connections ") + count);
    EXPECT_EQ(connections.code, 3) << count;
    EXPECT_THAT(connections.err,
                HasSubstr(std::string("--connections takes a number from 1 to 8, not '") + count + "'"));
  }
  const auto stored = Program("profile set NewConnections=9");
  EXPECT_EQ(stored.code, 3);
  EXPECT_THAT(stored.err, HasSubstr("NewConnections takes a number of connections from 1 to 8, not '9'"));
  ASSERT_EQ(Program("profile set NewPassword=wrong").code, 0);
  // Every failed run says why in one line on standard error, --quiet too.
  const auto refused = Program("run publish --quiet");
  EXPECT_EQ(refused.code, 2) << refused.out;
  EXPECT_THAT(refused.out, HasSubstr("Reason: 530 "));
  EXPECT_THAT(refused.out, HasSubstr("The server refused the login."));
  EXPECT_THAT(refused.err, ::testing::MatchesRegex("kestova: Could not connect to 127.0.0.1: 530 [^\n]*\n"));
  ASSERT_EQ(Program("profile set RootSource=" + dir_.File("nowhere")).code, 0);
  const auto no_folder = Program("run publish");
  EXPECT_EQ(no_folder.code, 3) << no_folder.out;
  EXPECT_THAT(no_folder.err, HasSubstr("kestova: Cannot read the local folder " + dir_.File("nowhere")));
  EXPECT_THAT(no_folder.all(), ::testing::Not(HasSubstr("Connecting to")));
  ASSERT_EQ(Program("profile set RootSource=" + (dir_.Path() / "site").string()).code, 0);
  ASSERT_EQ(Program("profile set NewPassword=" + server_->Password() + " NewStartDir=/missing/deeper").code, 0);
  const auto failed = Program("run publish --quiet");
  EXPECT_EQ(failed.code, 1) << failed.out;
  EXPECT_THAT(failed.out, HasSubstr("Terminated before completion."));
  EXPECT_THAT(failed.err, ::testing::MatchesRegex("kestova: The run did not finish: 550 [^\n]*\n"));
}

TEST_F(RunCommandTest, PasswordsAppearNowhereInClear) {
  // Runs with a password the server accepts and one it refuses; neither may
  // show in the output or sit in the store file as typed.
  const auto publish = Program("run publish");
  ASSERT_EQ(publish.code, 0) << publish.out;
  EXPECT_EQ(publish.all().find(server_->Password()), std::string::npos);
  ASSERT_EQ(Program("profile set NewPassword=Wr0ng-Secret-77").code, 0);
  const auto refused = Program("run publish");
  EXPECT_EQ(refused.all().find("Wr0ng-Secret-77"), std::string::npos) << refused.all();
  const auto shown = Program("profile show");
  EXPECT_EQ(shown.all().find("Wr0ng-Secret-77"), std::string::npos);
  EXPECT_THAT(shown.out, HasSubstr("NewPassword=********"));
  for (const char* suffix : {"", "-wal"}) {
    const std::string bytes = ReadFile(dir_.File("registry.db") + suffix);
    EXPECT_EQ(bytes.find("Wr0ng-Secret-77"), std::string::npos) << suffix;
    EXPECT_EQ(bytes.find(server_->Password()), std::string::npos) << suffix;
  }
  struct stat info {};
  ASSERT_EQ(::stat(dir_.File("registry.db").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// The log on standard output, in --log's file and in the saved copy, all the
// same; the summary on standard error; old saved logs pruned to 100.
TEST_F(RunCommandTest, TheLogIsSavedAndTheSummaryGoesToStandardError) {
  // A state folder of this test alone, for the program it starts.
  const std::string state = std::getenv("XDG_STATE_HOME");
  ::setenv("XDG_STATE_HOME", dir_.File("state").c_str(), 1);
  const std::unique_ptr<const char, void (*)(const char*)> restore(
      state.c_str(), [](const char* value) { ::setenv("XDG_STATE_HOME", value, 1); });
  const fs::path logs = dir_.Path() / "state" / "kestova" / "logs";
  fs::create_directories(logs);
  fs::permissions(logs, fs::perms::all);  // too open: made private again
  const std::time_t long_ago = std::time(nullptr) - 100000;
  for (int i = 0; i < 120; ++i) {
    const fs::path old = logs / ("old" + std::to_string(i) + ".log");
    std::ofstream(old) << i;
    const utimbuf times{long_ago + i, long_ago + i};
    ::utime(old.c_str(), &times);
  }
  const auto publish = Program("run publish --log " + dir_.File("copy.log"));
  ASSERT_EQ(publish.code, 0) << publish.all();
  EXPECT_EQ(ReadFile(dir_.File("copy.log")), publish.out);
  EXPECT_EQ(publish.err,
            "Summary: 3 files checked, 3 sent, 0 skipped as unchanged, 0 failed; 4.9 KiB (5040 bytes) sent in 0:00\n");
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(logs)) names.insert(entry.path().filename().string());
  EXPECT_EQ(names.size(), 100u);
  EXPECT_FALSE(names.count("old20.log")) << "an old log was kept";
  EXPECT_TRUE(names.count("old21.log")) << "a newer log was deleted";
  const auto saved = std::find_if(names.begin(), names.end(),
                                  [](const std::string& name) { return name.rfind("Default_publish_", 0) == 0; });
  ASSERT_NE(saved, names.end());
  EXPECT_EQ(ReadFile(logs / *saved), publish.out);
  EXPECT_EQ(fs::status(logs / *saved).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(logs).permissions() & fs::perms::all, fs::perms::owner_all);

  const auto quiet = Program("run publish --quiet");
  EXPECT_EQ(quiet.code, 0);
  EXPECT_EQ(quiet.err, "");
  const auto unwritable = Program("run publish --log " + dir_.File("no/such/folder.log"));
  EXPECT_EQ(unwritable.code, 3);
  EXPECT_THAT(unwritable.err, HasSubstr("kestova: Cannot write the log file "));
  EXPECT_EQ(unwritable.out, "") << "the run started without its log file";

  // A disk that fills up (here a file size limit of 40 KiB, above what the
  // profile store needs) cuts the saved copy: said once, and the run goes on.
  fs::remove_all(logs);
  for (int i = 0; i < 600; ++i) std::ofstream(dir_.Path() / "site" / ("page" + std::to_string(i) + ".htm")) << i;
  const auto full = testing::RunProgram(
      "/bin/bash", dir_.File("registry.db"),
      std::string("-c 'trap \"\" XFSZ; ulimit -f 40; exec ") + KESTOVA_BINARY + " run publish --test --quiet'",
      dir_.Path().string());
  EXPECT_EQ(full.code, 0) << full.err;
  EXPECT_THAT(full.out, HasSubstr("Finished."));
  EXPECT_EQ(std::count(full.err.begin(), full.err.end(), '\n'), 1) << full.err;
  EXPECT_THAT(full.err, ::testing::MatchesRegex("kestova: The saved log .*Default_publish_.* is incomplete: File too "
                                                "large; the run goes on.\n"));

  // Another user's log folder is not written into.
  fs::remove_all(logs);
  fs::create_directories(logs);
  ASSERT_EQ(::chown(logs.c_str(), 65534, 65534), 0);
  const auto foreign = Program("run publish --test");
  EXPECT_EQ(foreign.code, 0);
  EXPECT_THAT(foreign.err, HasSubstr("This run's log is not saved: the folder " + logs.string() +
                                     " belongs to another user (uid 65534)"));
  EXPECT_TRUE(fs::is_empty(logs)) << "a log was written there";
}

// Progress is drawn on standard error only when it is a terminal.
TEST_F(RunCommandTest, ProgressShowsOnATerminalOnly) {
  for (int i = 0; i < 5; ++i) std::ofstream(dir_.Path() / "site" / ("extra" + std::to_string(i) + ".txt")) << i;
  int terminal = -1;
  int screen = -1;
  ASSERT_EQ(::openpty(&terminal, &screen, nullptr, nullptr, nullptr), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(screen, STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::close(terminal);
    ::setenv("KESTOVA_REGISTRY", dir_.File("registry.db").c_str(), 1);
    ::execl(KESTOVA_BINARY, KESTOVA_BINARY, "run", "publish", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(screen);
  std::string shown;
  char buffer[4096];
  // The terminal ends (EIO) when the program has closed its side.
  for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;)
    shown.append(buffer, static_cast<size_t>(got));
  ::close(terminal);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << shown;
  EXPECT_THAT(shown, HasSubstr("\r0%  0 of 8 files, 0 bytes of 4.9 KiB sent\x1b[K"));
  EXPECT_THAT(shown, HasSubstr("\r\x1b[KSummary: 8 files checked, 8 sent, "));
  // Without a terminal, the same run shows the summary alone.
  const auto piped = Program("run publish");
  EXPECT_EQ(piped.code, 0);
  EXPECT_THAT(piped.err, ::testing::StartsWith("Summary: 8 files checked, 8 sent, "));
  EXPECT_EQ(piped.err.find('\r'), std::string::npos);
}

// On a terminal, a wipe asks once it has counted what would go; "n" keeps
// everything and ends the run (exit 1: the run was stopped, the command
// was right).
TEST_F(RunCommandTest, AWipeOnATerminalAsksWithWhatWouldGo) {
  ASSERT_EQ(Program("profile set NewWipe=1").code, 0);
  std::ofstream(dir_.Path() / "ftp/new/keep.txt") << "keep";
  fs::create_directories(dir_.Path() / "ftp/new/old");
  std::ofstream(dir_.Path() / "ftp/new/old/page.htm") << "old";
  int terminal = -1;
  int screen = -1;
  ASSERT_EQ(::openpty(&terminal, &screen, nullptr, nullptr, nullptr), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(screen, STDIN_FILENO);
    ::dup2(screen, STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::close(terminal);
    ::setenv("KESTOVA_REGISTRY", dir_.File("registry.db").c_str(), 1);
    ::execl(KESTOVA_BINARY, KESTOVA_BINARY, "run", "publish", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(screen);
  std::string shown;
  char buffer[4096];
  bool answered = false;
  for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;) {
    shown.append(buffer, static_cast<size_t>(got));
    if (!answered && shown.find("[y/N] ") != std::string::npos) {
      answered = ::write(terminal, "n\n", 2) == 2;
    }
  }
  ::close(terminal);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(answered) << shown;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << shown;
  EXPECT_THAT(shown, HasSubstr("Host: 127.0.0.1\r\nStart folder: /new\r\n2 files and 1 folder will be deleted"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "ftp/new/keep.txt"));
  EXPECT_TRUE(fs::exists(dir_.Path() / "ftp/new/old/page.htm"));
}

// Runs `kestova run publish` and sends it SIGINT once its log holds
// `marker`; the log, and how the program ended.
struct Interrupted {
  std::string log;
  int status = 0;
  bool sent = false;
  double seconds = 0;
};
Interrupted InterruptWhen(const std::string& store, const std::string& marker) {
  Interrupted result;
  int out[2];
  if (::pipe(out) != 0) return result;
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::setenv("KESTOVA_REGISTRY", store.c_str(), 1);
    ::execl(KESTOVA_BINARY, KESTOVA_BINARY, "run", "publish", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  const auto start = std::chrono::steady_clock::now();
  char buffer[4096];
  for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    result.log.append(buffer, static_cast<size_t>(got));
    if (!result.sent && result.log.find(marker) != std::string::npos) {
      ::kill(child, SIGINT);
      result.sent = true;
    }
  }
  ::close(out[0]);
  ::waitpid(child, &result.status, 0);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

// Ctrl+C while the server says nothing ends the wait at once and says that
// the user stopped it, not that the server timed out, and nothing is retried.
TEST_F(RunCommandTest, CtrlCWhileTheServerIsSilentEndsTheWaitAtOnce) {
  testing::RawListener silent;  // takes the connection, never greets
  ASSERT_EQ(Program("profile set NewPort=" + silent.Port() + " NewRetries=3").code, 0);
  const Interrupted run = InterruptWhen(dir_.File("registry.db"), "Connecting to");
  ASSERT_TRUE(run.sent) << run.log;
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 1) << run.log;
  EXPECT_LT(run.seconds, 10.0) << "the stop waited for the timeout:\n" << run.log;
  EXPECT_EQ(run.log, "Connecting to 127.0.0.1\nReason: 426 Stopped by the user\nTerminated before completion.\n");
}

TEST_F(RunCommandTest, CtrlCEndsTheRunAfterTheCurrentCommand) {
  for (int i = 0; i < 40; ++i) std::ofstream(dir_.Path() / "site" / ("extra" + std::to_string(i) + ".txt")) << i;
  const Interrupted run = InterruptWhen(dir_.File("registry.db"), "Copy to");
  ASSERT_TRUE(run.sent) << run.log;
  ASSERT_TRUE(WIFEXITED(run.status)) << "the first Ctrl+C must not kill the program";
  EXPECT_EQ(WEXITSTATUS(run.status), 1) << run.log;
  EXPECT_THAT(run.log, HasSubstr("Terminated before completion.\n"));
  const size_t copies = static_cast<size_t>(std::count(run.log.begin(), run.log.end(), '\n'));
  EXPECT_LT(copies, 40u) << "the run went on after Ctrl+C:\n" << run.log;
}

}  // namespace
}  // namespace kestova

// The executor's retries, pauses and the too-many-connections step-up
// against a fake connection, and what it does on a real session against the
// scripted server. Pauses are recorded, not slept.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/upload.h"
#include "support/fake_profile.h"
#include "support/fake_site_connection.h"
#include "support/memory_site.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

#include <fstream>

namespace kestova {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using testing::FakeProfile;
using testing::FakeSiteConnection;
using ::testing::Not;
using testing::ScriptedFtpServer;
using testing::ScriptedSession;
using testing::TestRun;

class RecordingUpload : public Upload {
 public:
  using Upload::Upload;
  std::vector<int> waits;
  std::function<void()> on_pause;
  void PauseSeconds(int n) override {
    waits.push_back(n);
    if (on_pause) on_pause();
  }
};

class ExecutorTest : public ::testing::Test {
 protected:
  RecordingUpload& Run(int retries, int pause, bool ramped) {
    run_.timeout_seconds = 1;
    run_.settings.StartDir.clear();
    run_.settings.Retries = retries;
    run_.settings.RetryPause = pause;
    run_.settings.Ramped = ramped;
    RecordingUpload& run = run_.Make<RecordingUpload>();
    run.StartRunState();
    return run;
  }
  // NLST answers with these names (the reference for the name column).
  void AnswerNamesWith(const std::string& names) {
    server_.On("NLST", [names](ScriptedSession& s, const std::string&) {
      s.Reply("150 Names");
      s.OpenData();
      s.SendData(names);
      s.CloseData();
      s.Reply("226 Done");
    });
  }
  int Count(const std::string& prefix) const { return run_.Count(prefix); }

  ScriptedFtpServer server_;
  TestRun run_{server_.Port()};
  FakeProfile& profile_ = run_.profile;
  std::vector<std::string>& log_ = run_.log;
  FtpClient& client_ = run_.client;
};

// ---- Retries, against a fake connection: no server, no waiting

class RetryTest : public ::testing::Test {
 protected:
  RecordingUpload& Run(int retries, int pause, bool ramped) {
    RunSettings settings;
    settings.Retries = retries;
    settings.RetryPause = pause;
    settings.Ramped = ramped;
    log_.clear();
    site_.calls.clear();
    run_ = std::make_unique<RecordingUpload>(
        settings, profile_, [this](const std::string& l) { log_.push_back(l); }, &site_);
    run_->StartRunState();
    return *run_;
  }
  long Calls(const std::string& call) const { return std::count(site_.calls.begin(), site_.calls.end(), call); }
  int Count(const std::string& prefix) const {
    return static_cast<int>(
        std::count_if(log_.begin(), log_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }

  FakeSiteConnection site_;
  FakeProfile profile_;
  std::vector<std::string> log_;
  std::unique_ptr<RecordingUpload> run_;
};

TEST_F(RetryTest, NoRetriesMeansOneAttemptAndNoRetryLine) {
  site_.answers[FakeSiteConnection::Operation::Cwd] = {"550 No such directory"};
  RecordingUpload& run = Run(0, 10, false);
  run.Next().folder = "/missing";
  EXPECT_FALSE(run.ExecuteCommand("/missing", "cwd", false));
  EXPECT_THAT(log_, ElementsAre("Connecting to ftp.test for cwd", "Reason: 550 No such directory",
                                "Connection retries all failed."));
  EXPECT_TRUE(run.waits.empty());
}

TEST_F(RetryTest, RetriesWaitTheirPauseFlatOrRamped) {
  site_.answers[FakeSiteConnection::Operation::Cwd] = {"550 No such directory"};
  for (const bool ramped : {false, true}) {
    RecordingUpload& run = Run(3, 10, ramped);
    EXPECT_FALSE(run.ExecuteCommand("/missing", "cwd", false));
    const std::vector<int> expected = ramped ? std::vector<int>{10, 20, 40} : std::vector<int>{10, 10, 10};
    EXPECT_EQ(run.waits, expected);
    EXPECT_EQ(Count("Connect Failed. Retrying [Pause "), 3);
    EXPECT_EQ(Count("Reason: 550 No such directory"), 4) << "one before each retry line and one at the end";
    EXPECT_THAT(
        log_, Contains(ramped ? "Connect Failed. Retrying [Pause 40s]..." : "Connect Failed. Retrying [Pause 10s]..."));
    EXPECT_EQ(log_.back(), "Connection retries all failed.");
  }
}

TEST_F(RetryTest, TheRetryBudgetIsClampedAndOddPausesAreBounded) {
  site_.answers[FakeSiteConnection::Operation::Dele] = {"550 Busy"};
  const struct {
    int retries, pause;
    long attempts;
    int first_wait;
  } cases[] = {{50, 0, 21, 0}, {-1, 0, 1, -1}, {1, -7, 2, 3}, {1, 900, 2, 600}};
  for (const auto& c : cases) {
    RecordingUpload& run = Run(c.retries, c.pause, false);
    run.Next().file = "x";
    EXPECT_FALSE(run.ExecuteCommand("", "Dele", false));
    EXPECT_EQ(Calls("Dele x"), c.attempts) << "retries " << c.retries;
    if (c.first_wait >= 0) {
      ASSERT_FALSE(run.waits.empty());
      EXPECT_EQ(run.waits.front(), c.first_wait);
      EXPECT_THAT(log_, Contains("Connect Failed. Retrying [Pause " + std::to_string(c.pause) + "s]..."));
    }
  }
}

TEST_F(RetryTest, IgnoredFailuresAreNotRetriedButConnectionsStillCount) {
  site_.answers[FakeSiteConnection::Operation::Mkd] = {"550 Exists"};
  RecordingUpload& run = Run(5, 0, false);
  run.Next().file = "dir";
  EXPECT_TRUE(run.ExecuteCommand("", "mkd", true));
  EXPECT_TRUE(run.ExecuteCommand("", "", true));
  EXPECT_TRUE(run.ExecuteCommand("", "no such label", false));
  EXPECT_EQ(Calls("Mkd dir"), 1);
  EXPECT_THAT(log_, Not(Contains("Connection retries all failed.")));
}

TEST_F(RetryTest, TooManyConnectionsStepsThePauseUpWithoutWaiting) {
  const std::string busy = "421 Too many connections from the same IP address.";
  site_.logins = {busy, busy, busy, ""};
  RecordingUpload& run = Run(10, 0, false);
  EXPECT_TRUE(run.ExecuteCommand("/www", "cwd", false));
  EXPECT_THAT(log_, ElementsAre("Connecting to ftp.test for cwd", "Reason: " + busy + " (ftp.test port 21)",
                                "Connect Failed. Retrying [Pause 0s]...", "Connecting to ftp.test for cwd",
                                "Too many connections. Stepping up pause to 30", "Connecting to ftp.test for cwd",
                                "Too many connections. Stepping up pause to 120", "Connecting to ftp.test for cwd"));
  EXPECT_EQ(run.waits, (std::vector<int>{0}));
  EXPECT_EQ(Calls("Connect"), 4);
  EXPECT_EQ(Calls("Cwd /www"), 2) << "back into the caller's folder, then the command";
}

TEST_F(RetryTest, ARefusedLoginIsNeverRetriedUnlessTheServerIsOnlyBusy) {
  // Retrying a wrong password can lock the account: one attempt, the
  // server's reason, and nothing more is sent.
  site_.logins = {"530 Login incorrect."};
  RecordingUpload& run = Run(3, 0, false);
  EXPECT_FALSE(run.ExecuteCommand("", "", true));
  EXPECT_THAT(log_, ElementsAre("Connecting to ftp.test", "Reason: 530 Login incorrect. (ftp.test port 21)",
                                "The server refused the login. Check the user id and password; Kestova does not "
                                "try again, so that the account is not locked."));
  EXPECT_TRUE(run.Terminated());
  EXPECT_FALSE(run.ExecuteCommand("/www", "cwd", false));
  EXPECT_THAT(site_.calls, ElementsAre("Connect", "Drop"));

  // A 530 that says the server is busy is retried, and the refused session
  // is not taken for a connection: the retry logs in again.
  site_.logins = {"530 Too many users, try again later."};
  RecordingUpload& busy = Run(1, 0, false);
  EXPECT_FALSE(busy.ExecuteCommand("", "", true));
  EXPECT_THAT(
      log_,
      ElementsAre("Connecting to ftp.test", "Reason: 530 Too many users, try again later. (ftp.test port 21)",
                  "Connect Failed. Retrying [Pause 0s]...", "Connecting to ftp.test",
                  "Reason: 530 Too many users, try again later. (ftp.test port 21)", "Connection retries all failed."));
  EXPECT_THAT(site_.calls, ElementsAre("Connect", "Quit", "Connect", "Quit"));
}

TEST_F(RetryTest, EscDuringARetryPauseEndsTheRunWithItsClosingLine) {
  site_.logins = {"421 Service not available, closing control connection."};
  testing::TempDir local;
  RecordingUpload& run = Run(5, 30, false);
  run.Settings().LocalRoot = local.Path().string();
  run.on_pause = [&run] { run.Terminate(); };  // Esc while it waits
  EXPECT_EQ(run.StartUpload(), RunOutcome::Terminated);
  EXPECT_EQ(run.waits, (std::vector<int>{30}));
  EXPECT_EQ(log_.back(), "Terminated before completion.");
  EXPECT_EQ(Count("Connection retries all failed."), 0);
}

// ---- Against the scripted server

TEST_F(ExecutorTest, ADroppedConnectionIsReopenedInTheCallersDirectory) {
  bool dropped = false;
  server_.On("MKD", [&](ScriptedSession& s, const std::string&) {
    if (dropped) return s.Reply("550 sub: File exists");
    dropped = true;
    s.Drop();
  });
  RecordingUpload& run = Run(2, 0, false);
  run.Next().folder = "/www";
  ASSERT_TRUE(run.ExecuteCommand("/www", "cwd", false));
  run.Next().file = "sub";
  // A failure may be ignored once the server has answered; a session lost
  // on the way sends the command again, on a new session, where the
  // server's refusal is ignored.
  EXPECT_TRUE(run.ExecuteCommand("/www", "mkd", true));
  ASSERT_TRUE(dropped);
  run.Next().file = "page.htm";
  EXPECT_TRUE(run.ExecuteCommand("/www", "dele", false));
  EXPECT_EQ(run.Next().file, "page.htm");
  // Connecting for a caller re-enters its directory before the command.
  EXPECT_THAT(server_.Commands(), ElementsAre("USER user", "PASS pw", "CWD /www", "CWD /www", "MKD sub", "USER user",
                                              "PASS pw", "CWD /www", "MKD sub", "DELE page.htm"));
  EXPECT_EQ(Count("Connecting to 127.0.0.1 for mkd"), 1);
}

TEST_F(ExecutorTest, AListingDateThatCannotBeReadStopsTheRunWithALine) {
  testing::TempDir dir;
  std::ofstream(dir.File("index.htm")) << "<title>x</title>";
  // A listing without a group column: no month is found, no year either.
  server_.SetListing("-rw-r--r-- 1 web 1024 Jan 12 10:30 index.htm\r\n");
  AnswerNamesWith("index.htm\r\n");
  profile_.new_changes = true;
  RecordingUpload& run = Run(0, 0, false);
  run.Settings().StartDir = "/www";
  run.Settings().LocalRoot = dir.Path().string();
  EXPECT_EQ(run.StartUpload(), RunOutcome::Failed);
  EXPECT_EQ(log_.back(),
            "Cannot read the date of the listing line '-rw-r--r-- 1 web 1024 Jan 12 10:30 index.htm' (no valid date in "
            "fields '12', '10:30', 'index.htm'); the run stops here.");
  EXPECT_THAT(log_, Not(Contains("Finished.")));
  EXPECT_THAT(server_.Words(), Not(Contains("STOR")));
}

// A listing that breaks off is not read: its last line may be cut anywhere,
// even into the line of another file.
TEST_F(ExecutorTest, AListingThatBreaksOffCountsTheFileAsNew) {
  testing::TempDir dir;
  std::ofstream(dir.File("a.htm")) << "<title>x</title>";  // 16 bytes, like the server's a.html
  const std::string line = "-rw-r--r-- 1 web web 16 Jan 01 2030 a.html";
  int lists = 0;
  server_.On("LIST", [&](ScriptedSession& s, const std::string&) {
    s.Reply("150 Here comes the listing");
    s.OpenData();
    if (lists++ == 0) {
      s.SendData(line.substr(0, line.size() - 1));  // "... a.htm"
      s.CloseData();
      s.Reply("426 Connection closed; transfer aborted.");
      return;
    }
    s.SendData(line + "\r\n");
    s.CloseData();
    s.Reply("226 Done");
  });
  AnswerNamesWith("a.html\r\n");
  profile_.new_changes = true;
  RecordingUpload& run = Run(0, 0, false);
  run.Settings().StartDir = "/www";
  run.Settings().LocalRoot = dir.Path().string();
  EXPECT_EQ(run.StartUpload(), RunOutcome::Finished);
  EXPECT_THAT(log_, Contains("** New file: a.htm"));
  EXPECT_THAT(server_.Commands(), Contains("STOR a.htm"));
}

// ---- Against a site in memory

// A server copy newer than the local file is sent again when its listed
// size shows it is not the file: exactly for binary files, beyond what line
// end changes explain for text files.
TEST(SiteInMemoryTest, ANewerServerCopyOfAnotherSizeIsSentAgain) {
  testing::TempDir dir;
  std::ofstream(dir.File("crlf.htm"), std::ios::binary) << "a\r\nb\r\n";  // 6 bytes, 2 CR, 2 LF
  std::ofstream(dir.File("lf.txt"), std::ios::binary) << "a\nb\nc\n";     // 6 bytes, 3 LF
  std::ofstream(dir.File("cut.txt"), std::ios::binary) << "a\nb\nc\n";
  std::ofstream(dir.File("same.gif"), std::ios::binary) << std::string(100, '\x01');
  std::ofstream(dir.File("cut.gif"), std::ios::binary) << std::string(100, '\x01');
  // Stored with LF only, stored with CR LF, cut short, and binary as sent or
  // cut; all listed as made in 2030.
  testing::MemorySite site;
  const std::time_t later = 1893456000;
  site.AddFile("/www/crlf.htm", "a\nb\n", later);
  site.AddFile("/www/lf.txt", "a\r\nb\r\nc\r\n", later);
  site.AddFile("/www/cut.txt", "a\n", later);
  site.AddFile("/www/same.gif", std::string(100, '\x01'), later);
  site.AddFile("/www/cut.gif", std::string(99, '\x01'), later);
  TestRun test(site);
  test.profile.new_changes = true;
  test.settings.LocalRoot = dir.Path().string();
  test.settings.AutoDetect = true;
  ASSERT_EQ(test.Start(), RunOutcome::Finished) << test.Text();
  const std::vector<std::string>& log = test.log;
  EXPECT_THAT(log, Contains("File crlf.htm - no date change"));
  EXPECT_THAT(log, Contains("File lf.txt - no date change"));
  EXPECT_THAT(log, Contains("File same.gif - no date change"));
  EXPECT_THAT(log, Contains("File cut.txt - size differs (2 bytes listed, 6 here)"));
  EXPECT_THAT(log, Contains("File cut.gif - size differs (99 bytes listed, 100 here)"));
  EXPECT_EQ(test.Count("Write File"), 2);
  EXPECT_THAT(site.calls, Contains("Dele cut.txt"));
  EXPECT_EQ(site.Data("/www/cut.gif"), std::string(100, '\x01'));
  EXPECT_EQ(site.Data("/www/lf.txt"), "a\r\nb\r\nc\r\n");
}

TEST(SiteInMemoryTest, TransferTypesFollowTheExtensionList) {
  testing::MemorySite site;
  TestRun test(site);
  test.settings.AutoDetect = true;
  Upload& run = test.Make();
  run.StartRunState();
  for (const char* name : {"/site/index.HTM", "/site/logo.gif", "/site/README", "/site/style.css"})
    run.SetTransferType(name);
  test.profile.exts = "htm,,gif";  // an empty item sends files without an extension as text
  run.StartRunState();
  run.SetTransferType("/site/README");
  run.Settings().AutoDetect = false;
  run.Settings().BinaryMode = false;
  run.SetTransferType("/site/logo.gif");
  EXPECT_THAT(site.calls,
              ElementsAre("Connect", "TypeAscii", "TypeBinary", "TypeBinary", "TypeAscii", "TypeAscii", "TypeAscii"));
}

}  // namespace
}  // namespace kestova

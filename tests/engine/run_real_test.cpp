// Whole runs against real servers (pyftpdlib, vsftpd and proftpd), plain and
// over TLS: publish in each write mode, test runs, redirection pages, and a
// server that goes away. The local tree is checked before and after every
// run: a run only reads it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <QTimer>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/redirect_page.h"
#include "engine/run_tally.h"
#include "engine/upload.h"
#include "ftp/ftp_site_connection.h"
#include "net/dns_lookup.h"
#include "support/failing_stream.h"
#include "support/fake_profile.h"
#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using testing::FtpServerFixture;
using testing::ServerTls;
using Kind = FtpServerFixture::Kind;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::ReadFile;
using testing::Tree;
using testing::WriteFile;

// Contents and modification times: what a run must never change locally.
std::string Fingerprint(const fs::path& root) {
  std::string print;
  for (const auto& [name, bytes] : Tree(root)) {
    struct stat info {};
    ::stat((root / name).c_str(), &info);
    print += name + ":" + std::to_string(std::hash<std::string>{}(bytes)) + ":" + std::to_string(info.st_mtime) + "\n";
  }
  return print;
}

// The profile the runs read: a bakery moving from old.example to new.example.
testing::FakeProfile BakeryProfile() {
  testing::FakeProfile view;
  view.new_url = "http://new.example";
  view.old_url = "http://old.example";
  view.name = "Bakery";
  view.lines = {"<html><head><title><<title>></title>",
                "<meta http-equiv=\"refresh\" content=\"0; url=<<newurl>>\"></head>",
                "<body><a href=\"<<newurl>>\">moved</a> from <<oldurl>> (<<oldhome>> to "
                "<<newhome>>, <<profile>>)</body></html>"};
  return view;
}

struct Server {
  Kind kind;
  ServerTls tls = ServerTls::None;
  bool passive = true;
  TransferMethod method = TransferMethod::Classic;
};

void PrintTo(const Server& server, std::ostream* out) {
  *out << FtpServerFixture::Name(server.kind) << (server.tls == ServerTls::None ? "" : " over TLS")
       << (server.passive ? "" : ", active") << (server.method == TransferMethod::Modern ? ", modern" : "");
}

class RunTest : public ::testing::TestWithParam<Server> {
 protected:
  void SetUp() override {
    std::string why;
    testing::FtpServerOptions options;
    options.tls = GetParam().tls;
    options.protocol_log = dir_.File("commands.log");
    server_ = FtpServerFixture::Start(GetParam().kind, (dir_.Path() / "server").string(), why, options);
    ASSERT_TRUE(server_) << why;
    site_ = testing::ServerSite(*server_, server_->Port(), GetParam().passive, GetParam().method);
    if (GetParam().tls != ServerTls::None) {
      site_.Security = GetParam().tls == ServerTls::Explicit ? FtpSecurity::Explicit : FtpSecurity::Implicit;
      site_.TrustedFingerprint = server_->Certificate()->fingerprint;
    }
    for (FtpClient* client : {&new_client_, &old_client_}) {
      ApplySiteSettings(*client, site_);
      client->Timeout = 10;
    }
    local_ = dir_.Path() / "site";
    std::string binary(3000, '\0');
    for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 31);
    WriteFile(local_ / "index.htm", "<html><head><TITLE>Home</TITLE></head><body>home</body></html>\n");
    WriteFile(local_ / "notes.txt", "plain notes\n");
    WriteFile(local_ / "img" / "logo.gif", binary);
    WriteFile(local_ / "docs" / "faq.html", "<html><head><title>FAQ</title></head></html>\n");
    WriteFile(local_ / "docs" / "deep" / "a b.htm", "<title>Spaced</title>\n");
    WriteFile(local_ / "_vti_cnf" / "index.htm", "frontpage\n");
    // Edited two days ago: an upload made now is newer on the server.
    const std::time_t past = std::time(nullptr) - 2 * 24 * 3600;
    for (const auto& entry : fs::recursive_directory_iterator(local_)) {
      utimbuf times{past, past};
      ::utime(entry.path().c_str(), &times);
    }
    fs::create_directories(Remote("www"));
    server_->Own();
    before_ = Fingerprint(local_);
  }

  void TearDown() override { EXPECT_EQ(Fingerprint(local_), before_) << "a run changed the local folder"; }

  fs::path Remote(const std::string& path) const { return fs::path(server_->Root()) / path; }

  RunSettings Settings(bool redirect = false) {
    RunSettings settings;
    settings.Site = site_;
    settings.SiteURL = redirect ? "http://old.example" : "http://new.example";
    settings.StartDir = "/www";
    settings.LocalRoot = local_.string();
    settings.RedirectJob = redirect;
    settings.RetryPause = 0;
    settings.Retries = 2;
    settings.AutoDetect = true;
    return settings;
  }

  RunOutcome Run(const RunSettings& settings, std::function<void(const std::string&, Upload&)> watch = nullptr) {
    log_.clear();
    events_.clear();
    Upload* running = nullptr;
    FtpSiteConnection site(settings.RedirectJob ? old_client_ : new_client_);
    // The bytes of an upload under way reach a tally as they move: when a
    // file is reported sent, all of it had been counted.
    RunTally tally;
    Upload run(
        settings, view_,
        [&](const std::string& line) {
          log_.push_back(line);
          if (watch) watch(line, *running);
        },
        &site);
    tally.WatchTransfers(run);
    run.OnEvent = [this, &tally](const RunEvent& event) {
      if (event.kind == RunEvent::Kind::FileSent) {
        EXPECT_EQ(tally.in_flight, event.bytes) << event.path;
      }
      tally.Add(event);
      events_.push_back(event);
    };
    running = &run;
    return run.StartUpload();
  }
  // The events of a kind, and the bytes they report.
  std::pair<int, std::int64_t> Events(RunEvent::Kind kind) const {
    std::pair<int, std::int64_t> total{0, 0};
    for (const RunEvent& event : events_) {
      if (event.kind == kind) ++total.first, total.second += event.bytes;
    }
    return total;
  }

  // The stream's shape: RunStarted first with what the walk will reach,
  // RunEnded last, each file reached once before it is sent or judged.
  void ExpectEventStream(std::int64_t files, std::int64_t bytes) const {
    ASSERT_GE(events_.size(), 2u);
    EXPECT_EQ(events_.front().kind, RunEvent::Kind::RunStarted);
    EXPECT_EQ(events_.front().files, files);
    EXPECT_EQ(events_.front().bytes, bytes);
    EXPECT_EQ(events_.back().kind, RunEvent::Kind::RunEnded);
    EXPECT_EQ(Events(RunEvent::Kind::FileChecked).first, files);
    std::string reached;
    for (const RunEvent& event : events_) {
      if (event.kind == RunEvent::Kind::FileChecked) reached = event.path;
      if (event.kind == RunEvent::Kind::FileSent || event.kind == RunEvent::Kind::FileUnchanged) {
        EXPECT_EQ(event.path, reached) << "reported before the walk reached it";
      }
    }
  }

  int Count(const std::string& prefix) const {
    return static_cast<int>(
        std::count_if(log_.begin(), log_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }
  std::string Log() const {
    std::string text = "(last reply: " + new_client_.LastReply + " / " + old_client_.LastReply + ")\n";
    for (const auto& line : log_) text += line + "\n";
    return text;
  }

  testing::TempDir dir_;
  std::unique_ptr<FtpServerFixture> server_;
  SiteSettings site_;
  FtpClient new_client_, old_client_;
  testing::FakeProfile view_ = BakeryProfile();
  fs::path local_;
  std::string before_;
  std::vector<std::string> log_;
  std::vector<RunEvent> events_;
};

std::map<std::string, std::string> Published(std::map<std::string, std::string> local) {
  local.erase("_vti_cnf/index.htm");
  return local;
}

TEST_P(RunTest, OverwriteAllThenWrtChangesFindsNothingToSend) {
  ASSERT_EQ(Run(Settings()), RunOutcome::Finished) << Log();
  EXPECT_EQ(log_.back(), "Finished.");
  // Over TLS one line says so, after the connecting line.
  EXPECT_EQ(Count("Encrypted with TLS 1."), GetParam().tls == ServerTls::None ? 0 : 1) << Log();
  // The modern method names itself once; the classic log is as it was.
  const bool modern = GetParam().method == TransferMethod::Modern;
  EXPECT_EQ(Count("Transfer method: modern ("), modern ? 1 : 0) << Log();
  if (modern) {
    EXPECT_EQ(log_[1].rfind("Transfer method: modern", 0), 0u) << "not the first line after connecting\n" << Log();
  }
  EXPECT_TRUE(Tree(Remote("www")) == Published(Tree(local_))) << "the remote tree differs from the local one";
  EXPECT_FALSE(fs::exists(Remote("www/_vti_cnf")));
  EXPECT_THAT(log_, Contains("Copy to /www/img/logo.gif as Binary"));
  EXPECT_THAT(log_, Contains("Copy to /www/docs/deep/a b.htm as ASCII"));
  // What a window counts comes as events: each file sent with its bytes.
  std::int64_t bytes = 0;
  for (const auto& [name, content] : Published(Tree(local_))) bytes += static_cast<std::int64_t>(content.size());
  EXPECT_EQ(Events(RunEvent::Kind::FileSent), std::make_pair(5, bytes));
  EXPECT_EQ(Events(RunEvent::Kind::FolderEntered).first, 4);  // www, img, docs, docs/deep; _vti_cnf is excluded
  ExpectEventStream(5, bytes);
  EXPECT_EQ(events_.back().path, "Finished.");

  view_.new_changes = true;
  ASSERT_EQ(Run(Settings()), RunOutcome::Finished) << Log();
  EXPECT_EQ(Count("File "), 5) << Log();
  EXPECT_EQ(Events(RunEvent::Kind::FileUnchanged).first, 5);
  EXPECT_EQ(Events(RunEvent::Kind::FileSent).first, 0);
  ExpectEventStream(5, bytes);
  EXPECT_THAT(log_, Contains("File a b.htm - no date change"));
  EXPECT_EQ(Count("Write File"), 0);

  // A file edited after the upload, and a new one, are sent.
  WriteFile(local_ / "notes.txt", "edited notes\n");
  WriteFile(local_ / "docs" / "new.htm", "<title>New</title>\n");
  const std::time_t later = std::time(nullptr) + 3600;
  utimbuf times{later, later};
  ::utime((local_ / "notes.txt").c_str(), &times);
  const size_t commands_before = ReadFile(dir_.File("commands.log")).size();
  ASSERT_EQ(Run(Settings()), RunOutcome::Finished) << Log();
  EXPECT_THAT(log_, Contains("Write File notes.txt"));
  EXPECT_THAT(log_, Contains("** New file: new.htm"));
  EXPECT_EQ(ReadFile(Remote("www/notes.txt")), "edited notes\n");
  // A new file has no copy to delete: nothing but its upload goes for it.
  std::istringstream sent(ReadFile(dir_.File("commands.log")).substr(commands_before));
  int deletes = 0;
  for (std::string line; std::getline(sent, line);) {
    if (line.find("DELE ") == std::string::npos || line.find("~kestova-partial~") != std::string::npos) continue;
    EXPECT_THAT(line, Not(HasSubstr("new.htm")));
    ++deletes;
  }
  EXPECT_EQ(deletes, modern ? 0 : 1) << "the edited file's copy goes first, in the classic method alone";
  before_ = Fingerprint(local_);
}

TEST_P(RunTest, WipeSiteKeepsDotFilesAndTheStartDirectory) {
  WriteFile(Remote("www/old.htm"), "old");
  WriteFile(Remote("www/.htaccess"), "Redirect 301");
  WriteFile(Remote("www/gone/deeper/x.txt"), "x");
  WriteFile(Remote("www/kept/.profile"), "p");
  server_->Own();
  RunSettings settings = Settings();
  settings.WipeFirst = true;
  // An empty (or mistyped) local folder would leave the site empty: refused
  // before anything is sent.
  fs::create_directories(dir_.Path() / "empty" / "sub");
  RunSettings empty = settings;
  empty.LocalRoot = (dir_.Path() / "empty").string();
  ASSERT_EQ(Run(empty), RunOutcome::Refused) << Log();
  EXPECT_THAT(log_, Contains("The local folder " + empty.LocalRoot +
                             " holds no file: Wipe Site would leave the site empty. Nothing was deleted."));
  EXPECT_TRUE(fs::exists(Remote("www/old.htm")));

  ASSERT_EQ(Run(settings), RunOutcome::Finished) << Log();
  EXPECT_FALSE(fs::exists(Remote("www/old.htm")));
  EXPECT_FALSE(fs::exists(Remote("www/gone")));
  // What went is counted: old.htm and x.txt, and the folders gone/deeper and gone.
  RunTally tally;
  for (const RunEvent& event : events_) tally.Add(event);
  EXPECT_EQ(tally.deleted_files, 2);
  EXPECT_EQ(tally.removed_folders, 2);
  EXPECT_THAT(tally.Summary(1), HasSubstr("; 2 files and 2 folders deleted"));
  EXPECT_EQ(ReadFile(Remote("www/.htaccess")), "Redirect 301");
  EXPECT_TRUE(fs::exists(Remote("www/kept/.profile")));
  EXPECT_EQ(Count("## Test:"), 0);
  EXPECT_EQ(Count("--------------------"), 8) << Log();  // www, gone, gone/deeper, kept
  // vsftpd's and proftpd's LIST hide dot-files: they refuse to remove kept/,
  // which is said. pyftpdlib lists them, and so does the MLSD of a modern
  // run: kept/ is then known to hold one and left alone.
  const bool sees_dot_files = GetParam().kind == Kind::Pyftpdlib ||
                              (GetParam().kind == Kind::Proftpd && GetParam().method == TransferMethod::Modern);
  EXPECT_EQ(Count("Kept the folder /www/kept: "), sees_dot_files ? 0 : 1) << Log();
  EXPECT_EQ(ReadFile(Remote("www/index.htm")), ReadFile(local_ / "index.htm"));
}

TEST_P(RunTest, TestRunsWriteNothing) {
  // The first test run, to a host that has none of the site's folders: each
  // mode goes through every local file, sends nothing and retries nothing.
  fs::remove_all(Remote("www"));
  view_.test_run = true;
  for (const int mode : {0, 1, 2}) {
    SCOPED_TRACE(mode == 0 ? "Overwrite All" : mode == 1 ? "Wrt Changes" : "Wipe Site");
    view_.new_changes = mode == 1;
    RunSettings settings = Settings();
    settings.WipeFirst = mode == 2;
    ASSERT_EQ(Run(settings), RunOutcome::Finished) << Log();
    EXPECT_THAT(log_, Contains("## Test: /www is not on the server yet: it counts as empty")) << Log();
    EXPECT_THAT(log_, Contains("## Test: Copy " + (local_ / "docs/deep/a b.htm").string() + " to /www/docs/deep"));
    EXPECT_EQ(Count("## Test: Copy "), 5) << Log();
    EXPECT_EQ(Count("Connect Failed"), 0) << Log();
    EXPECT_FALSE(fs::exists(Remote("www"))) << "a test run made a folder";
  }
  view_.test_run = false;
  view_.new_changes = false;
  ASSERT_EQ(Run(Settings()), RunOutcome::Finished) << Log();
  WriteFile(Remote("www/extra.txt"), "extra");
  server_->Own();
  const auto remote = Tree(Remote("www"));
  view_.test_run = true;
  for (const bool wipe : {false, true}) {
    RunSettings settings = Settings();
    settings.WipeFirst = wipe;
    ASSERT_EQ(Run(settings), RunOutcome::Finished) << Log();
    EXPECT_EQ(log_[0], "**** THIS IS A TEST RUN -- NO WRITING OR ***");
    EXPECT_THAT(log_, Contains("## Test: Make directory /www"));
    EXPECT_THAT(log_, Contains("## Test: Copy " + (local_ / "index.htm").string() + " to /www"));
    if (wipe) {
      EXPECT_THAT(log_, Contains("## Test: Delete File extra.txt"));
      EXPECT_THAT(log_, Contains("## Test: Remove Dir img"));
    } else {
      EXPECT_THAT(log_, Contains("## Test: Delete of index.htm"));
    }
    EXPECT_EQ(Events(RunEvent::Kind::FileSent).first, 0) << "a test run reported a file sent";
    ExpectEventStream(5, events_.front().bytes);
  }
  view_.new_changes = true;
  ASSERT_EQ(Run(Settings()), RunOutcome::Finished) << Log();
  EXPECT_TRUE(Tree(Remote("www")) == remote) << "a test run changed the server";
}

TEST_P(RunTest, RedirectionPagesReplaceOnlyThePages) {
  fs::create_directories(Remote("old"));
  for (const auto& [name, bytes] : Tree(local_)) WriteFile(Remote("old") / name, bytes);
  server_->Own();
  RunSettings settings = Settings(true);
  settings.StartDir = "old";  // relative: resolved through PWD
  ASSERT_EQ(Run(settings), RunOutcome::Finished) << Log();
  EXPECT_EQ(ReadFile(Remote("old/notes.txt")), "plain notes\n");
  EXPECT_EQ(ReadFile(Remote("old/img/logo.gif")), ReadFile(local_ / "img/logo.gif"));
  PlaceholderValues faq;
  faq.newurl = "http://new.example/docs/faq.html";
  faq.oldurl = "http://old.example/docs/faq.html";
  faq.title = "FAQ";
  faq.profile = "Bakery";
  faq.oldhome = "http://old.example/docs";
  faq.newhome = "http://new.example/docs";
  const std::string expected =
      "<html><head><title>FAQ</title>\r\n"
      "<meta http-equiv=\"refresh\" content=\"0; url=http://new.example/docs/faq.html\"></head>\r\n"
      "<body><a href=\"http://new.example/docs/faq.html\">moved</a> from http://old.example/docs/faq.html "
      "(http://old.example/docs to http://new.example/docs, Bakery)</body></html>\r\n";
  // pyftpdlib and proftpd store text uploads with LF line ends, as FTP's
  // ASCII type allows; vsftpd stores the bytes as sent.
  std::string stored = expected;
  if (GetParam().kind != Kind::Vsftpd) stored.erase(std::remove(stored.begin(), stored.end(), '\r'), stored.end());
  EXPECT_EQ(ReadFile(Remote("old/docs/faq.html")), stored);
  EXPECT_EQ(BuildRedirectPage(view_.lines, faq), expected);
  EXPECT_THAT(ReadFile(Remote("old/index.htm")), HasSubstr("<title>Home</title>"));
  EXPECT_THAT(log_, Contains("## Built redirection page for http://old.example/docs/deep/a%20b.htm"));
  EXPECT_THAT(ReadFile(Remote("old/docs/deep/a b.htm")), HasSubstr("url=http://new.example/docs/deep/a%20b.htm\""));
  EXPECT_THAT(log_, Contains("Copy to /old/docs/faq.html as ASCII"));
  EXPECT_THAT(Log(), Not(HasSubstr("notes.txt")));
  EXPECT_EQ(ReadFile(Remote("old/_vti_cnf/index.htm")), "frontpage\n");  // excluded, so untouched
  // Only the pages count; their pages' sizes are not the local files'.
  ExpectEventStream(3, 0);
  EXPECT_EQ(Events(RunEvent::Kind::FileSent).first, 3);
}

TEST_P(RunTest, AServerThatGoesAwayEndsTheRunAfterItsRetries) {
  bool stopped = false;
  const RunOutcome outcome = Run(Settings(), [&](const std::string& line, Upload&) {
    if (!stopped && line.rfind("Copy to", 0) == 0) {
      stopped = true;
      server_->Stop();
    }
  });
  EXPECT_EQ(outcome, RunOutcome::Terminated) << Log();
  EXPECT_EQ(log_.back(), "Terminated before completion.");
  EXPECT_THAT(log_, Contains("Connection retries all failed."));
  EXPECT_GE(Count("Connect Failed. Retrying"), 2);
}

TEST_P(RunTest, AFolderLinkBackToAnEnclosingFolderIsWalkedOnce) {
  fs::create_directory_symlink("..", local_ / "docs" / "loop");  // docs/loop is the site root again
  before_ = Fingerprint(local_);
  ASSERT_EQ(Run(Settings()), RunOutcome::Finished) << Log();
  EXPECT_THAT(log_, Contains("Skipped folder " + (local_ / "docs" / "loop").string() +
                             ": it leads back to a folder being published"));
  EXPECT_TRUE(Tree(Remote("www")) == Published(Tree(local_))) << "the site was not published once, exactly";
}

TEST_P(RunTest, TerminatingStopsTheRunAtTheNextStep) {
  const RunOutcome outcome = Run(Settings(), [](const std::string& line, Upload& run) {
    if (line.rfind("Copy to", 0) == 0) run.Terminate();
  });
  EXPECT_EQ(outcome, RunOutcome::Terminated);
  EXPECT_EQ(Count("Copy to"), 1);
  EXPECT_EQ(log_.back(), "Terminated before completion.");
}

TEST_P(RunTest, AFirstConnectionThatFailsEndsWithoutAClosingLine) {
  new_client_.PassWord = "wrong";
  RunSettings settings = Settings();
  settings.Retries = 3;
  EXPECT_EQ(Run(settings), RunOutcome::NotConnected);
  // A refused login is said with the server's reason and never retried.
  EXPECT_THAT(log_.back(), HasSubstr("The server refused the login."));
  EXPECT_THAT(log_[log_.size() - 2], HasSubstr("Reason: 530 "));
  EXPECT_EQ(Count("Connecting to"), 1);
}

TEST_P(RunTest, OnlyRegularFilesAndFoldersInsideTheLocalFolderArePublished) {
  // Names that would be commands, a FIFO (whose open would block for ever),
  // links out of the folder, to a device and to nothing.
  WriteFile(local_ / "a\r\nDELE victim.txt", "injected");
  WriteFile(local_ / "bare\nDELE victim.txt", "injected");
  WriteFile(local_ / "d\r\nCWD ..\r\nRMD othersite" / "x.htm", "injected");
  ASSERT_EQ(::mkfifo((local_ / "pipe.htm").c_str(), 0600), 0);
  WriteFile(dir_.Path() / "outside.txt", "private");
  fs::create_symlink(dir_.Path() / "outside.txt", local_ / "secret.txt");
  fs::create_symlink("/dev/zero", local_ / "zero.bin");
  fs::create_symlink(local_ / "missing.txt", local_ / "nothing.txt");
  fs::create_symlink(local_ / "notes.txt", local_ / "inner-link.txt");  // inside: published
  WriteFile(Remote("www/victim.txt"), "keep me");
  fs::create_directories(Remote("othersite"));
  server_->Own();
  before_ = Fingerprint(local_);
  // A test run needs the folders the real run makes.
  for (const bool test_run : {false, true}) {
    view_.test_run = test_run;
    EXPECT_EQ(Run(Settings()), RunOutcome::Terminated) << Log();
    EXPECT_EQ(Count("Skipped "), 7) << Log();
    EXPECT_THAT(log_, Contains("Skipped " + (local_ / "a\\r\\nDELE victim.txt").string() +
                               ": its name holds a line break, which no FTP command can carry"));
    EXPECT_THAT(log_, Contains("Skipped " + (local_ / "pipe.htm").string() + ": a FIFO"));
    EXPECT_THAT(log_, Contains(HasSubstr("secret.txt: it is a link that leads outside the local folder")));
    EXPECT_THAT(log_, Contains(HasSubstr("zero.bin: it is a link that leads outside the local folder, to /dev/zero")));
    EXPECT_THAT(log_, Contains(HasSubstr("nothing.txt: it is a link to nothing")));
    for (const std::string& line : log_) EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    EXPECT_EQ(log_.back(), "Terminated before completion.");
  }
  EXPECT_EQ(ReadFile(Remote("www/victim.txt")), "keep me");
  EXPECT_TRUE(fs::exists(Remote("othersite")));
  EXPECT_EQ(ReadFile(Remote("www/index.htm")), ReadFile(local_ / "index.htm"));
  EXPECT_EQ(ReadFile(Remote("www/inner-link.txt")), "plain notes\n");
  for (const char* name : {"secret.txt", "zero.bin", "nothing.txt", "pipe.htm"}) {
    EXPECT_FALSE(fs::exists(Remote("www") / name)) << name;
  }
}

TEST_P(RunTest, AFileThatCannotBeReadKeepsItsCopyOnTheServer) {
  // Another program holds the file and the page, as an editor saving them
  // would; as root, a lock is what makes a file unreadable here.
  WriteFile(Remote("www/notes.txt"), "old notes");
  fs::create_directories(Remote("old"));
  for (const auto& [name, bytes] : Tree(local_)) WriteFile(Remote("old") / name, "old " + name);
  server_->Own();
  const int notes = ::open((local_ / "notes.txt").c_str(), O_RDONLY);
  const int faq = ::open((local_ / "docs/faq.html").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(notes, LOCK_EX), 0);
  ASSERT_EQ(::flock(faq, LOCK_EX), 0);
  EXPECT_EQ(Run(Settings()), RunOutcome::Terminated) << Log();
  EXPECT_THAT(
      log_, Contains("Skipped " + (local_ / "notes.txt").string() + ": cannot read it: another program holds it open"));
  EXPECT_EQ(ReadFile(Remote("www/notes.txt")), "old notes");
  EXPECT_EQ(ReadFile(Remote("www/index.htm")), ReadFile(local_ / "index.htm")) << "the other files go on";
  RunSettings redirect = Settings(true);
  redirect.StartDir = "/old";
  EXPECT_EQ(Run(redirect), RunOutcome::Terminated) << Log();
  EXPECT_EQ(ReadFile(Remote("old/docs/faq.html")), "old docs/faq.html");
  EXPECT_THAT(ReadFile(Remote("old/index.htm")), HasSubstr("http://new.example/index.htm"));
  ::close(notes);
  ::close(faq);
}

TEST_P(RunTest, AReadErrorLeavesNoPartialCopyAndIsNotFinished) {
  new_client_.OpenLocalFile = [](const std::string& name, std::string& why) -> std::unique_ptr<DataStream> {
    if (name.size() >= 8 && name.compare(name.size() - 8, 8, "logo.gif") == 0) {
      const std::string bytes = ReadFile(name);
      return std::make_unique<testing::FailingStream>(bytes.substr(0, bytes.size() / 2));
    }
    return FileStream::OpenRead(name, FtpShareMode::ftpShareExclusive, &why);
  };
  EXPECT_EQ(Run(Settings()), RunOutcome::Terminated) << Log();
  EXPECT_THAT(log_, Contains("    - 426 Cannot read the local file " + (local_ / "img/logo.gif").string() +
                             ": Input/output error"));
  EXPECT_FALSE(fs::exists(Remote("www/img/logo.gif"))) << "what arrived is not the file";
  EXPECT_EQ(ReadFile(Remote("www/docs/faq.html")), ReadFile(local_ / "docs/faq.html"));
  EXPECT_EQ(log_.back(), "Terminated before completion.");
}

// A local file of 1 GiB whose bytes are made as they are read, never held.
class GigabyteStream : public DataStream {
 public:
  static constexpr std::int64_t kSize = std::int64_t{1} << 30;
  std::int64_t Read(char* buffer, std::int64_t size) override {
    const std::int64_t count = std::min(size, kSize - at_);
    std::memset(buffer, 'g', static_cast<size_t>(count));
    at_ += count;
    return count;
  }
  bool Write(const char*, std::int64_t) override { return false; }

 private:
  std::int64_t at_ = 0;
};

// The user's stop reaches the data connection: a 1 GiB upload ends within a
// second of it, and the part that reached the server goes, whether it lay
// under the real name (classic) or the temporary one (modern).
TEST_P(RunTest, AStopInTheMiddleOfAGigabyteUploadEndsItAtOnceAndLeavesNoPart) {
  new_client_.OpenLocalFile = [](const std::string& name, std::string& why) -> std::unique_ptr<DataStream> {
    if (name.size() >= 8 && name.compare(name.size() - 8, 8, "logo.gif") == 0) {
      return std::make_unique<GigabyteStream>();
    }
    return FileStream::OpenRead(name, FtpShareMode::ftpShareExclusive, &why);
  };
  Upload* running = nullptr;
  std::chrono::steady_clock::time_point stopped_at{};
  new_client_.OnProgress = [&](FtpClientCore&, std::int64_t count, bool&) {
    if (running && count >= (std::int64_t{8} << 20) && stopped_at == std::chrono::steady_clock::time_point{}) {
      stopped_at = std::chrono::steady_clock::now();
      running->Stop();
    }
  };
  // The modern method replaces a copy under a temporary name: the old copy
  // must stay.
  const bool modern = GetParam().method == TransferMethod::Modern;
  if (modern) {
    WriteFile(Remote("www/img/logo.gif"), "the old logo");
    server_->Own();
  }
  const RunOutcome outcome = Run(Settings(), [&running](const std::string&, Upload& run) { running = &run; });
  const auto after_stop = std::chrono::steady_clock::now() - stopped_at;
  ASSERT_NE(stopped_at, std::chrono::steady_clock::time_point{}) << Log();
  EXPECT_EQ(outcome, RunOutcome::Terminated) << Log();
  EXPECT_LT(after_stop, std::chrono::seconds(1)) << Log();
  EXPECT_THAT(log_, Contains("Reason: 426 Stopped by the user")) << Log();
  const std::string written = modern ? "~kestova-partial~logo.gif" : "logo.gif";
  EXPECT_THAT(log_, Contains("Removing the part of /www/img/" + written + " that reached the server")) << Log();
  EXPECT_THAT(log_, Not(Contains(HasSubstr("Could not remove")))) << Log();
  if (modern) {
    EXPECT_EQ(Tree(Remote("www/img")), (std::map<std::string, std::string>{{"logo.gif", "the old logo"}}));
  } else {
    EXPECT_TRUE(fs::is_empty(Remote("www/img"))) << "a part of the file stayed on the server";
  }
  EXPECT_EQ(log_.back(), "Terminated before completion.");
}

// The modern method lists every folder before it sends anything, and a test
// run ends with what the plan would do: a new file, a file in a folder the
// server does not have, a changed one, an unchanged one, and a cut run's
// leftover, against each server's listing (MLSD, or LIST for vsftpd).
TEST(PlannedWalkTest, EveryFolderIsListedBeforeAnythingIsSentAndATestRunTotalsThePlan) {
  for (const Kind kind : {Kind::Pyftpdlib, Kind::Vsftpd, Kind::Proftpd}) {
    SCOPED_TRACE(FtpServerFixture::Name(kind));
    testing::TempDir dir;
    std::string why;
    testing::FtpServerOptions options;
    options.protocol_log = dir.File("commands.log");
    auto server = FtpServerFixture::Start(kind, (dir.Path() / "server").string(), why, options);
    ASSERT_TRUE(server) << why;
    const fs::path local = dir.Path() / "site";
    WriteFile(local / "index.htm", "<title>Home</title>\n");         // new
    WriteFile(local / "same.htm", "<title>Same</title>\n");          // the server's copy is newer
    WriteFile(local / "edited.htm", "<title>Edited</title>\n");      // edited after the server's copy
    WriteFile(local / "sub" / "page.htm", "<title>Page</title>\n");  // in a folder the server lacks
    const std::time_t now = std::time(nullptr);
    for (const char* name : {"index.htm", "same.htm", "sub/page.htm"}) {
      const utimbuf past{now - 2 * 24 * 3600, now - 2 * 24 * 3600};
      ::utime((local / name).c_str(), &past);
    }
    const fs::path www = dir.Path() / "server" / "www";
    WriteFile(www / "same.htm", "<title>Same</title>\n");
    WriteFile(www / "edited.htm", "old");
    WriteFile(www / "~kestova-partial~cut.htm", "cut");
    const utimbuf older{now - 5 * 24 * 3600, now - 5 * 24 * 3600};
    ::utime((www / "edited.htm").c_str(), &older);
    server->Own();

    testing::TestRun test(*server);
    test.settings.Site.Method = TransferMethod::Modern;
    test.settings.LocalRoot = local.string();
    test.settings.AutoDetect = true;
    test.profile.new_changes = true;
    test.profile.test_run = true;
    ASSERT_EQ(test.Start(), RunOutcome::Finished) << test.Text();
    EXPECT_THAT(test.log, Contains("Would send 3 files (" + FormatBytes(20 + 22 + 20) +
                                   "), make 1 folder, remove 1 file; 1 file unchanged"))
        << test.Text();
    const std::string tried = ReadFile(dir.File("commands.log"));
    for (const char* word : {"STOR", "DELE", "MKD", "RNTO"}) EXPECT_EQ(tried.find(word), std::string::npos) << word;

    test.profile.test_run = false;
    ASSERT_EQ(test.Start(), RunOutcome::Finished) << test.Text();
    std::map<std::string, std::string> expected = Tree(local);
    EXPECT_TRUE(Tree(www) == expected) << test.Text();
    // The second run's commands: after the marker file that learns the
    // server's clock, every listing of the plan comes before the first
    // file of the site is sent.
    const std::string commands = ReadFile(dir.File("commands.log")).substr(tried.size());
    // (index.htm is new, so it goes straight to its name.)
    const size_t first_upload = commands.find("STOR index.htm");
    ASSERT_NE(first_upload, std::string::npos) << commands;
    const char* listing = kind == Kind::Vsftpd ? "LIST" : "MLSD";
    EXPECT_NE(commands.rfind(listing, first_upload), std::string::npos) << commands;
    EXPECT_EQ(commands.find(listing, first_upload), std::string::npos) << "a listing after the first upload";
  }
}

// Mistakes another attempt cannot mend end the first connection at once,
// with a hint; every reason names where it went and the system's words.
TEST(FirstConnectionTest, MistakesThatRetryingCannotMendEndAtOnceWithAHint) {
  testing::TempDir dir;
  std::string why;
  testing::FtpServerOptions tls;
  tls.tls = ServerTls::Explicit;
  auto pyftpdlib = FtpServerFixture::Start(Kind::Pyftpdlib, (dir.Path() / "py").string(), why, tls);
  ASSERT_TRUE(pyftpdlib) << why;
  auto vsftpd = FtpServerFixture::Start(Kind::Vsftpd, (dir.Path() / "vs").string(), why, tls);
  ASSERT_TRUE(vsftpd) << why;
  SetHostResolver([](const std::string& host) {
    LookupResult result;
    if (host == "ftp.nowhere.example") result.error = 11001;  // the resolver's final word
    if (host == "ftp.later.example") result.error = 11002;    // a temporary failure
    return result;
  });
  struct Case {
    const char* name;
    std::string host, port, user;
    int connects;      // how many times the run connects
    const char* says;  // in the reason or the hint
  } const cases[] = {
      {"no such host", "ftp.nowhere.example", "21", "u", 1, "The host name ftp.nowhere.example does not exist."},
      {"temporary lookup failure", "ftp.later.example", "21", "u", 3, "(ftp.later.example port 21: "},
      {"pyftpdlib wants TLS", "127.0.0.1", pyftpdlib->Port(), pyftpdlib->User(), 1,
       "The server accepts only FTP over TLS."},
      {"vsftpd wants TLS", "127.0.0.1", vsftpd->Port(), vsftpd->User(), 1, "The server accepts only FTP over TLS."},
      {"a mistyped port", "127.0.0.1", std::to_string(testing::FreeLoopbackPort()), "u", 3,
       "Connection refused (Winsock error #10061) (127.0.0.1 port "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TestRun test(c.port, c.user, "secret");
    test.settings.Site.HostName = c.host;
    test.settings.Site.SetPassive(false);
    test.settings.LocalRoot = dir.Path().string();
    test.settings.Retries = 2;
    test.settings.RetryPause = 0;
    const std::vector<std::string>& log = test.log;
    Upload& run = test.Make();
    EXPECT_EQ(run.StartUpload(), RunOutcome::NotConnected) << ::testing::PrintToString(log);
    const std::string text = ::testing::PrintToString(log);
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("Connecting", 0) == 0; }),
              c.connects)
        << text;
    EXPECT_THAT(text, HasSubstr(c.says));
  }
  SetHostResolver(nullptr);
}

std::string ServerName(const ::testing::TestParamInfo<Server>& info) {
  const Server& server = info.param;
  return std::string(FtpServerFixture::Name(server.kind)) +
         (server.tls == ServerTls::Explicit   ? "ExplicitTls"
          : server.tls == ServerTls::Implicit ? "ImplicitTls"
                                              : "") +
         (server.passive ? "" : "Active") + (server.method == TransferMethod::Modern ? "Modern" : "");
}

// Plain FTP against the three servers; TLS against each, explicit and
// implicit, passive and active.
// The modern method's replacement: a new copy goes under a temporary name
// and is renamed over the old one; nothing the site serves is deleted first,
// and temporary files a cut run left behind go.
class ModernRunTest : public RunTest {};

TEST_P(ModernRunTest, NewCopiesAreRenamedIntoPlaceAndLeftoversOfACutRunGo) {
  WriteFile(Remote("www/index.htm"), "the old home page\n");
  WriteFile(Remote("www/~kestova-partial~index.htm"), "half a page");
  WriteFile(Remote("www/docs/~kestova-partial~gone.html"), "cut");
  server_->Own();
  ASSERT_EQ(Run(Settings()), RunOutcome::Finished) << Log();
  EXPECT_TRUE(Tree(Remote("www")) == Published(Tree(local_))) << "the remote tree differs from the local one";
  EXPECT_THAT(log_, Contains("Removed ~kestova-partial~index.htm, left by an earlier run that was cut short"));
  EXPECT_THAT(log_, Contains("Removed ~kestova-partial~gone.html, left by an earlier run that was cut short"));
  // The reply under each copy line is the rename's.
  const auto copy = std::find(log_.begin(), log_.end(), "Copy to /www/index.htm as ASCII");
  ASSERT_NE(copy, log_.end()) << Log();
  EXPECT_EQ(copy[1].rfind("    - 250", 0), 0u) << Log();
  // What the server received: a rename for the one file that replaces a
  // copy, the four new ones straight under their names, and no delete but
  // of the leftovers.
  std::istringstream commands(testing::ReadFile(dir_.File("commands.log")));
  int renames = 0;
  for (std::string line; std::getline(commands, line);) {
    renames += line.find("RNTO ") != std::string::npos;
    if (line.find("STOR ") != std::string::npos && line.find("~kestova-partial~") != std::string::npos) {
      EXPECT_THAT(line, HasSubstr("~kestova-partial~index.htm"));
    }
    if (line.find("DELE ") != std::string::npos) {
      EXPECT_THAT(line, HasSubstr("~kestova-partial~"));
    }
  }
  EXPECT_EQ(renames, 1);

  // Wrt Changes finds leftovers in the one listing it makes of each folder,
  // and makes no folder its parent's listing shows.
  WriteFile(Remote("www/docs/~kestova-partial~faq.html"), "cut");
  server_->Own();
  view_.new_changes = true;
  const size_t commands_before = testing::ReadFile(dir_.File("commands.log")).size();
  ASSERT_EQ(Run(Settings()), RunOutcome::Finished) << Log();
  const std::string sent = testing::ReadFile(dir_.File("commands.log")).substr(commands_before);
  for (const char* folder : {"MKD docs", "MKD /www/docs", "MKD /www/img", "MKD /www/docs/deep"}) {
    EXPECT_EQ(sent.find(folder), std::string::npos) << folder;
  }
  EXPECT_NE(sent.find("DELE"), std::string::npos) << "the log holds no commands of this run";
  EXPECT_THAT(log_, Contains("Removed ~kestova-partial~faq.html, left by an earlier run that was cut short"));
  EXPECT_TRUE(Tree(Remote("www")) == Published(Tree(local_))) << Log();
  EXPECT_EQ(Count("Write File"), 0) << Log();

  // A local file under such a name is never published.
  WriteFile(local_ / "~kestova-partial~mine.htm", "mine");
  before_ = Fingerprint(local_);
  ASSERT_EQ(Run(Settings()), RunOutcome::Terminated) << Log();
  EXPECT_THAT(Log(), HasSubstr("~kestova-partial~mine.htm: its name is one the modern method gives files"));
  EXPECT_FALSE(fs::exists(Remote("www/~kestova-partial~mine.htm")));
}

INSTANTIATE_TEST_SUITE_P(Servers, ModernRunTest,
                         ::testing::Values(Server{Kind::Pyftpdlib, ServerTls::None, true, TransferMethod::Modern},
                                           Server{Kind::Vsftpd, ServerTls::None, false, TransferMethod::Modern},
                                           Server{Kind::Proftpd, ServerTls::Explicit, true, TransferMethod::Modern}),
                         ServerName);

INSTANTIATE_TEST_SUITE_P(Servers, RunTest,
                         ::testing::Values(Server{Kind::Pyftpdlib}, Server{Kind::Vsftpd}, Server{Kind::Proftpd},
                                           Server{Kind::Pyftpdlib, ServerTls::Explicit},
                                           Server{Kind::Vsftpd, ServerTls::Explicit, false},
                                           Server{Kind::Proftpd, ServerTls::Implicit},
                                           // The modern method makes the same trees.
                                           Server{Kind::Pyftpdlib, ServerTls::None, true, TransferMethod::Modern},
                                           Server{Kind::Vsftpd, ServerTls::Explicit, true, TransferMethod::Modern},
                                           Server{Kind::Proftpd, ServerTls::Implicit, false, TransferMethod::Modern}),
                         ServerName);

}  // namespace
}  // namespace kestova

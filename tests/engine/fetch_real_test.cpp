// Fetching the old site from the three FTP servers (both methods, and over
// TLS) and the two SFTP servers: the tree arrives byte for byte with the
// server's times, a fetch again takes nothing, a Wrt Changes publish right
// after sends nothing, and a local folder that has files keeps them. Then
// what the local side must survive: a server that lists paths, a name twice
// and links; a fetch cut on the wire; a full disk; things in the way.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTimer>

#include <chrono>
#include <ctime>
#include <fstream>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/fetch.h"
#include "engine/upload.h"
#include "sftp/sftp_site_connection.h"
#include "support/fault_relay.h"
#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/listed_tree.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using FtpKind = testing::FtpServerFixture::Kind;
using SshKind = testing::SshServerFixture::Kind;
using Tree = std::map<std::string, std::string>;

// The site as the server holds it: text with both line ends, bytes of every
// value, an empty file, a name with a space and one not in ASCII, folders
// three deep, and a file larger than many blocks.
Tree SiteTree() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  std::string large;
  for (int i = 0; i < 300000; ++i) large += static_cast<char>((static_cast<long long>(i) * 7919) % 251);
  return {{"index.html", "<title>Home</title>\r\n<p>old host</p>\n"},
          {"empty.txt", ""},
          {"img/bytes.bin", bytes},
          {"img/large.jpg", large},
          {"docs/a page ü.htm", "<title>Ü</title>\n"},
          {"docs/deep/er/leaf.css", "p { }\n"}};
}

// A time a month back at 26 seconds past a minute: recent enough that a
// long listing shows its minute.
long long ServerTime() {
  // Read once, so that a test that spans a minute's end sees one time.
  static const long long when = [] {
    const long long month_ago = static_cast<long long>(std::time(nullptr)) - 30 * 86400;
    return month_ago - month_ago % 60 + 26;
  }();
  return when;
}

std::map<std::string, long long> Times(const fs::path& root) {
  std::map<std::string, long long> times;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (!item.is_regular_file()) continue;
    struct stat info {};
    ::stat(item.path().c_str(), &info);
    times[fs::relative(item.path(), root).string()] = info.st_mtime;
  }
  return times;
}

struct Case {
  const char* name;
  bool sftp = false;
  FtpKind ftp = FtpKind::Pyftpdlib;
  SshKind ssh = SshKind::OpenSsh;
  TransferMethod method = TransferMethod::Modern;
  bool tls = false;
};

// One server with the site on it and a run that fetches from it.
class FetchTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    for (const auto& [path, text] : SiteTree()) {
      testing::WriteFile(Root() / "www" / path, text);
      const struct timespec times[2] = {{ServerTime(), 0}, {ServerTime(), 0}};
      ::utimensat(AT_FDCWD, (Root() / "www" / path).c_str(), times, 0);
    }
    std::string why;
    const Case& c = GetParam();
    if (c.sftp) {
      ssh_ = testing::SshServerFixture::Start(Root().string(), why, c.ssh);
      ASSERT_TRUE(ssh_) << why;
      ssh_->Own();
      site_ = testing::SshSite(*ssh_);
      sftp_ = std::make_unique<SftpSiteConnection>(site_);
      sftp_->SetAskpassProgram(KESTOVA_PROGRAM);
      run_ = std::make_unique<testing::TestRun>(*sftp_);
      run_->settings.Site = site_;
      run_->settings.StartDir = "www";
    } else {
      testing::FtpServerOptions options;
      options.tls = c.tls ? testing::ServerTls::Explicit : testing::ServerTls::None;
      options.protocol_log = (dir_.Path() / "protocol.log").string();
      ftp_ = testing::FtpServerFixture::Start(c.ftp, Root().string(), why, options);
      ASSERT_TRUE(ftp_) << why;
      ftp_->Own();
      run_ = std::make_unique<testing::TestRun>(*ftp_);
      run_->settings.StartDir = "/www";
    }
    run_->settings.Site.Method = c.method;
    run_->settings.FetchJob = true;
    run_->settings.BinaryMode = true;
    run_->settings.LocalRoot = Local().string();
  }
  fs::path Root() const { return dir_.Path() / "server"; }
  fs::path Local() const { return dir_.Path() / "local"; }
  RunOutcome Start() { return run_->Start(); }
  std::string Log() const { return run_->Text(); }
  // The classic method reads LIST, which shows the minute; the modern one
  // reads the facts, to the second.
  long long ExpectedTime() const {
    const bool seconds =
        GetParam().sftp || (GetParam().method == TransferMethod::Modern && GetParam().ftp != FtpKind::Vsftpd);
    return seconds ? ServerTime() : ServerTime() - ServerTime() % 60;
  }

  testing::TempDir dir_;
  SiteSettings site_;
  std::unique_ptr<testing::FtpServerFixture> ftp_;
  std::unique_ptr<testing::SshServerFixture> ssh_;
  std::unique_ptr<SftpSiteConnection> sftp_;
  std::unique_ptr<testing::TestRun> run_;
};

TEST_P(FetchTest, TheTreeArrivesExactWithTheServersTimesAndNothingGoesTwice) {
  // A test run lists what it would fetch and makes nothing.
  run_->profile.test_run = true;
  ASSERT_EQ(Start(), RunOutcome::Finished) << Log();
  EXPECT_FALSE(fs::exists(Local())) << Log();
  EXPECT_EQ(run_->Count("## Test: Fetch "), 6) << Log();
  EXPECT_THAT(run_->log, Contains("Would fetch 6 files (293.3 KiB), make 5 folders; 0 files unchanged")) << Log();

  run_->profile.test_run = false;
  run_->log.clear();
  ASSERT_EQ(Start(), RunOutcome::Finished) << Log();
  EXPECT_EQ(testing::Differences(testing::Tree(Local()), SiteTree()), "") << Log();
  for (const auto& [path, time] : Times(Local())) EXPECT_EQ(time, ExpectedTime()) << path;
  EXPECT_EQ(run_->Count("Fetched "), 6) << Log();
  // No part file stays behind.
  for (const auto& item : fs::recursive_directory_iterator(Local())) {
    EXPECT_FALSE(Upload::IsTemporaryName(item.path().filename().string())) << item.path();
  }

  // Again: nothing has changed, so nothing is taken.
  run_->log.clear();
  ASSERT_EQ(Start(), RunOutcome::Finished) << Log();
  EXPECT_EQ(run_->Count("Fetched "), 0) << Log();

  // A Wrt Changes publish of what was fetched to where it came from sends
  // nothing.
  run_->settings.FetchJob = false;
  run_->settings.BinaryMode = false;
  run_->profile.new_changes = true;
  run_->log.clear();
  ASSERT_EQ(Start(), RunOutcome::Finished) << Log();
  EXPECT_EQ(run_->Count("Write File "), 0) << Log();
  const auto unchanged = std::count_if(run_->log.begin(), run_->log.end(), [](const std::string& line) {
    return line.find(" - no date change") != std::string::npos;
  });
  EXPECT_EQ(unchanged, 6) << Log();
}

// Links on the server, to a folder outside its tree and to a file in it:
// the fetch never makes a local link and never brings what lies outside.
// Most servers list a link as a link, which is said and left; pyftpdlib's
// MLSD lists what it points to, and refuses to enter the folder outside.
TEST_P(FetchTest, LinksOnTheServerBringNothingFromOutsideAndMakeNoLocalLink) {
  testing::WriteFile(dir_.Path() / "outside/secret.txt", "not the site's");
  fs::create_directory_symlink(dir_.Path() / "outside", Root() / "www/out");
  fs::create_symlink("bytes.bin", Root() / "www/img/alias.bin");
  const RunOutcome outcome = Start();
  EXPECT_FALSE(fs::exists(Local() / "out/secret.txt")) << Log();
  for (const auto& item : fs::recursive_directory_iterator(Local())) {
    EXPECT_FALSE(item.is_symlink()) << item.path();
  }
  Tree local = testing::Tree(Local());
  if (local.count("img/alias.bin")) {
    EXPECT_TRUE(local["img/alias.bin"] == SiteTree().at("img/bytes.bin"));
    local.erase("img/alias.bin");
    EXPECT_THAT(run_->log, Contains(::testing::StartsWith("Left out the folder /www/out: the server would not enter "
                                                          "it: ")))
        << Log();
    EXPECT_EQ(outcome, RunOutcome::Terminated) << Log();
  } else {
    EXPECT_THAT(run_->log, Contains(HasSubstr("that the server lists as links or as neither a file nor a folder "
                                              "(alias.bin); a fetch never follows a link")))
        << Log();
    EXPECT_EQ(outcome, RunOutcome::Finished) << Log();
  }
  EXPECT_EQ(testing::Differences(local, SiteTree()), "") << Log();
}

// Into a folder that has files: what differs in size or time is taken, what
// is the same stays, and local files the server does not have stay too.
TEST_P(FetchTest, IntoAFolderWithFilesOnlyWhatDiffersIsTakenAndNothingLocalGoes) {
  ASSERT_EQ(Start(), RunOutcome::Finished) << Log();
  testing::WriteFile(Local() / "index.html", "edited locally, another size");
  testing::WriteFile(Local() / "local-only.htm", "mine");
  const struct timespec older[2] = {{ServerTime() - 7200, 0}, {ServerTime() - 7200, 0}};
  ::utimensat(AT_FDCWD, (Local() / "docs/deep/er/leaf.css").c_str(), older, 0);
  fs::remove(Local() / "img/bytes.bin");
  run_->settings.Exclude = "*.jpg";
  fs::remove(Local() / "img/large.jpg");
  run_->log.clear();
  ASSERT_EQ(Start(), RunOutcome::Finished) << Log();
  Tree expected = SiteTree();
  expected.erase("img/large.jpg");
  expected["local-only.htm"] = "mine";
  EXPECT_EQ(testing::Differences(testing::Tree(Local()), expected), "") << Log();
  EXPECT_EQ(run_->Count("Fetched "), 3) << Log();
}

// The redirection job with OldAllPages: the local folder's pages get their
// pages as always, and so does every page that only the old site has, with
// the title of the old page; what is not a page stays as it was.
TEST_P(FetchTest, RedirectionPagesGoOverTheOldSitesOwnPagesToo) {
  testing::WriteFile(Root() / "www/only-old.htm", "<html><title>Only &amp; old</title>\n");
  testing::WriteFile(Root() / "www/docs/deep/Old Two.HTML", "<TITLE>Zwei  \n ü</TITLE>");
  testing::WriteFile(Root() / "www/.hidden.htm", "hidden");
  if (ftp_) ftp_->Own();
  if (ssh_) ssh_->Own();
  testing::WriteFile(Local() / "index.html", "<title>Home</title>");
  testing::WriteFile(Local() / "docs/a page ü.htm", "<title>Ü</title>");
  run_->settings.FetchJob = false;
  run_->settings.BinaryMode = false;
  run_->settings.RedirectJob = true;
  run_->settings.OldAllPages = true;
  run_->settings.SiteURL = "http://old";
  run_->profile.lines = {"<<newurl>> <<title>>"};
  run_->profile.test_run = true;
  ASSERT_EQ(Start(), RunOutcome::Finished) << Log();
  EXPECT_THAT(run_->log, Contains("Would put 2 redirection pages over pages only the old site has.")) << Log();
  EXPECT_EQ(testing::ReadFile(Root() / "www/only-old.htm"), "<html><title>Only &amp; old</title>\n");

  run_->profile.test_run = false;
  run_->log.clear();
  ASSERT_EQ(Start(), RunOutcome::Finished) << Log();
  // Pages go as text, so a server may end their lines its own way.
  Tree pages;
  for (auto [path, text] : testing::Tree(Root() / "www")) {
    if (path.find(".htm") == std::string::npos && path.find(".HTML") == std::string::npos) continue;
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    pages[path] = text;
  }
  EXPECT_EQ(pages, (Tree{{"index.html", "http://new/index.html Home\n"},
                         {"docs/a page ü.htm", "http://new/docs/a%20page%20%C3%BC.htm Ü\n"},
                         {"only-old.htm", "http://new/only-old.htm Only &amp; old\n"},
                         {"docs/deep/Old Two.HTML", "http://new/docs/deep/Old%20Two.HTML Zwei ü\n"},
                         {".hidden.htm", "hidden"}}))
      << Log();
  EXPECT_TRUE(testing::ReadFile(Root() / "www/img/large.jpg") == SiteTree().at("img/large.jpg"));
  EXPECT_THAT(run_->log, Contains("Put 2 redirection pages over pages only the old site has.")) << Log();
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FetchTest,
    ::testing::Values(
        Case{"pyftpdlib_modern", false, FtpKind::Pyftpdlib},
        Case{"pyftpdlib_classic", false, FtpKind::Pyftpdlib, SshKind::OpenSsh, TransferMethod::Classic},
        Case{"vsftpd_modern", false, FtpKind::Vsftpd},
        Case{"vsftpd_classic_tls", false, FtpKind::Vsftpd, SshKind::OpenSsh, TransferMethod::Classic, true},
        Case{"proftpd_modern_tls", false, FtpKind::Proftpd, SshKind::OpenSsh, TransferMethod::Modern, true},
        Case{"proftpd_classic", false, FtpKind::Proftpd, SshKind::OpenSsh, TransferMethod::Classic},
        Case{"sshd", true, FtpKind::Pyftpdlib, SshKind::OpenSsh},
        Case{"proftpd_sftp", true, FtpKind::Pyftpdlib, SshKind::Proftpd}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

// A server that lists paths, a name twice (once as a link), links out of
// its tree, names with control characters and a folder named like a
// scheme: the fetch writes inside the local folder only, never enters a
// link, and says what it left out.
TEST(FetchHostileServerTest, WritesNothingOutsideTheLocalFolderWhateverTheServerLists) {
  using namespace std::string_literals;
  testing::ScriptedFtpServer server;
  testing::ListedTree tree(server);
  const auto entry = [](char kind, const std::string& name) {
    return std::string(1, kind) + "rw-r--r--    1 1001     1001            2 Dec 08 12:08 " + name + "\r\n";
  };
  tree.SetFolder("/start",
                 entry('-', "ok.htm") + entry('-', "../escaped") + entry('-', "/etc/passwd") + entry('-', "a\\b") +
                     entry('-', "..") + entry('d', "..\\..") + entry('-', "twice") +
                     entry('l', "twice -> /etc/passwd") + entry('l', "root -> /") + entry('-', "bell\x07name") +
                     entry('d', "http:") + entry('d', "sub/.."),
                 "ok.htm\r\nhttp:\r\n");
  tree.SetFolder("/start/http:", entry('-', "inner.htm"), "inner.htm\r\n");
  server.On("RETR", [](testing::ScriptedSession& session, const std::string& argument) {
    session.Reply("150 Here it comes");
    if (!session.OpenData()) return session.Reply("425 No data connection");
    session.SendData(argument.size() >= 2 ? argument.substr(0, 2) : "??");
    session.CloseData();
    session.Reply("226 Done");
  });
  testing::TempDir dir;
  const fs::path local = dir.Path() / "site" / "local";
  testing::WriteFile(dir.Path() / "site/keep.txt", "outside");
  testing::TestRun run(server.Port());
  run.settings.FetchJob = true;
  run.settings.StartDir = "/start";
  run.settings.LocalRoot = local.string();
  EXPECT_EQ(run.Start(), RunOutcome::Terminated) << run.Text();
  EXPECT_EQ(testing::Tree(dir.Path()),
            (Tree{{"site/keep.txt", "outside"}, {"site/local/ok.htm", "ok"}, {"site/local/http:/inner.htm", "in"}}))
      << run.Text();
  for (const std::string& touched : tree.Touched()) EXPECT_THAT(touched, ::testing::StartsWith("CWD /start"));
  for (const std::string& command : server.Commands()) {
    if (command.rfind("RETR ", 0) == 0) {
      EXPECT_TRUE(command == "RETR ok.htm" || command == "RETR inner.htm") << command;
    }
  }
  EXPECT_THAT(run.log,
              Contains(HasSubstr("Left out \"twice\" in the listing of /start: the server lists that name more "
                                 "than once")))
      << run.Text();
  EXPECT_THAT(run.log,
              Contains(HasSubstr("Left out \"../escaped\" in the listing of /start: a name to fetch must be one "
                                 "name")))
      << run.Text();
  EXPECT_THAT(run.log, Contains(HasSubstr("1 entry that the server lists as links or as neither a file nor a folder "
                                          "(root); a fetch never follows a link")))
      << run.Text();
}

// What stands in the way on the local side is never followed or replaced:
// a link where a remote folder goes, a folder where a remote file goes. A
// disk that fills fails the file with the system's reason, and leaves no
// part behind.
class FetchLocalFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [path, text] : SiteTree()) testing::WriteFile(dir_.Path() / "server/www" / path, text);
    std::string why;
    server_ = testing::FtpServerFixture::Start(FtpKind::Pyftpdlib, (dir_.Path() / "server").string(), why);
    ASSERT_TRUE(server_) << why;
    run_ = std::make_unique<testing::TestRun>(*server_);
    run_->settings.FetchJob = true;
    run_->settings.Site.Method = TransferMethod::Modern;
    run_->settings.LocalRoot = Local().string();
  }
  void TearDown() override {
    if (mounted_) ::umount2(Local().c_str(), MNT_DETACH);
  }
  fs::path Local() const { return dir_.Path() / "local"; }
  std::string Log() const { return run_->Text(); }
  void ExpectNoParts() const {
    for (const auto& item : fs::recursive_directory_iterator(Local())) {
      EXPECT_FALSE(Upload::IsTemporaryName(item.path().filename().string())) << item.path();
    }
  }

  testing::TempDir dir_;
  std::unique_ptr<testing::FtpServerFixture> server_;
  std::unique_ptr<testing::TestRun> run_;
  bool mounted_ = false;
};

TEST_F(FetchLocalFaultTest, ALinkOrAFolderInTheWayIsLeftAsItIs) {
  testing::WriteFile(dir_.Path() / "elsewhere/untouched.txt", "mine");
  fs::create_directories(Local() / "index.html");
  fs::create_directory_symlink(dir_.Path() / "elsewhere", Local() / "img");
  fs::create_directories(Local() / "docs");
  fs::create_symlink(dir_.Path() / "elsewhere/untouched.txt", Local() / "docs/a page ü.htm");
  EXPECT_EQ(run_->Start(), RunOutcome::Terminated) << Log();
  EXPECT_EQ(testing::Tree(dir_.Path() / "elsewhere"), (Tree{{"untouched.txt", "mine"}})) << Log();
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(Local() / "index.html"))) << Log();
  EXPECT_TRUE(fs::is_symlink(Local() / "img")) << Log();
  EXPECT_TRUE(fs::is_symlink(Local() / "docs/a page ü.htm")) << Log();
  EXPECT_EQ(testing::ReadFile(Local() / "empty.txt"), "");
  EXPECT_EQ(testing::ReadFile(Local() / "docs/deep/er/leaf.css"), "p { }\n");
  EXPECT_THAT(run_->log, Contains("Left out the folder /www/img: the local folder has a link or a file named " +
                                  (Local() / "img").string() + ", which a fetch never follows or replaces"))
      << Log();
  EXPECT_THAT(run_->log, Contains("Left out /www/index.html: the local folder has a folder named " +
                                  (Local() / "index.html").string() + ", which a fetch never follows or replaces"))
      << Log();
  EXPECT_EQ(run_->log.back(), "Terminated before completion.");
}

TEST_F(FetchLocalFaultTest, AFullDiskFailsTheFileWithItsReasonAndLeavesNoPart) {
  fs::create_directories(Local());
  if (::mount("tmpfs", Local().c_str(), "tmpfs", 0, "size=128k") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
  }
  mounted_ = true;
  EXPECT_EQ(run_->Start(), RunOutcome::Terminated) << Log();
  EXPECT_THAT(run_->log, Contains("Could not fetch /www/img/large.jpg: writing " +
                                  (Local() / "img/large.jpg").string() + " failed: No space left on device"))
      << Log();
  EXPECT_FALSE(fs::exists(Local() / "img/large.jpg")) << Log();
  EXPECT_EQ(testing::ReadFile(Local() / "img/bytes.bin"), SiteTree().at("img/bytes.bin"));
  ExpectNoParts();
  EXPECT_EQ(run_->log.back(), "Terminated before completion.");
}

// Esc in the middle of a large file: the run ends within a second, the part
// that arrived goes, and the local copy the fetch was replacing stays.
TEST_F(FetchLocalFaultTest, AStopInTheMiddleOfAFileRemovesThePartAndKeepsTheOldCopy) {
  const fs::path big = dir_.Path() / "server/www/img/big.bin";
  { std::ofstream(big, std::ios::binary); }
  fs::resize_file(big, std::uintmax_t{1} << 30);
  testing::WriteFile(Local() / "img/big.bin", "the copy from before");
  const fs::path part = Local() / ("img/" + std::string(Upload::kTemporaryPrefix) + "big.bin");
  Upload& run = run_->Make();
  std::chrono::steady_clock::time_point stopped;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    std::error_code error;
    if (stopped.time_since_epoch().count() == 0 && fs::file_size(part, error) > (1 << 20) && !error) {
      stopped = std::chrono::steady_clock::now();
      run.Stop();
    }
  });
  watch.start(5);
  EXPECT_EQ(run.StartUpload(), RunOutcome::Terminated) << Log();
  ASSERT_NE(stopped.time_since_epoch().count(), 0) << Log();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1));
  EXPECT_FALSE(fs::exists(part)) << Log();
  EXPECT_EQ(testing::ReadFile(Local() / "img/big.bin"), "the copy from before");
  EXPECT_THAT(run_->log, Contains("Removed the part of " + (Local() / "img/big.bin").string() +
                                  " that had arrived; any local copy is as it was"))
      << Log();
}

// The data connections cut on the way: with retries the fetch ends with
// the exact tree; without, it stops, no file stands cut under its name, and
// the next fetch completes it.
TEST_F(FetchLocalFaultTest, ACutFetchLeavesNoCutFileAndTheNextOneCompletes) {
  for (const int retries : {0, 3}) {
    SCOPED_TRACE(retries);
    fs::remove_all(Local());
    testing::FaultPlan plan;
    plan.seed = 11;
    plan.drop_data = 1.0;
    // Every data connection meets a fault until there have been 12: the
    // listings and the small files end before the cut comes, the large file
    // (the 11th) is cut on its first two attempts.
    plan.max_data_cut = 250000;
    plan.max_faults = 12;
    std::string why;
    const auto relay = testing::FaultRelay::Start(std::stoi(server_->Port()), plan, why);
    ASSERT_TRUE(relay) << why;
    run_->settings.Site.Port = relay->Port();
    run_->settings.Retries = retries;
    run_->settings.RetryPause = 0;
    run_->log.clear();
    const RunOutcome outcome = run_->Start();
    std::string journal;
    for (const std::string& line : relay->Journal()) journal += line + "\n";
    EXPECT_GT(relay->Injected().dropped_data, 0) << Log();
    SCOPED_TRACE(journal);
    if (fs::exists(Local())) ExpectNoParts();
    for (const auto& [path, text] : testing::Tree(Local())) EXPECT_TRUE(text == SiteTree().at(path)) << path;
    if (retries > 0) {
      EXPECT_EQ(outcome, RunOutcome::Finished) << Log();
      EXPECT_EQ(testing::Differences(testing::Tree(Local()), SiteTree()), "") << Log();
      EXPECT_GE(run_->Count("Connect Failed. Retrying"), 1) << Log();
      continue;
    }
    EXPECT_NE(outcome, RunOutcome::Finished) << Log();
    run_->settings.Site.Port = server_->Port();
    run_->log.clear();
    EXPECT_EQ(run_->Start(), RunOutcome::Finished) << Log();
    EXPECT_EQ(testing::Differences(testing::Tree(Local()), SiteTree()), "") << Log();
  }
}

// The SSH stream cut in the middle of the large file, on both SFTP
// servers: with retries the fetch ends with the exact tree, without it stops
// with no cut file under a real name.
class FetchSftpCutTest : public ::testing::TestWithParam<SshKind> {};

TEST_P(FetchSftpCutTest, ACutStreamLeavesNoCutFileAndRetriesComplete) {
  for (const int retries : {0, 2}) {
    SCOPED_TRACE(retries);
    testing::TempDir dir;
    const fs::path root = dir.Path() / "root";
    const fs::path local = dir.Path() / "local";
    for (const auto& [path, text] : SiteTree()) testing::WriteFile(root / "www" / path, text);
    std::string why;
    const auto server = testing::SshServerFixture::Start(root.string(), why, GetParam());
    ASSERT_TRUE(server) << why;
    server->Own();
    testing::FaultPlan plan;
    plan.blind = true;
    plan.seed = 5;
    plan.drop_control = 1.0;
    plan.min_control_cut = 100000;
    plan.max_control_cut = 250000;
    plan.max_faults = 2;
    const auto relay = testing::FaultRelay::Start(std::stoi(server->Port()), plan, why);
    ASSERT_TRUE(relay) << why;
    const std::string known = server->KnownHostsAt(relay->Host(), relay->Port(), dir.File("relay_hosts"));
    SiteSettings site;
    site.Protocol = SiteProtocol::Sftp;
    site.HostName = relay->Host();
    site.Port = relay->Port();
    site.UserName = server->User();
    site.KnownHosts = {known};
    site.KeyFile = server->ClientKey();
    SftpSiteConnection connection(site);
    connection.SetAskpassProgram(KESTOVA_PROGRAM);
    testing::TestRun run(connection);
    run.settings.Site = site;
    run.settings.StartDir = "www";
    run.settings.FetchJob = true;
    run.settings.LocalRoot = local.string();
    run.settings.Retries = retries;
    run.settings.RetryPause = 0;
    const RunOutcome outcome = run.Start();
    EXPECT_GE(relay->Injected().dropped_control, 1) << run.Text();
    for (const auto& item : fs::recursive_directory_iterator(local)) {
      EXPECT_FALSE(Upload::IsTemporaryName(item.path().filename().string())) << item.path();
    }
    for (const auto& [path, text] : testing::Tree(local)) EXPECT_TRUE(text == SiteTree().at(path)) << path;
    if (retries > 0) {
      EXPECT_EQ(outcome, RunOutcome::Finished) << run.Text();
      EXPECT_EQ(testing::Differences(testing::Tree(local), SiteTree()), "") << run.Text();
    } else {
      EXPECT_NE(outcome, RunOutcome::Finished) << run.Text();
      EXPECT_FALSE(fs::exists(local / "img/large.jpg")) << run.Text();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SshServers, FetchSftpCutTest, ::testing::Values(SshKind::OpenSsh, SshKind::Proftpd),
                         [](const ::testing::TestParamInfo<SshKind>& param) {
                           return std::string(param.param == SshKind::OpenSsh ? "sshd" : "proftpd");
                         });

}  // namespace
}  // namespace kestova

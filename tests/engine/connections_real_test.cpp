// Publishing and fetching over several connections side by side, on the
// three FTP servers and sshd: the same tree arrives over one and over four,
// with the log's lines of each file together, comes back whole, and gets its
// redirection pages; a server that takes only two
// connections per address; a connection cut on the way; and Esc while four
// uploads are under way.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTimer>

#include <chrono>
#include <ctime>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/upload.h"
#include "sftp/sftp_site_connection.h"
#include "support/fault_relay.h"
#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using FtpKind = testing::FtpServerFixture::Kind;
using Tree = std::map<std::string, std::string>;

// 40 files in folders two deep, one of them larger than many blocks.
Tree SiteTree() {
  Tree tree;
  for (int i = 0; i < 40; ++i) {
    const std::string folder = i < 10 ? "" : i < 20 ? "a/" : i < 30 ? "b/" : "b/deep/";
    tree[folder + "page" + std::to_string(i) + ".htm"] =
        "<title>" + std::to_string(i) + "</title>\n" + std::string(static_cast<size_t>(i) * 37, 'x');
  }
  std::string large;
  for (int i = 0; i < 300000; ++i) large += static_cast<char>((static_cast<long long>(i) * 7919) % 251);
  tree["a/large.bin"] = large;
  return tree;
}

struct Case {
  const char* name;
  bool sftp = false;
  FtpKind ftp = FtpKind::Pyftpdlib;
  bool tls = false;
};

class ConnectionsTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    // Made hours ago: a copy sent now is newer by more than the hour a
    // LIST-only server's clock change could explain.
    const std::time_t made = std::time(nullptr) - 3 * 3600;
    for (const auto& [path, text] : SiteTree()) {
      testing::WriteFile(Local() / path, text);
      const struct timespec times[2] = {{made, 0}, {made, 0}};
      ::utimensat(AT_FDCWD, (Local() / path).c_str(), times, 0);
    }
    fs::create_directories(Root() / "www");
    std::string why;
    const Case& c = GetParam();
    if (c.sftp) {
      ssh_ = testing::SshServerFixture::Start(Root().string(), why);
      ASSERT_TRUE(ssh_) << why;
      site_ = testing::SshSite(*ssh_);
      sftp_ = OpenSftp();
      run_ = std::make_unique<testing::TestRun>(*sftp_);
      run_->settings.Site = site_;
      run_->open_another = [this] { return std::unique_ptr<SiteConnection>(OpenSftp()); };
      run_->settings.StartDir = "www";
    } else {
      testing::FtpServerOptions options;
      options.tls = c.tls ? testing::ServerTls::Explicit : testing::ServerTls::None;
      ftp_ = testing::FtpServerFixture::Start(c.ftp, Root().string(), why, options);
      ASSERT_TRUE(ftp_) << why;
      run_ = std::make_unique<testing::TestRun>(*ftp_);
      run_->settings.StartDir = "/www";
      run_->settings.Site.Method = TransferMethod::Modern;
    }
    run_->settings.LocalRoot = Local().string();
    run_->settings.BinaryMode = true;
  }
  std::unique_ptr<SftpSiteConnection> OpenSftp() const {
    auto connection = std::make_unique<SftpSiteConnection>(site_);
    connection->SetAskpassProgram(KESTOVA_PROGRAM);
    return connection;
  }
  // What the server has below the start folder, made fresh: an old copy of
  // one page to replace, and what a cut run left in a folder.
  void ServerHasAnOldCopy() {
    fs::remove_all(Root() / "www");
    testing::WriteFile(Root() / "www/a/page12.htm", "an old copy");
    testing::WriteFile(Root() / ("www/a/" + std::string(Upload::kTemporaryPrefix) + "page13.htm"), "cut");
    if (ftp_) ftp_->Own();
    if (ssh_) ssh_->Own();
  }
  // Every "Copy to" line comes straight before the server's reply to it:
  // no other session's lines come between a file's lines.
  void ExpectEachFilesLinesTogether() const {
    const std::vector<std::string>& log = run_->log;
    for (size_t i = 0; i < log.size(); ++i) {
      if (log[i].rfind("Copy to ", 0) != 0) continue;
      ASSERT_LT(i + 1, log.size());
      EXPECT_EQ(log[i + 1].rfind("    - ", 0), 0u) << log[i] << " is followed by " << log[i + 1];
    }
  }
  fs::path Root() const { return dir_.Path() / "server"; }
  fs::path Local() const { return dir_.Path() / "local"; }
  std::string Log() const { return run_->Text(); }

  testing::TempDir dir_;
  SiteSettings site_;
  std::unique_ptr<testing::FtpServerFixture> ftp_;
  std::unique_ptr<testing::SshServerFixture> ssh_;
  std::unique_ptr<SftpSiteConnection> sftp_;
  std::unique_ptr<testing::TestRun> run_;
};

TEST_P(ConnectionsTest, TheSameTreeArrivesOverOneAndOverFourConnections) {
  for (const int connections : {1, 4}) {
    SCOPED_TRACE(std::to_string(connections) + " connections");
    ServerHasAnOldCopy();
    run_->settings.Connections = connections;
    run_->log.clear();
    ASSERT_EQ(run_->Start(), RunOutcome::Finished) << Log();
    EXPECT_EQ(testing::Differences(testing::Tree(Root() / "www"), SiteTree()), "") << Log();
    EXPECT_EQ(run_->Count("Connecting to "), connections) << Log();
    EXPECT_EQ(run_->Count("Copy to "), 41) << Log();
    EXPECT_EQ(run_->Count("Removed ~kestova-partial~page13.htm"), 1) << Log();
    ExpectEachFilesLinesTogether();
  }

  // Wrt Changes over four: only what changed goes, and again exactly; what
  // is no longer local goes once everything was sent.
  Tree expected = SiteTree();
  for (const char* gone : {"b/page21.htm", "b/deep/page33.htm"}) {
    fs::remove(Local() / gone);
    expected.erase(gone);
  }
  run_->settings.RemoveGone = true;
  const std::time_t later = std::time(nullptr) + 7200;
  for (int i = 0; i < 40; i += 2) {
    const std::string path = (i < 10   ? ""
                              : i < 20 ? "a/"
                              : i < 30 ? "b/"
                                       : "b/deep/") +
                             std::string("page") + std::to_string(i) + ".htm";
    expected[path] = "edited " + path;
    testing::WriteFile(Local() / path, expected[path]);
    const struct timespec times[2] = {{later, 0}, {later, 0}};
    ::utimensat(AT_FDCWD, (Local() / path).c_str(), times, 0);
  }
  run_->profile.new_changes = true;
  run_->log.clear();
  ASSERT_EQ(run_->Start(), RunOutcome::Finished) << Log();
  EXPECT_EQ(run_->Count("Write File "), 20) << Log();
  EXPECT_EQ(run_->Count("Connecting to "), 4) << Log();
  EXPECT_EQ(testing::Differences(testing::Tree(Root() / "www"), expected), "") << Log();

  // And back: a fetch over four brings the whole tree.
  run_->settings.FetchJob = true;
  run_->settings.LocalRoot = (dir_.Path() / "fetched").string();
  run_->log.clear();
  ASSERT_EQ(run_->Start(), RunOutcome::Finished) << Log();
  EXPECT_EQ(testing::Differences(testing::Tree(dir_.Path() / "fetched"), expected), "") << Log();
  EXPECT_EQ(run_->Count("Fetched "), 39) << Log();
  EXPECT_EQ(run_->Count("Connecting to "), 4) << Log();

  // The redirection pages over four: each session builds its own, and each
  // page lands over its own path.
  run_->settings.FetchJob = false;
  run_->settings.RedirectJob = true;
  run_->settings.LocalRoot = Local().string();
  run_->log.clear();
  ASSERT_EQ(run_->Start(), RunOutcome::Finished) << Log();
  EXPECT_EQ(run_->Count("## Built redirection page for "), 38) << Log();
  EXPECT_EQ(run_->Count("Connecting to "), 4) << Log();
  for (const auto& [path, bytes] : testing::Tree(Root() / "www")) {
    if (path == "a/large.bin") continue;
    EXPECT_EQ(bytes.rfind("http://new/" + path, 0), 0u) << path << ": " << bytes;
    EXPECT_LT(bytes.size(), path.size() + 16) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, ConnectionsTest,
                         ::testing::Values(Case{"pyftpdlib"}, Case{"vsftpd_tls", false, FtpKind::Vsftpd, true},
                                           Case{"proftpd", false, FtpKind::Proftpd}, Case{"sshd", true}),
                         [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

// A server that takes two connections from one address: the two it refuses
// are said once, and the run sends everything over the two it has.
TEST(ConnectionLimitTest, AServerThatTakesTwoConnectionsGetsTheWholeTreeOverTwo) {
  for (const FtpKind kind : {FtpKind::Pyftpdlib, FtpKind::Vsftpd}) {
    SCOPED_TRACE(testing::FtpServerFixture::Name(kind));
    testing::TempDir dir;
    for (const auto& [path, text] : SiteTree()) testing::WriteFile(dir.Path() / "local" / path, text);
    testing::FtpServerOptions options;
    options.max_connections_per_ip = 2;
    std::string why;
    auto server = testing::FtpServerFixture::Start(kind, (dir.Path() / "server").string(), why, options);
    ASSERT_TRUE(server) << why;
    testing::TestRun run(*server);
    run.settings.Site.Method = TransferMethod::Modern;
    run.settings.LocalRoot = (dir.Path() / "local").string();
    run.settings.BinaryMode = true;
    run.settings.Connections = 4;
    ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
    EXPECT_EQ(testing::Differences(testing::Tree(dir.Path() / "server/www"), SiteTree()), "") << run.Text();
    const auto said = std::count_if(run.log.begin(), run.log.end(), [](const std::string& line) {
      return line.rfind("The server refused 2 of 4 connections (421", 0) == 0 &&
             line.find("): the run goes on with 2 connections.") != std::string::npos;
    });
    EXPECT_EQ(said, 1) << run.Text();
    EXPECT_EQ(run.log.back(), "Finished.");
  }
}

// Connections cut on the way, control and data, among four: the cut one
// connects again by the retry rules, and the tree arrives exact.
TEST(ConnectionFaultTest, ACutConnectionAmongFourIsMadeAgainAndTheTreeArrivesExact) {
  testing::TempDir dir;
  for (const auto& [path, text] : SiteTree()) testing::WriteFile(dir.Path() / "local" / path, text);
  std::string why;
  auto server = testing::FtpServerFixture::Start(FtpKind::Pyftpdlib, (dir.Path() / "server").string(), why);
  ASSERT_TRUE(server) << why;
  testing::FaultPlan plan;
  plan.seed = 7;
  plan.drop_data = 0.1;
  plan.drop_control = 0.02;
  plan.max_faults = 3;
  const auto relay = testing::FaultRelay::Start(std::stoi(server->Port()), plan, why);
  ASSERT_TRUE(relay) << why;
  testing::TestRun run(*server);
  run.settings.Site = testing::ServerSite(*server, relay->Port(), true, TransferMethod::Modern);
  run.settings.LocalRoot = (dir.Path() / "local").string();
  run.settings.BinaryMode = true;
  run.settings.Connections = 4;
  run.settings.Retries = 5;
  run.settings.RetryPause = 1;
  run.settings.Ramped = false;
  ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
  EXPECT_GE(relay->Injected().Faults(), 1);
  EXPECT_GE(relay->Injected().sessions, 4);
  EXPECT_EQ(testing::Differences(testing::Tree(dir.Path() / "server/www"), SiteTree()), "") << run.Text();
}

// Esc while four large files go up side by side: the bytes under way are
// those of all four, every upload ends within a second of Esc, each part is
// removed, and the server keeps nothing cut.
TEST(ConnectionStopTest, EscStopsEveryConnectionAtOnceAndLeavesNoPart) {
  testing::TempDir dir;
  const fs::path local = dir.Path() / "local";
  for (int i = 0; i < 16; ++i) {
    const fs::path big = local / ("big" + std::to_string(i) + ".bin");
    fs::create_directories(local);
    { std::ofstream(big, std::ios::binary); }
    fs::resize_file(big, std::uintmax_t{1} << 30);
  }
  std::string why;
  auto server = testing::FtpServerFixture::Start(FtpKind::Vsftpd, (dir.Path() / "server").string(), why);
  ASSERT_TRUE(server) << why;
  testing::TestRun run(*server);
  run.settings.Site.Method = TransferMethod::Modern;
  run.settings.LocalRoot = local.string();
  run.settings.BinaryMode = true;
  run.settings.Connections = 4;
  Upload& upload = run.Make();
  // The bytes under way, summed over the sessions, as the progress shows them.
  std::int64_t moving = 0;
  upload.WatchTransfers([&moving](std::int64_t bytes) { moving = bytes; });
  const fs::path remote = dir.Path() / "server/www";
  std::chrono::steady_clock::time_point stopped;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    int growing = 0;
    std::int64_t held = 0;
    std::error_code error;
    for (fs::directory_iterator it(remote, error), end; !error && it != end; it.increment(error)) {
      const auto size = static_cast<std::int64_t>(it->file_size(error));
      held += size;
      if (size > (64 << 20)) ++growing;
    }
    if (stopped.time_since_epoch().count() == 0 && growing == 4) {
      // Each of the four has sent at least what the server holds of it, but
      // for the block each may not have reported yet.
      EXPECT_GE(moving + (1 << 20), held);
      stopped = std::chrono::steady_clock::now();
      upload.Stop();
    }
  });
  watch.start(5);
  EXPECT_EQ(upload.StartUpload(), RunOutcome::Terminated) << run.Text();
  ASSERT_NE(stopped.time_since_epoch().count(), 0) << run.Text();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1)) << run.Text();
  EXPECT_EQ(run.Count("Reason: 426 Stopped by the user"), 4) << run.Text();
  EXPECT_EQ(run.Count("Removing the part of /www/big"), 4) << run.Text();
  EXPECT_THAT(run.log, Not(Contains(HasSubstr("Could not remove")))) << run.Text();
  EXPECT_TRUE(fs::is_empty(remote)) << "a part stayed on the server";
  EXPECT_EQ(run.log.back(), "Terminated before completion.");
}

}  // namespace
}  // namespace kestova

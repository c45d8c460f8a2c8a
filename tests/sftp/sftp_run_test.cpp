// Whole runs over SFTP to OpenSSH's sshd and proftpd's mod_sftp: the
// engine's jobs as they are, the SFTP connection under them. A publish leaves a byte-exact tree, a Wrt
// Changes run after it sends nothing, an edited file goes again, and a wipe
// keeps the dot-files.
#include <sys/stat.h>

#include <QTimer>

#include <fstream>
#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/connection_test.h"
#include "sftp/sftp_site_connection.h"
#include "support/fault_relay.h"
#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/program_runner.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;

// The fixture's server as an SFTP site, trusted through `known_hosts`.
SiteSettings SftpSite(const testing::SshServerFixture& server, const std::string& known_hosts) {
  SiteSettings site;
  site.Protocol = SiteProtocol::Sftp;
  site.HostName = "127.0.0.1";
  site.Port = server.Port();
  site.UserName = server.User();
  site.KnownHosts = {known_hosts};
  return site;
}

// A run of the engine over SFTP to `site`, from `local` into the start
// folder www (below the folder the user starts in).
struct SftpRun {
  SftpRun(const SiteSettings& site, const fs::path& local) : connection(site), run(connection) {
    connection.SetAskpassProgram(KESTOVA_PROGRAM);
    run.settings.Site = site;
    run.settings.StartDir = "www";
    run.settings.LocalRoot = local.string();
  }
  SftpSiteConnection connection;
  testing::TestRun run;
};

using Kind = testing::SshServerFixture::Kind;

class SftpRunTest : public ::testing::TestWithParam<Kind> {
 protected:
  std::unique_ptr<testing::SshServerFixture> Start(const fs::path& root) {
    std::string why;
    auto server = testing::SshServerFixture::Start(root.string(), why, GetParam());
    EXPECT_TRUE(server) << why;
    return server;
  }
};

TEST_P(SftpRunTest, EveryJobLeavesTheTreeItSays) {
  testing::TempDir dir;
  const fs::path root = dir.Path() / "root";
  fs::create_directories(root / "www");
  testing::WriteFile(root / "www/.htaccess", "keep\n");
  const auto server = Start(root);
  ASSERT_TRUE(server);
  const fs::path local = dir.Path() / "local";
  testing::WriteFile(local / "index.htm", "<title>Home</title>\r\n");
  testing::WriteFile(local / "sub/logo.gif", std::string(70000, '\x7f'));
  testing::WriteFile(local / "sub/name with space ü.htm", "<title>Ü</title>\n");

  SiteSettings site = SftpSite(*server, server->KnownHosts());
  site.KeyFile = server->ClientKey();
  SftpRun sftp(site, local);
  testing::TestRun& run = sftp.run;
  run.settings.AutoDetect = true;

  // Test connection first, on the connection the runs use after it.
  const ConnectionReport report = TestConnection(site, "www", &sftp.connection);
  EXPECT_TRUE(report.ok) << report.Text();
  EXPECT_THAT(report.lines, Contains(::testing::StartsWith("Connected over SFTP (SSH-2.0-"))) << report.Text();
  EXPECT_THAT(report.lines, Contains("Entered the start directory www.")) << report.Text();

  ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
  auto expected = testing::Tree(local);
  expected[".htaccess"] = "keep\n";
  EXPECT_EQ(testing::Tree(root / "www"), expected);
  // Where FTP would send text, the line says that SFTP sends bytes.
  EXPECT_THAT(run.log, Contains("Copy to " + server->Shown("www/index.htm") +
                                " as Binary (byte for byte: the site has no text mode)"))
      << run.Text();
  EXPECT_THAT(run.log, Contains("Copy to " + server->Shown("www/sub/logo.gif") + " as Binary"));
  // "Connected over SFTP (SSH-2.0-OpenSSH_9.2p1 ...), host key ED25519 SHA256:..., trusted by ..."
  EXPECT_THAT(run.log, Contains(::testing::AllOf(
                           ::testing::StartsWith(GetParam() == Kind::OpenSsh ? "Connected over SFTP (SSH-2.0-OpenSSH_"
                                                                             : "Connected over SFTP (SSH-2.0-mod_sftp"),
                           ::testing::HasSubstr("), host key ED25519 " + server->Fingerprint() + ", trusted by " +
                                                server->KnownHosts()))))
      << run.Text();

  // Nothing changed: nothing is sent; an edit of the same size goes again.
  run.profile.new_changes = true;
  run.log.clear();
  ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
  EXPECT_EQ(run.Count("Write File"), 0) << run.Text();
  EXPECT_EQ(run.Count("The server's listing times are in UTC, as its protocol gives them: no marker file is needed."),
            1);
  testing::WriteFile(local / "index.htm", "<title>Hope</title>\r\n");
  fs::last_write_time(local / "index.htm", fs::file_time_type::clock::now() + std::chrono::hours(1));
  run.log.clear();
  ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
  EXPECT_EQ(run.Count("Write File"), 1) << run.Text();
  EXPECT_EQ(testing::ReadFile(root / "www/index.htm"), "<title>Hope</title>\r\n");

  // A wipe first: what is not local goes, the dot-file stays.
  testing::WriteFile(root / "www/old/gone.htm", "old");
  server->Own();
  run.profile.new_changes = false;
  run.settings.WipeFirst = true;
  run.log.clear();
  ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
  expected = testing::Tree(local);
  expected[".htaccess"] = "keep\n";
  EXPECT_EQ(testing::Tree(root / "www"), expected);
  EXPECT_FALSE(fs::exists(root / "www/old"));

  // A test run, of a wipe even, only says what it would do.
  testing::WriteFile(local / "index.htm", "<title>Not sent</title>\n");
  fs::last_write_time(local / "index.htm", fs::file_time_type::clock::now() + std::chrono::hours(2));
  run.profile.test_run = true;
  run.log.clear();
  ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
  EXPECT_EQ(testing::Tree(root / "www"), expected);
  EXPECT_GT(run.Count("## Test:"), 0) << run.Text();

  // The redirect job: a page over every page, at the same paths.
  fs::create_directories(root / "old");
  server->Own();
  run.profile.test_run = false;
  run.settings.WipeFirst = false;
  run.settings.RedirectJob = true;
  run.settings.StartDir = "old";
  run.log.clear();
  ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
  const auto pages = testing::Tree(root / "old");
  ASSERT_EQ(pages.size(), 2u) << run.Text();
  EXPECT_THAT(pages.at("index.htm"), ::testing::HasSubstr("http://new/index.htm"));
  EXPECT_THAT(pages.at("sub/name with space ü.htm"),
              ::testing::HasSubstr("http://new/sub/name%20with%20space%20%C3%BC.htm"));
}

// A server without posix-rename@openssh.com (sshd told to refuse it) still
// gets every file replaced: the old copy goes first, then the plain rename,
// and the log says so once.
TEST(SftpRunWithoutAtomicRenameTest, EveryFileIsStillReplacedAndTheLogSaysHowOnce) {
  testing::TempDir dir;
  const fs::path root = dir.Path() / "root";
  testing::WriteFile(root / "www/a.htm", "old a");
  testing::WriteFile(root / "www/b.htm", "old b");
  std::string why;
  const auto server = testing::SshServerFixture::Start(root.string(), why, Kind::OpenSsh, "posix-rename");
  ASSERT_TRUE(server) << why;
  testing::WriteFile(dir.Path() / "local/a.htm", "new a");
  testing::WriteFile(dir.Path() / "local/b.htm", "new b");
  SiteSettings site = SftpSite(*server, server->KnownHosts());
  site.KeyFile = server->ClientKey();
  SftpRun sftp(site, dir.Path() / "local");
  testing::TestRun& run = sftp.run;
  ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
  EXPECT_EQ(testing::Tree(root / "www"), testing::Tree(dir.Path() / "local")) << run.Text();
  EXPECT_EQ(run.Count("The server refused to rename onto an existing file"), 1) << run.Text();
  EXPECT_EQ(run.Count("    - Renamed into place"), 2) << run.Text();
}

// Keeping the site in step over SFTP: a local rename becomes a send and a
// remove; what is excluded stays on the server.
TEST_P(SftpRunTest, WhatIsGoneLocallyIsRemovedAndWhatIsExcludedStays) {
  testing::TempDir dir;
  const fs::path root = dir.Path() / "root";
  testing::WriteFile(root / "www/old-name.htm", "renamed");
  testing::WriteFile(root / "www/gone/page.htm", "gone");
  testing::WriteFile(root / "www/art/logo.psd", "excluded");
  const auto server = Start(root);
  ASSERT_TRUE(server);
  testing::WriteFile(dir.Path() / "local/new-name.htm", "renamed");
  SiteSettings site = SftpSite(*server, server->KnownHosts());
  site.KeyFile = server->ClientKey();
  SftpRun sftp(site, dir.Path() / "local");
  testing::TestRun& run = sftp.run;
  run.settings.RemoveGone = true;
  run.settings.Exclude = "*.psd";
  ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
  EXPECT_EQ(testing::Tree(root / "www"),
            (std::map<std::string, std::string>{{"new-name.htm", "renamed"}, {"art/logo.psd", "excluded"}}))
      << run.Text();
  EXPECT_EQ(run.Count("Removed " + server->Shown("www/gone") + " (no longer in the local folder)"), 1) << run.Text();
}

// A host key that is not known, or a password the server refuses, stops
// the first connect for good: no retry, the reason and what to do in the
// log (for the key, before any login).
TEST_P(SftpRunTest, AnUnknownHostKeyOrARefusedPasswordEndsTheRunWithoutRetrying) {
  testing::TempDir dir;
  const auto server = Start(dir.Path() / "root");
  ASSERT_TRUE(server);
  testing::WriteFile(dir.Path() / "local/index.htm", "x");
  std::ofstream(dir.Path() / "no_hosts").close();
  const struct {
    std::string known_hosts, password, reason, then;
  } cases[] = {
      {(dir.Path() / "no_hosts").string(), server->Password(),
       "Reason: The host key of 127.0.0.1 is not known: ED25519 " + server->Fingerprint(),
       "No user id or password was sent."},
      {server->KnownHosts(), "not the password", "Reason: ", "The server refused the login."},
  };
  for (const auto& c : cases) {
    SiteSettings site = SftpSite(*server, c.known_hosts);
    site.PassWord = c.password;
    SftpRun sftp(site, dir.Path() / "local");
    testing::TestRun& run = sftp.run;
    run.settings.Retries = 3;
    EXPECT_EQ(run.Start(), RunOutcome::NotConnected) << run.Text();
    EXPECT_EQ(run.Count("Connecting to"), 1) << run.Text();
    EXPECT_EQ(run.Count(c.reason), 1) << run.Text();
    EXPECT_EQ(run.Count(c.then), 1) << run.Text();
  }
}

// The command line end to end: a profile set to SFTP, its host key trusted
// with 'profile trust' into Kestova's own file, then a publish that the key
// lets through, logging in with the stored password.
TEST_P(SftpRunTest, TheCommandTrustsTheHostKeyThenPublishesWithThePassword) {
  testing::TempDir dir;
  const auto server = Start(dir.Path() / "root");
  ASSERT_TRUE(server);
  fs::create_directories(dir.Path() / "root/www");
  server->Own();
  testing::WriteFile(dir.Path() / "local/index.htm", "<title>Home</title>\n");
  const std::string store = (dir.Path() / "con fig/registry.db").string();
  const std::string scratch = dir.Path().string();
  const auto kestova = [&](const std::string& args) {
    return testing::RunProgram(KESTOVA_PROGRAM, store, args, scratch);
  };
  const auto set = kestova("profile set NewProtocol=sftp NewHostName=127.0.0.1 NewPort=" + server->Port() +
                           " NewUserId=" + server->User() + " NewPassword=" + server->Password() +
                           " NewStartDir=www RootSource=" + (dir.Path() / "local").string());
  ASSERT_EQ(set.code, 0) << set.all();

  // Not trusted yet: the run stops before any login, exit 2, with the key.
  const auto refused = kestova("run publish");
  EXPECT_EQ(refused.code, 2) << refused.all();
  EXPECT_NE(refused.out.find("is not known: ED25519 " + server->Fingerprint()), std::string::npos) << refused.all();

  const auto trusted = kestova("profile trust new --yes");
  ASSERT_EQ(trusted.code, 0) << trusted.all();
  EXPECT_NE(trusted.out.find("Host key ED25519 " + server->Fingerprint()), std::string::npos) << trusted.out;
  const std::string file = (dir.Path() / "con fig/known_hosts").string();
  EXPECT_NE(testing::ReadFile(file).find("[127.0.0.1]:" + server->Port() + " ssh-ed25519 "), std::string::npos);
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const auto published = kestova("run publish");
  EXPECT_EQ(published.code, 0) << published.all();
  EXPECT_NE(published.out.find("trusted by " + file), std::string::npos) << published.out;
  EXPECT_EQ(testing::ReadFile(dir.Path() / "root/www/index.htm"), "<title>Home</title>\n");
}

// The SSH stream cut in the middle of uploads, through a relay that passes
// the encrypted bytes on unread. With retries the run reconnects and ends
// with the exact tree; without, it stops, and every file on the server is
// whole: the old one or the new one, never a cut one under its real name.
TEST_P(SftpRunTest, CutSshStreamsRetryToAnExactTreeAndNeverLeaveACutFile) {
  const struct {
    int retries;
    bool finishes;
  } cases[] = {{4, true}, {0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.retries);
    testing::TempDir dir;
    const fs::path root = dir.Path() / "root";
    const fs::path local = dir.Path() / "local";
    std::map<std::string, std::string> old_files, new_files;
    for (int i = 0; i < 12; ++i) {
      const std::string name = "f" + std::to_string(i) + ".bin";
      old_files[name] = std::string(90000 + i, static_cast<char>('a' + i));
      new_files[name] = std::string(100000 + 7 * i, static_cast<char>('A' + i));
      testing::WriteFile(root / "www" / name, old_files[name]);
      testing::WriteFile(local / name, new_files[name]);
    }
    const auto server = Start(root);
    ASSERT_TRUE(server);
    // The relay cuts each session somewhere past its login, in the 1.2 MB
    // the files take, until it has cut two.
    testing::FaultPlan plan;
    plan.blind = true;
    plan.seed = 7 + static_cast<std::uint32_t>(c.retries);
    plan.drop_control = 1.0;
    plan.min_control_cut = 150000;
    plan.max_control_cut = 900000;
    plan.max_faults = 2;
    std::string why;
    const auto relay = testing::FaultRelay::Start(std::stoi(server->Port()), plan, why);
    ASSERT_TRUE(relay) << why;
    const std::string known = server->KnownHostsAt(relay->Host(), relay->Port(), dir.File("relay_hosts"));
    SiteSettings site = SftpSite(*server, known);
    site.HostName = relay->Host();
    site.Port = relay->Port();
    site.KeyFile = server->ClientKey();
    SftpRun sftp(site, local);
    testing::TestRun& run = sftp.run;
    run.settings.Retries = c.retries;
    run.settings.RetryPause = 0;
    const RunOutcome outcome = run.Start();
    EXPECT_EQ(outcome == RunOutcome::Finished, c.finishes) << run.Text();
    EXPECT_GE(relay->Injected().dropped_control, c.finishes ? 2 : 1) << run.Text();
    const auto tree = testing::Tree(root / "www");
    if (c.finishes) {
      EXPECT_EQ(tree, testing::Tree(local)) << run.Text();
      continue;
    }
    for (const auto& [name, content] : old_files) {
      ASSERT_TRUE(tree.count(name)) << name << " is gone";
      const std::string& there = tree.at(name);
      EXPECT_TRUE(there == content || there == new_files[name]) << name << " holds " << there.size() << " bytes";
    }
  }
}

// A stop in the middle of a large upload ends the run within a second; the
// part sent under the temporary name is removed and the server's copy is
// the old one.
TEST_P(SftpRunTest, AStopMidUploadEndsAtOnceAndLeavesTheOldCopy) {
  testing::TempDir dir;
  const fs::path root = dir.Path() / "root";
  testing::WriteFile(root / "www/big.bin", "old");
  const auto server = Start(root);
  ASSERT_TRUE(server);
  testing::WriteFile(dir.Path() / "local/big.bin", "");
  fs::resize_file(dir.Path() / "local/big.bin", std::uintmax_t{1} << 30);  // sparse: read as fast as zeros
  SiteSettings site = SftpSite(*server, server->KnownHosts());
  site.KeyFile = server->ClientKey();
  SftpRun sftp(site, dir.Path() / "local");
  testing::TestRun& run = sftp.run;
  // The gigabyte takes seconds; the stop comes well after the connect.
  std::chrono::steady_clock::time_point stopped_at{};
  QTimer::singleShot(1500, [&] {
    stopped_at = std::chrono::steady_clock::now();
    run.Current().Stop();
  });
  EXPECT_EQ(run.Start(), RunOutcome::Terminated) << run.Text();
  ASSERT_NE(stopped_at, std::chrono::steady_clock::time_point{}) << run.Text();
  EXPECT_EQ(run.Count("Copy to"), 1) << run.Text();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped_at, std::chrono::seconds(1)) << run.Text();
  EXPECT_EQ(testing::Tree(root / "www"), (std::map<std::string, std::string>{{"big.bin", "old"}})) << run.Text();
}

INSTANTIATE_TEST_SUITE_P(Servers, SftpRunTest, ::testing::Values(Kind::OpenSsh, Kind::Proftpd),
                         [](const ::testing::TestParamInfo<Kind>& tested) {
                           return tested.param == Kind::OpenSsh ? "sshd" : "proftpd";
                         });

}  // namespace
}  // namespace kestova

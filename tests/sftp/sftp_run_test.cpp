// Whole runs over SFTP to OpenSSH's sshd: the engine's jobs as they are, the
// SFTP connection under them. A publish leaves a byte-exact tree, a Wrt
// Changes run after it sends nothing, an edited file goes again, and a wipe
// keeps the dot-files.
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sftp/sftp_site_connection.h"
#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;

TEST(SftpRunTest, EveryJobLeavesTheTreeItSays) {
  testing::TempDir dir;
  const fs::path root = dir.Path() / "root";
  fs::create_directories(root / "www");
  testing::WriteFile(root / "www/.htaccess", "keep\n");
  std::string why;
  const auto server = testing::SshServerFixture::Start(root.string(), why);
  ASSERT_TRUE(server) << why;
  const fs::path local = dir.Path() / "local";
  testing::WriteFile(local / "index.htm", "<title>Home</title>\r\n");
  testing::WriteFile(local / "sub/logo.gif", std::string(70000, '\x7f'));
  testing::WriteFile(local / "sub/name with space ü.htm", "<title>Ü</title>\n");

  SiteSettings site;
  site.Protocol = SiteProtocol::Sftp;
  site.HostName = "127.0.0.1";
  site.Port = server->Port();
  site.UserName = server->User();
  site.KeyFile = server->ClientKey();
  site.KnownHosts = {server->KnownHosts()};
  SftpSiteConnection connection(site);
  connection.SetAskpassProgram(KESTOVA_PROGRAM);
  testing::TestRun run(connection);
  run.settings.Site = site;
  run.settings.StartDir = "www";  // below the folder the user starts in
  run.settings.LocalRoot = local.string();
  run.settings.AutoDetect = true;

  ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
  auto expected = testing::Tree(local);
  expected[".htaccess"] = "keep\n";
  EXPECT_EQ(testing::Tree(root / "www"), expected);
  // "Connected over SFTP (SSH-2.0-OpenSSH_9.2p1 ...), host key ED25519 SHA256:..., trusted by ..."
  EXPECT_THAT(run.log, Contains(::testing::AllOf(::testing::StartsWith("Connected over SFTP (SSH-2.0-OpenSSH_"),
                                                 ::testing::HasSubstr("), host key ED25519 " + server->Fingerprint() +
                                                                      ", trusted by " + server->KnownHosts()))))
      << run.Text();

  // Nothing changed: nothing is sent; an edit of the same size goes again.
  run.profile.new_changes = true;
  run.log.clear();
  ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
  EXPECT_EQ(run.Count("Write File"), 0) << run.Text();
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
}

// A host key that is not known stops the first connect for good: no retry,
// no login, the key's fingerprint and what to do in the log.
TEST(SftpRunTest, AnUnknownHostKeyEndsTheRunBeforeAnyLoginWithoutRetrying) {
  testing::TempDir dir;
  std::string why;
  const auto server = testing::SshServerFixture::Start((dir.Path() / "root").string(), why);
  ASSERT_TRUE(server) << why;
  testing::WriteFile(dir.Path() / "local/index.htm", "x");
  std::ofstream(dir.Path() / "no_hosts").close();
  SiteSettings site;
  site.Protocol = SiteProtocol::Sftp;
  site.HostName = "127.0.0.1";
  site.Port = server->Port();
  site.UserName = server->User();
  site.PassWord = server->Password();
  site.KnownHosts = {(dir.Path() / "no_hosts").string()};
  SftpSiteConnection connection(site);
  connection.SetAskpassProgram(KESTOVA_PROGRAM);
  testing::TestRun run(connection);
  run.settings.Site = site;
  run.settings.Retries = 3;
  run.settings.StartDir = "www";
  run.settings.LocalRoot = (dir.Path() / "local").string();
  EXPECT_EQ(run.Start(), RunOutcome::NotConnected) << run.Text();
  EXPECT_EQ(run.Count("Connecting to"), 1) << run.Text();
  EXPECT_EQ(run.Count("Reason: The host key of 127.0.0.1 is not known: ED25519 " + server->Fingerprint()), 1)
      << run.Text();
  EXPECT_EQ(run.Count("No user id or password was sent."), 1) << run.Text();
}

}  // namespace
}  // namespace kestova

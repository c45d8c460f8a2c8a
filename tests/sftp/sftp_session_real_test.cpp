// The SFTP session against OpenSSH's sshd and proftpd's mod_sftp on loopback, through the real ssh
// client: the calls change the server's files as they say, writes in flight
// many at a time arrive whole, and a host key or a login that is not right
// stops the session with ssh's own words.
#include "sftp/sftp_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sftp/host_keys.h"
#include "support/failing_stream.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

using Kind = testing::SshServerFixture::Kind;

class SftpSessionTest : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    std::string why;
    fs::create_directories(dir_.Path() / "root" / "www");
    server_ = testing::SshServerFixture::Start((dir_.Path() / "root").string(), why, GetParam());
    ASSERT_TRUE(server_) << why;
    target_.host = "127.0.0.1";
    target_.port = server_->Port();
    target_.user = server_->User();
    target_.key_file = server_->ClientKey();
    target_.known_hosts = {server_->KnownHosts()};
    target_.askpass_program = KESTOVA_PROGRAM;
    target_.limit = std::chrono::seconds(10);
  }
  fs::path Root() const { return dir_.Path() / "root"; }

  testing::TempDir dir_;
  std::unique_ptr<testing::SshServerFixture> server_;
  SshTarget target_;
};

TEST_P(SftpSessionTest, CallsChangeTheServersFilesAsTheySay) {
  SftpSession session;
  ASSERT_TRUE(session.Open(target_)) << session.Failure();
  EXPECT_TRUE(session.HasExtension("posix-rename@openssh.com"));
  std::string home;
  ASSERT_EQ(session.RealPath(".", home), sftp::kOk) << session.Failure();
  EXPECT_EQ(home, server_->Shown(""));

  ASSERT_EQ(session.MakeFolder("www/sub dir"), sftp::kOk) << session.Failure();
  EXPECT_EQ(session.MakeFolder("www/sub dir"), sftp::kFailure);  // there already
  // 3 MiB and a little: many writes in flight, the last one short.
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 % 251);
  MemoryStream stream;
  stream.Write(big.data(), static_cast<std::int64_t>(big.size()));
  stream.Seek(0);
  std::int64_t heard = 0;
  ASSERT_EQ(session.Write("www/sub dir/~part~big.bin", stream, [&](std::int64_t bytes) { heard = bytes; }), sftp::kOk)
      << session.Failure();
  EXPECT_EQ(heard, static_cast<std::int64_t>(big.size()));
  // Renamed over a file that is there: replaced where asked, refused otherwise.
  std::ofstream(Root() / "www/sub dir/big.bin") << "old";
  server_->Own();
  EXPECT_NE(session.Rename("www/sub dir/~part~big.bin", "www/sub dir/big.bin", false), sftp::kOk);
  ASSERT_EQ(session.Rename("www/sub dir/~part~big.bin", "www/sub dir/big.bin", true), sftp::kOk) << session.Failure();
  EXPECT_EQ(Read(Root() / "www/sub dir/big.bin"), big);
  // Read back, many reads in flight: the same bytes, in order; a file that
  // is not there, and a sink that will not take the data, are told apart.
  MemoryStream back;
  std::int64_t read = 0;
  ASSERT_EQ(session.Read("www/sub dir/big.bin", back, [&](std::int64_t bytes) { read = bytes; }), sftp::kOk)
      << session.Failure();
  EXPECT_TRUE(back.Data() == big);
  EXPECT_EQ(read, static_cast<std::int64_t>(big.size()));
  EXPECT_EQ(session.Read("www/sub dir/none.bin", back), sftp::kNoSuchFile);
  testing::FailingStream refusing("");
  EXPECT_EQ(session.Read("www/sub dir/big.bin", refusing), sftp::kFailure);
  EXPECT_TRUE(session.LocalFailure());
  EXPECT_TRUE(session.Connected());  // the session goes on

  std::vector<sftp::Reply::Name> names;
  ASSERT_EQ(session.List("www/sub dir", names), sftp::kOk) << session.Failure();
  std::vector<std::string> listed;
  for (const auto& name : names) {
    const RemoteEntry entry = sftp::EntryOf(name);
    if (entry.name == "big.bin") {
      EXPECT_EQ(entry.kind, RemoteEntry::Kind::File);
      EXPECT_EQ(entry.size, static_cast<std::int64_t>(big.size()));
      EXPECT_EQ(entry.precision, RemoteEntry::Precision::Second);
    }
    listed.push_back(entry.name);
  }
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{".", "..", "big.bin"}));

  EXPECT_EQ(session.RemoveFolder("www/sub dir"), sftp::kFailure);  // not empty
  EXPECT_EQ(session.Remove("www/sub dir/big.bin"), sftp::kOk) << session.Failure();
  EXPECT_EQ(session.Remove("www/sub dir/big.bin"), sftp::kNoSuchFile);
  EXPECT_EQ(session.RemoveFolder("www/sub dir"), sftp::kOk) << session.Failure();
  EXPECT_FALSE(fs::exists(Root() / "www/sub dir"));
  session.Close();
  EXPECT_FALSE(session.Connected());
}

// A host key ssh does not know, or one that changed, stops the session
// before any login with the key's type and fingerprint; a key the server
// does not take is ssh's own "Permission denied".
TEST_P(SftpSessionTest, AnUnknownOrChangedHostKeyOrAWrongKeyStopsBeforeAnyFileIsTouched) {
  const std::string empty = (dir_.Path() / "no_hosts").string();
  std::ofstream(empty).close();
  // The client's key stands for another host key of the same host.
  const std::string changed = (dir_.Path() / "changed_hosts").string();
  std::string type, other_key;
  std::ifstream(server_->ClientKey() + ".pub") >> type >> other_key;
  std::ofstream(changed) << "# another host\n[127.0.0.1]:" << server_->Port() << " " << type << " " << other_key
                         << "\n";
  const struct {
    std::string known_hosts;
    SftpSession::HostKey::Problem problem;
    const char* said;
    std::string also;  // a changed key's message names the one known_hosts held too
  } cases[] = {
      {empty, SftpSession::HostKey::Problem::Unknown, "is not known: ED25519 ", ""},
      {changed, SftpSession::HostKey::Problem::Changed, "has changed: it is now ED25519 ",
       ", not the ED25519 " + HostKeyFingerprint(other_key) + " that " + changed + " holds for it"},
  };
  for (const auto& c : cases) {
    SftpSession session;
    SshTarget target = target_;
    target.known_hosts = {c.known_hosts};
    target.password = server_->Password();  // never asked for: the key stops it first
    EXPECT_FALSE(session.Open(target));
    EXPECT_EQ(session.HostKeyRefused().problem, c.problem) << session.Failure();
    EXPECT_EQ(session.HostKeyRefused().fingerprint, server_->Fingerprint());
    EXPECT_NE(session.Failure().find(c.said + server_->Fingerprint() + c.also), std::string::npos) << session.Failure();
  }
  SftpSession session;
  SshTarget no_key = target_;
  no_key.key_file = (dir_.Path() / "missing_key").string();
  EXPECT_FALSE(session.Open(no_key));
  EXPECT_EQ(session.HostKeyRefused().problem, SftpSession::HostKey::Problem::None);
  EXPECT_NE(session.Failure().find("Permission denied"), std::string::npos) << session.Failure();
}

// A stored password reaches ssh through the askpass helper (this program,
// reading it from the run's socket), once: a wrong one is refused at once.
TEST_P(SftpSessionTest, APasswordGoesToSshThroughTheHelperAndAWrongOneIsRefusedAtOnce) {
  SshTarget with_password = target_;
  with_password.key_file.clear();
  with_password.password = server_->Password();
  SftpSession session;
  ASSERT_TRUE(session.Open(with_password)) << session.Failure();
  std::string home;
  EXPECT_EQ(session.RealPath(".", home), sftp::kOk) << session.Failure();
  session.Close();

  with_password.password = "not the password";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(session.Open(with_password));
  EXPECT_NE(session.Failure().find("Permission denied"), std::string::npos) << session.Failure();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
}

INSTANTIATE_TEST_SUITE_P(Servers, SftpSessionTest, ::testing::Values(Kind::OpenSsh, Kind::Proftpd),
                         [](const ::testing::TestParamInfo<Kind>& tested) {
                           return tested.param == Kind::OpenSsh ? "sshd" : "proftpd";
                         });

}  // namespace
}  // namespace kestova

// The FTP client against real servers (pyftpdlib, vsftpd and proftpd) on
// loopback, in passive and active mode, plain and over TLS, and through a
// real FTP proxy.
#include <openssl/ssl.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ftp/ftp_client.h"
#include "support/failing_stream.h"
#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using testing::FtpServerFixture;
using ::testing::HasSubstr;
using testing::ReadFile;
using testing::ServerTls;

struct Mode {
  FtpServerFixture::Kind kind;
  bool passive;
  ServerTls tls = ServerTls::None;
  int max_version = 0;  // the newest TLS version the client offers; 0 for any
};

std::string Describe(const Mode& mode) {
  return std::string(FtpServerFixture::Name(mode.kind)) + (mode.passive ? "Passive" : "Active") +
         (mode.tls == ServerTls::Explicit   ? "ExplicitTls"
          : mode.tls == ServerTls::Implicit ? "ImplicitTls"
                                            : "") +
         (mode.max_version == TLS1_2_VERSION ? "12" : "");
}
std::string ModeName(const ::testing::TestParamInfo<Mode>& info) { return Describe(info.param); }
// gtest would print the struct's bytes, padding included.
void PrintTo(const Mode& mode, std::ostream* out) { *out << Describe(mode); }

class RealServerTest : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    std::string why;
    testing::FtpServerOptions options;
    options.tls = GetParam().tls;
    server_ = FtpServerFixture::Start(GetParam().kind, (dir_.Path() / "root").string(), why, options);
    ASSERT_TRUE(server_) << why;
    if (GetParam().tls != ServerTls::None) {
      client_.Security = GetParam().tls == ServerTls::Explicit ? FtpSecurity::Explicit : FtpSecurity::Implicit;
      client_.TrustedFingerprint = server_->Certificate()->fingerprint;
      client_.TlsMaxVersion = GetParam().max_version;
    }
    client_.HostName = "127.0.0.1";
    client_.Port = server_->Port();
    client_.UserName = server_->User();
    client_.PassWord = server_->Password();
    client_.SetPassive(GetParam().passive);
    client_.Timeout = 15;
    client_.OnDisplay = [this](FtpClientCore&, std::string& line) { trace_ += line + "\n"; };
  }

  testing::TempDir dir_;
  std::unique_ptr<FtpServerFixture> server_;
  FtpClient client_;
  std::string trace_;  // shown when an assertion fails
};

TEST_P(RealServerTest, ASessionFromLoginToQuit) {
  const fs::path root = server_->Root();
  std::string big(5 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 11);
  const std::string local_big = dir_.File("big.bin");
  std::ofstream(local_big, std::ios::binary) << big;
  const std::string local_empty = dir_.File("empty.htm");
  std::ofstream(local_empty).close();

  ASSERT_TRUE(client_.Connect()) << client_.LastReply << "\n" << trace_;
  if (GetParam().tls == ServerTls::None) {
    EXPECT_THAT(client_.LastReply, ::testing::StartsWith("230"));
    EXPECT_EQ(client_.TlsSummary(), "");
  } else {
    EXPECT_THAT(client_.LastReply, ::testing::StartsWith("200"));  // to PROT P
    EXPECT_THAT(client_.TlsSummary(), ::testing::StartsWith(GetParam().max_version ? "TLS 1.2 (" : "TLS 1.3 ("));
    EXPECT_THAT(client_.TlsSummary(), ::testing::EndsWith("certificate trusted by its fingerprint"));
  }
  ASSERT_TRUE(client_.Pwd()) << client_.LastReply;
  EXPECT_EQ(client_.ReplyPath, "/");
  client_.HostFileName = "site";
  ASSERT_TRUE(client_.Mkd()) << client_.LastReply;
  client_.HostDirName = "site";
  ASSERT_TRUE(client_.Cwd()) << client_.LastReply;
  ASSERT_TRUE(client_.TypeBinary());

  client_.SetLocalFileName(local_big);
  client_.HostFileName = "big.bin";
  ASSERT_TRUE(client_.Put()) << client_.LastReply << " / " << client_.ErrorMessage << "\n" << trace_;
  EXPECT_THAT(client_.LastReply, ::testing::StartsWith("226"));
  EXPECT_TRUE(ReadFile(root / "site" / "big.bin") == big) << "the uploaded file differs";
  // Received back whole: the cap on listings does not apply to files.
  client_.MaxListingBytes = 1 << 20;
  MemoryStream received;
  client_.SetLocalStream(&received);
  ASSERT_TRUE(client_.Get()) << client_.LastReply << " / " << client_.ErrorMessage << "\n" << trace_;
  client_.SetLocalStream(nullptr);
  EXPECT_THAT(client_.LastReply, ::testing::StartsWith("226"));
  EXPECT_TRUE(received.Data() == big) << "the received file differs: " << received.Data().size() << " bytes";
  // A local side that will not take the data fails the receive with why.
  testing::FailingStream refusing("");
  client_.SetLocalStream(&refusing);
  EXPECT_FALSE(client_.Get());
  client_.SetLocalStream(nullptr);
  EXPECT_THAT(client_.FailureText(), HasSubstr("Cannot keep the data received")) << trace_;
  client_.SetLocalFileName(local_empty);
  client_.HostFileName = "empty.htm";
  ASSERT_TRUE(client_.Put()) << client_.LastReply << "\n" << trace_;
  EXPECT_TRUE(fs::exists(root / "site" / "empty.htm"));
  EXPECT_EQ(fs::file_size(root / "site" / "empty.htm"), 0u);

  MemoryStream listing;
  client_.SetLocalStream(&listing);
  client_.HostFileName = "";
  ASSERT_TRUE(client_.Dir()) << client_.LastReply;
  EXPECT_THAT(listing.Data(), HasSubstr("big.bin"));
  EXPECT_THAT(listing.Data(), HasSubstr(std::to_string(5 << 20)));
  listing.Clear();
  ASSERT_TRUE(client_.Ls()) << client_.LastReply;
  EXPECT_THAT(listing.Data(), HasSubstr("empty.htm"));
  client_.SetLocalStream(nullptr);

  client_.HostFileName = "big.bin";
  ASSERT_TRUE(client_.Dele()) << client_.LastReply;
  client_.HostFileName = "empty.htm";
  ASSERT_TRUE(client_.Dele()) << client_.LastReply;
  ASSERT_TRUE(client_.CDup()) << client_.LastReply;
  client_.HostFileName = "site";
  ASSERT_TRUE(client_.Rmd()) << client_.LastReply;
  EXPECT_FALSE(fs::exists(root / "site"));
  ASSERT_TRUE(client_.Quit()) << client_.LastReply;
  EXPECT_FALSE(client_.Connected());
}

TEST_P(RealServerTest, AWrongPasswordAndAMissingFolderAreRefused) {
  client_.PassWord = "wrong";
  EXPECT_FALSE(client_.Connect());
  EXPECT_THAT(client_.LastReply, ::testing::StartsWith("530"));
  client_.Abort();
  client_.PassWord = server_->Password();
  ASSERT_TRUE(client_.Connect()) << client_.LastReply;
  client_.HostDirName = "no-such-folder";
  EXPECT_FALSE(client_.Cwd());
  EXPECT_THAT(client_.LastReply, ::testing::StartsWith("550"));
  EXPECT_TRUE(client_.Quit());
}

INSTANTIATE_TEST_SUITE_P(
    Servers, RealServerTest,
    ::testing::Values(Mode{FtpServerFixture::Kind::Pyftpdlib, true}, Mode{FtpServerFixture::Kind::Pyftpdlib, false},
                      Mode{FtpServerFixture::Kind::Vsftpd, true}, Mode{FtpServerFixture::Kind::Vsftpd, false},
                      Mode{FtpServerFixture::Kind::Proftpd, true}, Mode{FtpServerFixture::Kind::Proftpd, false},
                      Mode{FtpServerFixture::Kind::Pyftpdlib, true, ServerTls::Explicit},
                      Mode{FtpServerFixture::Kind::Pyftpdlib, false, ServerTls::Explicit},
                      Mode{FtpServerFixture::Kind::Vsftpd, true, ServerTls::Explicit},
                      Mode{FtpServerFixture::Kind::Vsftpd, false, ServerTls::Explicit},
                      Mode{FtpServerFixture::Kind::Vsftpd, true, ServerTls::Explicit, TLS1_2_VERSION},
                      Mode{FtpServerFixture::Kind::Vsftpd, false, ServerTls::Implicit, TLS1_2_VERSION},
                      Mode{FtpServerFixture::Kind::Vsftpd, true, ServerTls::Implicit},
                      Mode{FtpServerFixture::Kind::Proftpd, true, ServerTls::Explicit},
                      Mode{FtpServerFixture::Kind::Proftpd, false, ServerTls::Explicit},
                      Mode{FtpServerFixture::Kind::Proftpd, true, ServerTls::Implicit, TLS1_2_VERSION},
                      Mode{FtpServerFixture::Kind::Proftpd, false, ServerTls::Implicit}),
    ModeName);

TEST(FtpProxy, TheProxyLoginFormReachesTheServerBehindIt) {
  testing::TempDir dir;
  std::string why;
  auto server = FtpServerFixture::Start(FtpServerFixture::Kind::Pyftpdlib, (dir.Path() / "root").string(), why);
  ASSERT_TRUE(server) << why;
  auto proxy = testing::FtpProxyFixture::Start(why);
  ASSERT_TRUE(proxy) << why;
  FtpClient client;
  client.HostName = "127.0.0.1";
  client.Port = server->Port();
  client.UserName = server->User();
  client.PassWord = server->Password();
  client.ProxyServer = "127.0.0.1";
  client.ProxyPort = proxy->Port();
  client.SetConnectionType(FtpConnectionType::ftpProxy);
  std::vector<std::string> trace;
  client.OnDisplay = [&](FtpClientCore&, std::string& line) { trace.push_back(line); };
  ASSERT_TRUE(client.Connect()) << client.LastReply;
  EXPECT_THAT(trace, ::testing::Contains("> USER " + server->User() + "@127.0.0.1:" + server->Port()));
  MemoryStream page;
  page.Write("through the proxy", 17);
  page.Seek(0);
  client.SetLocalStream(&page);
  client.HostFileName = "proxied.htm";
  ASSERT_TRUE(client.TypeBinary());
  ASSERT_TRUE(client.Put()) << client.LastReply;
  MemoryStream listing;
  client.SetLocalStream(&listing);
  client.HostFileName = "";
  ASSERT_TRUE(client.Dir()) << client.LastReply;
  EXPECT_THAT(listing.Data(), HasSubstr("proxied.htm"));
  EXPECT_TRUE(client.Quit());
  EXPECT_EQ(ReadFile(fs::path(server->Root()) / "proxied.htm"), "through the proxy");
}

}  // namespace
}  // namespace kestova

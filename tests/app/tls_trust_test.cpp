// FTP over TLS end to end with the real program: an untrusted certificate
// stops the run before the login, `kestova profile trust` stores its
// fingerprint, a trusted or verified certificate connects, a changed one is
// refused again, and a site that requires TLS never sends its login to a
// server without it. Each server writes the commands it receives to a log,
// which is how the tests know that no USER or PASS arrived.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/program_runner.h"
#include "support/temp_dir.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using testing::FtpServerFixture;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::ServerTls;
using Kind = FtpServerFixture::Kind;

struct Server {
  Kind kind;
  ServerTls tls;
};

std::string Describe(const Server& server) {
  return std::string(FtpServerFixture::Name(server.kind)) +
         (server.tls == ServerTls::Implicit ? "Implicit" : "Explicit");
}
std::string Name(const ::testing::TestParamInfo<Server>& info) { return Describe(info.param); }
void PrintTo(const Server& server, std::ostream* out) { *out << Describe(server); }

class TlsTrustTest : public ::testing::TestWithParam<Server> {
 protected:
  void SetUp() override {
    site_ = dir_.Path() / "site";
    fs::create_directories(site_ / "sub");
    std::ofstream(site_ / "index.htm") << "<title>Home</title>\n";
    std::ofstream(site_ / "sub" / "data.bin", std::ios::binary) << std::string(70000, '\x07');
  }
  void TearDown() override { ::unsetenv("SSL_CERT_FILE"); }

  // Starts the server of the test (TLS as the parameter says, or none) and
  // points the profile's new site at it.
  void StartServer(ServerTls tls) {
    std::string why;
    testing::FtpServerOptions options;
    options.tls = tls;
    options.protocol_log = log_;
    server_ = FtpServerFixture::Start(GetParam().kind, (dir_.Path() / "ftp").string(), why, options);
    ASSERT_TRUE(server_) << why;
    fs::create_directories(dir_.Path() / "ftp" / "new");
    server_->Own();
    const int security = GetParam().tls == ServerTls::Implicit ? 2 : 1;
    ASSERT_EQ(Program("profile set RootSource=" + site_.string() +
                      " NewHostName=127.0.0.1 NewUserId=" + server_->User() + " NewPassword=" + server_->Password() +
                      " NewStartDir=/new NewRetryPause=0 NewRetries=1 NewBinary=1 NewAutoDetect=0 NewSecurity=" +
                      std::to_string(security) + " NewPort=" + server_->Port())
                  .code,
              0);
  }

  testing::ProgramResult Program(const std::string& args, const std::string& input = std::string()) {
    return testing::RunProgram(KESTOVA_BINARY, dir_.File("registry.db"), args, dir_.Path().string(), input);
  }

  // The commands the server received so far, one per line, from its log:
  // vsftpd writes `FTP command: Client "ADDR", "CMD"`, pyftpdlib `<- CMD`
  // and proftpd the command alone.
  std::string Commands() const {
    std::istringstream in(testing::ReadFile(log_));
    std::string commands;
    for (std::string line; std::getline(in, line);) {
      if (const size_t at = line.find("FTP command: Client \""); at != std::string::npos) {
        commands += line.substr(line.find("\", \"", at) + 4) + "\n";
      } else if (const size_t arrow = line.find("<- "); arrow != std::string::npos) {
        commands += line.substr(arrow + 3) + "\n";
      } else if (GetParam().kind == Kind::Proftpd) {
        commands += line + "\n";
      }
    }
    return commands;
  }
  void ExpectNoLogin() const {
    const std::string commands = "\n" + Commands();
    EXPECT_THAT(commands, Not(HasSubstr("\nUSER"))) << commands;
    EXPECT_THAT(commands, Not(HasSubstr("\nPASS"))) << commands;
  }

  testing::TempDir dir_;
  std::string log_ = dir_.File("commands.log");
  fs::path site_;
  std::unique_ptr<FtpServerFixture> server_;
};

TEST_P(TlsTrustTest, AnUntrustedCertificateStopsTheRunBeforeTheLoginUntilItIsTrusted) {
  ASSERT_NO_FATAL_FAILURE(StartServer(GetParam().tls));
  const std::string fingerprint = server_->Certificate()->fingerprint;
  std::string why;
  const std::string other = testing::TestCertificates::Get(why)->self_signed.fingerprint;

  const auto untrusted = Program("run publish");
  EXPECT_EQ(untrusted.code, 2) << untrusted.all();
  EXPECT_THAT(untrusted.out, HasSubstr("Certificate SHA-256 fingerprint: " + fingerprint + "\n"));
  EXPECT_THAT(untrusted.out, HasSubstr("Subject: CN="));
  EXPECT_THAT(untrusted.out, HasSubstr("Issuer: CN="));
  EXPECT_THAT(untrusted.out, HasSubstr("\nValid from "));
  EXPECT_THAT(untrusted.out, HasSubstr("run \"kestova profile trust new\". No user id or password was sent."));
  EXPECT_THAT(untrusted.err,
              HasSubstr("SHA-256 fingerprint " + fingerprint + ". To trust it: kestova profile trust new"));
  // A run of a named profile is told how to trust it for that profile.
  EXPECT_THAT(Program("run publish --profile Default").err,
              HasSubstr("To trust it: kestova profile trust --profile Default new"));
  ExpectNoLogin();

  // Declined, then trusted.
  const fs::path no = dir_.Path() / "no.txt";
  std::ofstream(no) << "n\n";
  const auto declined = Program("profile trust new", no.string());
  EXPECT_EQ(declined.code, 1) << declined.all();
  EXPECT_THAT(declined.out, HasSubstr("Nothing was stored."));
  EXPECT_THAT(Program("profile show").out, HasSubstr("\nNewCertificate=\n"));
  const auto trusted = Program("profile trust new --yes");
  EXPECT_EQ(trusted.code, 0) << trusted.all();
  EXPECT_THAT(trusted.out, HasSubstr("Certificate SHA-256 fingerprint: " + fingerprint));
  EXPECT_THAT(Program("profile show").out, HasSubstr("\nNewCertificate=" + fingerprint + "\n"));
  ExpectNoLogin();

  const auto run = Program("run publish");
  ASSERT_EQ(run.code, 0) << run.all();
  EXPECT_THAT(run.out, HasSubstr("Encrypted with TLS 1.3 ("));
  EXPECT_THAT(run.out, HasSubstr("), certificate trusted by its fingerprint\n"));
  EXPECT_THAT(run.all(), Not(HasSubstr(server_->Password())));
  EXPECT_EQ(testing::Tree(dir_.Path() / "ftp" / "new"), testing::Tree(site_));
  EXPECT_THAT("\n" + Commands(), HasSubstr("\nUSER "));  // the server's log works

  // The server's certificate changes: refused again, with both fingerprints.
  ASSERT_EQ(Program("profile set NewCertificate=" + other).code, 0);
  const auto changed = Program("run publish");
  EXPECT_EQ(changed.code, 2) << changed.all();
  EXPECT_THAT(changed.out, HasSubstr("The server's certificate is not the one trusted for this site: it has changed"));
  EXPECT_THAT(changed.out, HasSubstr("Certificate SHA-256 fingerprint: " + fingerprint + "\n"));
  EXPECT_THAT(changed.out, HasSubstr("Fingerprint trusted for this site: " + other + "\n"));

  // With the CA that signed it in the store, the certificate verifies and
  // needs no fingerprint.
  ASSERT_EQ(Program("profile set NewCertificate=").code, 0);
  ::setenv("SSL_CERT_FILE", testing::TestCertificates::Get(why)->ca.c_str(), 1);
  const auto verified = Program("run publish");
  EXPECT_EQ(verified.code, 0) << verified.all();
  EXPECT_THAT(verified.out, HasSubstr("), certificate verified\n"));
  const auto nothing = Program("profile trust new");
  EXPECT_EQ(nothing.code, 0) << nothing.all();
  EXPECT_THAT(nothing.out, HasSubstr("nothing needs trusting"));
}

TEST_P(TlsTrustTest, ASiteThatRequiresTlsNeverSendsItsLoginToAServerWithoutIt) {
  ASSERT_NO_FATAL_FAILURE(StartServer(ServerTls::None));
  const auto run = Program("run publish");
  EXPECT_EQ(run.code, 2) << run.all();
  if (GetParam().tls == ServerTls::Explicit) {
    EXPECT_THAT(run.out, HasSubstr("the server refused AUTH TLS: it does not offer FTP over TLS, and Kestova does not "
                                   "fall back to plain FTP"));
    EXPECT_THAT(Commands(), HasSubstr("AUTH TLS"));
  } else {
    EXPECT_THAT(run.out, HasSubstr("TLS"));
  }
  ExpectNoLogin();
  EXPECT_FALSE(fs::exists(dir_.Path() / "ftp" / "new" / "index.htm"));
  const auto probe = Program("profile trust new --yes");
  EXPECT_EQ(probe.code, 2) << probe.all();
  EXPECT_THAT(Program("profile show").out, HasSubstr("\nNewCertificate=\n"));
  ExpectNoLogin();

  // Through the site's FTP proxy, TLS cannot go: refused before any connection.
  ASSERT_EQ(Program("profile set NewProxy=127.0.0.1:" + server_->Port()).code, 0);
  const auto proxied = Program("run publish");
  EXPECT_NE(proxied.code, 0);
  EXPECT_THAT(proxied.out, HasSubstr("which cannot carry TLS. Clear the proxy or choose plain FTP for this site."));
  EXPECT_THAT(proxied.out, Not(HasSubstr("Connecting")));
  ExpectNoLogin();
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsTrustTest,
                         ::testing::Values(Server{Kind::Pyftpdlib, ServerTls::Explicit},
                                           Server{Kind::Vsftpd, ServerTls::Explicit},
                                           Server{Kind::Vsftpd, ServerTls::Implicit},
                                           Server{Kind::Proftpd, ServerTls::Implicit}),
                         Name);

// A data connection that presents another certificate than the trusted
// one of the control connection (a machine in the middle of the data
// connections) ends the run as an untrusted certificate does: exit 2, the
// reason being that certificate, in both methods and whatever step met it.
TEST(DataCertificateTest, AnotherCertificateOnADataConnectionEndsTheRun) {
  testing::TempDir dir;
  std::string why;
  testing::FtpServerOptions options;
  options.tls = ServerTls::Explicit;
  options.other_data_certificate = true;
  auto server = FtpServerFixture::Start(Kind::Pyftpdlib, (dir.Path() / "ftp").string(), why, options);
  ASSERT_TRUE(server) << why;
  fs::create_directories(dir.Path() / "ftp" / "new");
  fs::create_directories(dir.Path() / "site");
  std::ofstream(dir.Path() / "site" / "page.htm") << "<title>Page</title>\n";
  const auto program = [&dir](const std::string& args) {
    return testing::RunProgram(KESTOVA_BINARY, dir.File("registry.db"), args, dir.Path().string());
  };
  ASSERT_EQ(program("profile set RootSource=" + (dir.Path() / "site").string() +
                    " NewHostName=127.0.0.1 NewUserId=" + server->User() + " NewPassword=" + server->Password() +
                    " NewStartDir=/new NewRetryPause=0 NewRetries=2 NewSecurity=1 NewPort=" + server->Port() +
                    " NewCertificate=" + server->Certificate()->fingerprint)
                .code,
            0);
  // Classic Overwrite All meets it at the first upload; modern Wrt Changes
  // at the marker file, whose failure was once taken for harmless.
  for (const bool modern : {false, true}) {
    SCOPED_TRACE(modern ? "modern Wrt Changes" : "classic Overwrite All");
    ASSERT_EQ(program(std::string("profile set NewChanges=") + (modern ? "1" : "0")).code, 0);
    const auto run = program(modern ? "run publish --method modern" : "run publish");
    EXPECT_EQ(run.code, 2) << run.all();
    const std::vector<std::string> reasons = [&run] {
      std::vector<std::string> found;
      std::istringstream in(run.out);
      for (std::string line; std::getline(in, line);) {
        if (line.rfind("Reason: ", 0) == 0) found.push_back(line);
      }
      return found;
    }();
    ASSERT_EQ(reasons.size(), 1u) << run.out;
    EXPECT_THAT(reasons[0], HasSubstr("Reason: 425 The data connection presented another certificate (SHA-256 "));
    EXPECT_THAT(run.out, HasSubstr("The run stops here; nothing more is sent."));
    EXPECT_THAT(run.out, Not(HasSubstr("Retrying")));
    EXPECT_THAT(run.err, HasSubstr("kestova: A data connection presented another certificate than the server's"));
  }
}

}  // namespace
}  // namespace kestova

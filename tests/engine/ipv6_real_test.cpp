// Sites on IPv6: pyftpdlib and vsftpd listening on ::1 take a publish in
// passive mode (EPSV) and in active mode (EPRT), with both methods, from a
// host typed bare or in brackets and from a name that resolves to ::1 alone
// (answered through the lookup's seam, not the system's resolver).
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/dns_lookup.h"
#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using Kind = testing::FtpServerFixture::Kind;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Ipv6Test, BothServersOnTheIpv6LoopbackTakeAPublishPassiveAndActive) {
  SetHostResolver([](const std::string& host) {
    LookupResult result;
    if (host == "v6only.example.test") {
      result.names = {"::1"};
    } else {
      result.error = 11001;
    }
    return result;
  });
  struct Way {
    bool passive;
    TransferMethod method;
    const char* host;
  };
  for (const Kind kind : {Kind::Pyftpdlib, Kind::Vsftpd}) {
    for (const Way way :
         {Way{true, TransferMethod::Modern, "::1"}, Way{false, TransferMethod::Classic, "[::1]"},
          Way{true, TransferMethod::Classic, "v6only.example.test"}, Way{false, TransferMethod::Modern, "::1"}}) {
      SCOPED_TRACE(std::string(testing::FtpServerFixture::Name(kind)) + (way.passive ? " passive " : " active ") +
                   way.host);
      testing::TempDir dir;
      const fs::path local = dir.Path() / "local";
      const std::map<std::string, std::string> tree = {
          {"index.htm", "<title>v6</title>\n"}, {"sub/page.htm", "<p>page</p>\n"}, {"sub/data.bin", "\x01\x02\x03"}};
      for (const auto& [path, text] : tree) testing::WriteFile(local / path, text);
      testing::FtpServerOptions options;
      options.ipv6 = true;
      options.protocol_log = dir.File("protocol.log");
      std::string why;
      auto server = testing::FtpServerFixture::Start(kind, (dir.Path() / "server").string(), why, options);
      ASSERT_TRUE(server) << why;
      testing::TestRun run(*server);
      run.settings.Site.HostName = way.host;
      run.settings.Site.SetPassive(way.passive);
      run.settings.Site.Method = way.method;
      run.settings.LocalRoot = local.string();
      run.settings.BinaryMode = true;
      ASSERT_EQ(run.Start(), RunOutcome::Finished) << run.Text();
      EXPECT_EQ(testing::Tree(dir.Path() / "server/www"), tree) << run.Text();
      const std::string commands = ReadAll(options.protocol_log);
      EXPECT_THAT(commands, HasSubstr(way.passive ? "EPSV" : "EPRT |2|::1|")) << commands;
      EXPECT_THAT(commands, Not(HasSubstr(way.passive ? "PASV" : "PORT "))) << commands;
    }
  }
  SetHostResolver(nullptr);
}

}  // namespace
}  // namespace kestova

#include "app/profile_command.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/registry.h"
#include "profile/site_profile.h"
#include "profile/stored_value.h"
#include "support/program_runner.h"
#include "support/temp_dir.h"

namespace kestova {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kSite = "\\Software\\Brindlecote\\Kestova\\Site";

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class ProfileCommandTest : public ::testing::Test {
 protected:
  Result Run(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    Result result;
    result.code = RunProfileCommand(args, out, err, store_);
    result.out = out.str();
    result.err = err.str();
    return result;
  }

  Result RunProfileCommandWith(const std::vector<std::string>& args, std::istream& in) {
    std::ostringstream out, err;
    Result result;
    result.code = RunProfileCommand(args, out, err, store_, &in);
    result.out = out.str();
    result.err = err.str();
    return result;
  }

  // The real program, with the store named through the environment.
  testing::ProgramResult RunProgram(const std::string& args, const std::string& input = std::string()) {
    return testing::RunProgram(KESTOVA_BINARY, store_, args, dir_.Path().string(), input);
  }

  testing::TempDir dir_;
  std::string store_ = dir_.File("registry.db");
};

TEST_F(ProfileCommandTest, ShowOnAnEmptyStorePrintsEveryFieldWithItsDefault) {
  const auto result = RunProgram("profile show");
  ASSERT_EQ(result.code, 0) << result.err;
  const auto lines = Lines(result.out);
  ASSERT_EQ(lines.size(), 50u) << result.out;
  EXPECT_EQ(lines.front(), "OldURL=http://www.old-site.example");
  EXPECT_EQ(lines[3], "OldPassword=********");
  EXPECT_EQ(lines[5], "OldPASV=1");
  EXPECT_EQ(lines[16], "NewRetries=5");
  EXPECT_EQ(lines[30], "RootDestn=/tmp");
  EXPECT_EQ(lines[33], "TestRun=0");
  EXPECT_EQ(lines[34], "NewSecurity=0");  // plain FTP, as before these fields
  EXPECT_EQ(lines[37], "OldCertificate=");
  EXPECT_EQ(lines[39], "OldMethod=0");    // the classic method, as before these fields
  EXPECT_EQ(lines[40], "NewProtocol=0");  // FTP, as before these fields
  EXPECT_EQ(lines[47], "OldAllPages=0");
  EXPECT_EQ(lines.back(), "OldConnections=4");
  EXPECT_THAT(result.out, Not(HasSubstr("guestuser")));
  struct stat info {};
  ASSERT_EQ(::stat(store_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(ProfileCommandTest, TheProgramAnswersHelpVersionAndUnknownCommands) {
  const auto help = RunProgram("--help");
  EXPECT_EQ(help.code, 0);
  EXPECT_THAT(help.out, HasSubstr("Usage: kestova"));
  EXPECT_EQ(RunProgram("--version").out, "kestova " KESTOVA_VERSION "\n");
  const auto set_help = RunProgram("profile set --help");
  EXPECT_EQ(set_help.code, 0);
  EXPECT_THAT(set_help.out, HasSubstr("FIELD=VALUE"));
  const auto unknown = RunProgram("frobnicate");
  EXPECT_EQ(unknown.code, 3);
  EXPECT_THAT(unknown.err, HasSubstr("Unknown command 'frobnicate'"));
  EXPECT_EQ(RunProgram("profile").code, 3);
}

TEST_F(ProfileCommandTest, SetCreatesAProfileFromTheCurrentOneWithoutChangingWhichIsCurrent) {
  // The current profile wipes both sites; a new one never starts so.
  ASSERT_EQ(Run({"set", "newhostname=ftp.base.test", "NewRetries=8", "NewWipe=1", "OldWipe=1"}).code, 0);
  const Result created = Run({"set", "--profile", "Shop", "NewPASV=0", "OldPassword=pa ss!", "NewRetries=-2"});
  ASSERT_EQ(created.code, 0) << created.err;
  EXPECT_THAT(created.out, HasSubstr("Created the profile \"Shop\" as a copy of \"Default\""));

  SiteProfile shop(store_);
  shop.LoadRegistry("Shop");
  EXPECT_EQ(shop.NewSite.HostName, "ftp.base.test");  // copied from the current profile
  EXPECT_FALSE(shop.NewSite.Passive());
  EXPECT_EQ(shop.NewRetries, -2);
  EXPECT_EQ(shop.OldSite.PassWord, "pa ss!");
  EXPECT_FALSE(shop.NewWipe);
  EXPECT_FALSE(shop.OldWipe);
  ASSERT_EQ(Run({"set", "--profile", "Wiper", "OldWipe=1"}).code, 0);  // unless told so
  shop.LoadRegistry("Wiper");
  EXPECT_TRUE(shop.OldWipe);
  EXPECT_FALSE(shop.NewWipe);
  Registry registry(store_);
  EXPECT_EQ(registry.ReadString(kSite + "\\prof_Shop", "OldPassword"), EncodeStoredValue("pa ss!"));
  EXPECT_EQ(registry.ReadString(kSite, "CurrProfile"), "Default");

  const Result second = Run({"set", "--profile=SHOP", "OldURL=http://old.test"});
  EXPECT_THAT(second.out, Not(HasSubstr("Created")));
  EXPECT_THAT(registry.SubKeyNames(kSite), ElementsAre("Default", "prof_Shop", "prof_Wiper"));
}

TEST_F(ProfileCommandTest, APortFollowsTheSecurityModeAndTheProtocolWhileItHoldsADefault) {
  const struct {
    std::vector<std::string> args;
    const char* new_port;
    const char* said;  // the line that tells, or nothing
  } steps[] = {
      {{"set", "NewSecurity=2"}, "990", "NewPort follows: 990."},
      {{"set", "NewSecurity=1"}, "ftp", "NewPort follows: ftp."},
      {{"set", "NewSecurity=2", "NewPort=2121"}, "2121", ""},  // set together: as given
      {{"set", "NewSecurity=0"}, "2121", ""},                  // not a default: kept
      {{"set", "NewPort=21", "NewCertificate=" + std::string(64, 'a')}, "21", ""},
      {{"set", "NewSecurity=2"}, "990", "NewPort follows: 990."},
      {{"set", "NewProtocol=sftp"}, "22", "NewPort follows: 22."},
      {{"set", "NewSecurity=0"}, "22", ""},  // SFTP keeps its port
      {{"set", "NewProtocol=0"}, "ftp", "NewPort follows: ftp."},
      {{"set", "NewProtocol=1", "NewSecurity=2"}, "22", "NewPort follows: 22."},
      {{"set", "NewProtocol=ftp"}, "990", "NewPort follows: 990."},
  };
  for (const auto& step : steps) {
    const Result result = Run(step.args);
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(std::string(step.said).empty(), result.out.find("follows") == std::string::npos) << result.out;
    if (*step.said) {
      EXPECT_THAT(result.out, HasSubstr(step.said));
    }
    SiteProfile profile(store_);
    profile.LoadRegistry("Default");
    EXPECT_EQ(profile.NewSite.Port, step.new_port) << step.args.back();
    EXPECT_EQ(profile.OldSite.Port, "ftp");
  }
  // A fingerprint is stored as openssl prints it, however it was typed.
  ASSERT_EQ(Run({"set", "OldCertificate=" + std::string(64, 'a')}).code, 0);
  EXPECT_THAT(Run({"show"}).out, HasSubstr("\nOldCertificate=AA:AA:"));
}

TEST_F(ProfileCommandTest, TwoSetCommandsAtOnceBothTakeEffect) {
  ASSERT_EQ(Run({"show"}).code, 0);
  // Each round starts two programs together, each changing its own field.
  for (int round = 1; round <= 12; ++round) {
    const std::string prefix = "KESTOVA_REGISTRY='" + store_ + "' '" KESTOVA_BINARY "' profile set ";
    FILE* first = ::popen((prefix + "NewRetries=" + std::to_string(round) + " >/dev/null").c_str(), "r");
    FILE* second = ::popen((prefix + "OldRetries=" + std::to_string(round) + " >/dev/null").c_str(), "r");
    ASSERT_EQ(::pclose(first), 0);
    ASSERT_EQ(::pclose(second), 0);
    SiteProfile profile(store_);
    profile.LoadRegistry("Default");
    ASSERT_EQ(profile.NewRetries, round) << "round " << round;
    ASSERT_EQ(profile.OldRetries, round) << "round " << round;
  }
}

TEST_F(ProfileCommandTest, APasswordGivenAsADashIsReadAndAnyPrintablePasswordIsKept) {
  std::istringstream typed("say \"hi\" #1 'ok'\r\n");
  const Result result = RunProfileCommandWith({"set", "NewPassword=-", "OldPassword=plain"}, typed);
  ASSERT_EQ(result.code, 0) << result.err;
  SiteProfile profile(store_);
  profile.LoadRegistry("Default");
  EXPECT_EQ(profile.NewSite.PassWord, "say \"hi\" #1 'ok'");
  EXPECT_EQ(profile.OldSite.PassWord, "plain");
  std::istringstream nothing;
  EXPECT_EQ(RunProfileCommandWith({"set", "OldPassword=-"}, nothing).code, 3);
  // Through the program, from standard input.
  std::ofstream(dir_.File("typed.txt")) << "from stdin\n";
  const auto piped = RunProgram("profile set OldPassword=-", dir_.File("typed.txt"));
  ASSERT_EQ(piped.code, 0) << piped.err;
  SiteProfile reread(store_);
  reread.LoadRegistry("Default");
  EXPECT_EQ(reread.OldSite.PassWord, "from stdin");
}

TEST_F(ProfileCommandTest, ABadFieldOrValueWritesNothing) {
  ASSERT_EQ(Run({"show"}).code, 0);
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"set", "NewRetries=7", "Colour=blue"}, "Unknown field 'Colour'"},
      {{"set", "NewRetries=7", "NewHost=x"}, "Did you mean NewHostName?"},
      {{"set", "NewRetries=7", "oldpsv=1"}, "Did you mean OldPASV?"},
      {{"set", "NewRetries=7", "NewPort=0"}, "NewPort takes a port number from 1 to 65535"},
      {{"set", "NewRetries=7", "OldPort=65536"}, "OldPort takes a port number"},
      {{"set", "NewRetries=7", "NewPort=no-such-service"}, "NewPort takes a port number"},
      {{"set", "NewRetries=7", "NewStartDir=/a\r\nRMD /b"}, "NewStartDir cannot hold a line break"},
      {{"set", "NewRetries=7", "OldRetries=x"}, "OldRetries takes a whole number, not 'x'"},
      {{"set", "NewRetries=7", "OldRetries=99999999999"}, "takes a whole number"},
      {{"set", "NewRetries=7", "TestRun=yes"}, "TestRun takes 0 or 1, not 'yes'"},
      {{"set", "NewRetries=7", "NewPassword=a\tb"}, "NewPassword cannot hold line breaks or other control"},
      {{"set", "NewRetries=7", "RootDestn=/x"}, "RootDestn"},
      {{"set", "NewRetries=7", "NoEquals"}, "Expected FIELD=VALUE"},
      {{"set", "NewRetries=7", "NewSecurity=3"}, "NewSecurity takes 0 (plain FTP), 1 (explicit FTP over TLS) or 2"},
      {{"set", "NewRetries=7", "OldSecurity=tls"}, "OldSecurity takes 0"},
      {{"set", "NewRetries=7", "NewCertificate=AB:CD"}, "NewCertificate takes a SHA-256 fingerprint"},
      {{"set", "NewRetries=7", "NewMethod=2"},
       "NewMethod takes 0 (classic) or 1 (modern), or the words classic or modern, not '2'"},
      {{"set", "NewRetries=7", "OldCertificate=" + std::string(64, 'g')}, "OldCertificate takes a SHA-256"},
      {{"set", "NewRetries=7", "OldProtocol=ssh"}, "OldProtocol takes 0 (FTP) or 1 (SFTP), or the words ftp or sftp"},
      {{"set", "--profile", "a\\b", "NewRetries=7"}, "cannot contain"},
      {{"set", "--profile", "two\nlines", "NewRetries=7"},
       "cannot hold control characters (line breaks, tabs, "
       "escapes): two\\nlines"},
      {{"set", "--profile", "tab\tand\x1b[31m", "NewRetries=7"}, "tab\\tand\\x1B[31m"},
      {{"set", "--profile"}, "needs a profile name"},
      {{"set"}, "at least one FIELD=VALUE"},
  };
  for (const auto& c : cases) {
    const Result result = Run(c.args);
    EXPECT_EQ(result.code, 3) << c.message;
    EXPECT_THAT(result.err, HasSubstr(c.message));
  }
  Registry registry(store_);
  EXPECT_EQ(registry.ReadInteger(kSite + "\\Default", "NewRetries"), 5);
  EXPECT_THAT(registry.SubKeyNames(kSite), ElementsAre("Default"));
}

TEST_F(ProfileCommandTest, ListUseAndDeleteKeepTheCurrentProfileValid) {
  Run({"set", "--profile", "zeta", "TestRun=1"});
  Run({"set", "--profile", "Alpha", "TestRun=1"});
  EXPECT_EQ(Run({"use", "ALPHA"}).code, 0);
  EXPECT_THAT(Lines(Run({"list"}).out), ElementsAre("* Alpha", "  Default", "  zeta"));
  EXPECT_EQ(Run({"use", "nobody"}).code, 3);

  const Result refused = Run({"delete", "default"});
  EXPECT_EQ(refused.code, 3);
  EXPECT_THAT(refused.err, HasSubstr("The profile \"Default\" cannot be deleted."));
  EXPECT_EQ(Run({"delete", "nobody"}).code, 3);
  EXPECT_EQ(Run({"delete", "alpha"}).code, 0);
  EXPECT_THAT(Lines(Run({"list"}).out), ElementsAre("* Default", "  zeta"));
  EXPECT_EQ(Run({"show", "alpha"}).code, 3);
  const Result zeta = Run({"show", "ZETA"});
  EXPECT_THAT(Lines(zeta.out), ::testing::Contains("TestRun=1"));
}

// A name an older version let in with control characters is listed with
// them written out, and can still be used and edited as it is stored.
TEST_F(ProfileCommandTest, AStoredNameWithControlCharactersIsShownOnOneLine) {
  const std::string stored = "shop\n* Default\t\x1b";
  {
    SiteProfile profile(store_);
    profile.LoadRegistry("Default");
    ASSERT_TRUE(profile.SaveRegistry(stored));
  }
  EXPECT_THAT(Lines(Run({"list"}).out), ElementsAre("* Default", "  shop\\n* Default\\t\\x1B"));
  EXPECT_EQ(Run({"set", "--profile", stored, "TestRun=1"}).code, 0);
  EXPECT_EQ(Registry(store_).ReadInteger(kSite + "\\prof_" + stored, "TestRun"), 1);
  EXPECT_THAT(Run({"use", stored}).out, HasSubstr("\"shop\\n* Default\\t\\x1B\""));
}

TEST_F(ProfileCommandTest, ADamagedStoreIsReportedAndKept) {
  std::ofstream(store_) << "not a database at all, but the user's own notes";
  const auto result = RunProgram("profile list");
  EXPECT_EQ(result.code, 3);
  EXPECT_THAT(result.err, HasSubstr(store_));
  std::ifstream in(store_);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not a database at all, but the user's own notes");
}

TEST_F(ProfileCommandTest, AValueOfTheWrongTypeIsReportedByName) {
  {
    Registry registry(store_);
    registry.CreateKey(kSite + "\\Default");
    registry.WriteInteger(kSite + "\\Default", "OldURL", 4);
  }
  const Result result = Run({"show"});
  EXPECT_EQ(result.code, 3);
  EXPECT_THAT(result.err, HasSubstr("Invalid data type for 'OldURL'"));
}

}  // namespace
}  // namespace kestova

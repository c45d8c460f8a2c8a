// Every job of both methods against the three servers, written down as the
// log lines the run writes and the commands the server receives, and
// compared with the transcripts kept beside this file. A change to the
// engine or the FTP client that moves a command or a line shows here.
//
// KESTOVA_RECORD_TRANSCRIPTS=1 writes the transcripts anew instead of
// comparing; review the difference before committing it.
#include <utime.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "engine/upload.h"
#include "support/fake_profile.h"
#include "support/fault_relay.h"
#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using testing::FtpServerFixture;
using Kind = FtpServerFixture::Kind;
using testing::WriteFile;

struct Case {
  Kind kind;
  bool passive;
  TransferMethod method;
};

std::string CaseName(const Case& c) {
  return std::string(FtpServerFixture::Name(c.kind)) + (c.method == TransferMethod::Modern ? "-modern" : "-classic");
}

void PrintTo(const Case& c, std::ostream* out) { *out << CaseName(c); }

// What changes from run to run: clock times and dates, ports, the process
// id in the marker's name, PORT's address, the password, MLSD's unique
// facts, LIST's owner and group.
std::string Steady(std::string line) {
  static const std::pair<std::regex, const char*> kRules[] = {
      {std::regex(R"(^PASS .*)"), "PASS ***"},
      {std::regex(R"(^(PORT|EPRT) .*)"), "$1 ..."},
      {std::regex(R"(modify=\d+)"), "modify=T"},
      {std::regex(R"(unique=[^;]*;)"), "unique=U;"},
      {std::regex(R"(^([-dl][-rwxsStT]{9}) +(\d+) +\S+ +\S+ +)"), "$1 $2 OWNER GROUP "},
      {std::regex(R"(clock-\d+)"), "clock-PID"},
      {std::regex(R"(\b\d{4}-\d\d-\d\d\b)"), "DATE"},
      {std::regex(R"(\b\d{1,2}:\d\d(:\d\d)?\b)"), "TIME"},
      {std::regex(R"(\b(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) +\d{1,2}\b)"), "MON DD"},
      {std::regex(R"(\b(19|20)\d\d\b)"), "YEAR"},
      {std::regex(R"(\(\d+,\d+,\d+,\d+,\d+,\d+\))"), "(ADDRESS)"},
      {std::regex(R"(port \d+)"), "port P"},
  };
  for (const auto& [pattern, replacement] : kRules) line = std::regex_replace(line, pattern, replacement);
  return line;
}

class TranscriptTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    std::string why;
    server_ = FtpServerFixture::Start(GetParam().kind, (dir_.Path() / "server").string(), why);
    ASSERT_TRUE(server_) << why;
    relay_ = testing::FaultRelay::Start(std::stoi(server_->Port()), testing::FaultPlan(), why);
    ASSERT_TRUE(relay_) << why;
    site_ = testing::ServerSite(*server_, relay_->Port(), GetParam().passive, GetParam().method);
    view_.new_url = "http://new.example";
    view_.old_url = "http://old.example";
    local_ = dir_.Path() / "site";
    std::string binary(3000, '\0');
    for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 31);
    WriteFile(local_ / "index.htm", "<html><head><title>Home</title></head></html>\n");
    WriteFile(local_ / "notes.txt", "plain notes\n");
    WriteFile(local_ / "img" / "logo.gif", binary);
    WriteFile(local_ / "docs" / "faq.html", "<title>FAQ</title>\n");
    WriteFile(local_ / "docs" / "deep" / "a b.htm", "<title>Spaced</title>\n");
    WriteFile(local_ / "_vti_cnf" / "index.htm", "frontpage\n");
    for (const auto& entry : fs::recursive_directory_iterator(local_)) Touch(entry.path(), kEdited);
    fs::create_directories(fs::path(server_->Root()) / "www");
    fs::create_directories(fs::path(server_->Root()) / "old");
    WriteFile(fs::path(server_->Root()) / "www" / ".htaccess", "kept\n");
    server_->Own();
  }

  // 2020-03-04 05:06:08 UTC: long before any upload.
  static constexpr std::time_t kEdited = 1583298368;

  static void Touch(const fs::path& path, std::time_t when) {
    const utimbuf times{when, when};
    ::utime(path.c_str(), &times);
  }

  // Runs one job and adds its log and the commands it sent to the transcript.
  void Job(const std::string& title, bool redirect, bool test_run, bool changes, bool wipe) {
    view_.test_run = test_run;
    view_.new_changes = changes;
    RunSettings settings;
    settings.Site = site_;
    settings.SiteURL = redirect ? "http://old.example" : "http://new.example";
    settings.StartDir = redirect ? "/old" : "/www";
    settings.LocalRoot = local_.string();
    settings.RedirectJob = redirect;
    settings.RetryPause = 0;
    settings.Retries = 1;
    settings.AutoDetect = true;
    settings.WipeFirst = wipe;
    transcript_ += "== " + title + "\n";
    const size_t commands_before = relay_->Commands().size();
    Upload run(settings, view_, [this](const std::string& line) { transcript_ += Steady(Local(line)) + "\n"; });
    run.StartUpload();
    // Every command's reply came through the relay after the command did,
    // so the relay has read them all.
    const std::vector<std::string> commands = relay_->Commands();
    transcript_ += "-- commands\n";
    for (size_t i = commands_before; i < commands.size(); ++i) transcript_ += Steady(commands[i]) + "\n";
  }

  // The local folder's temporary path, written as LOCAL.
  std::string Local(std::string line) const {
    const std::string root = local_.string();
    for (size_t at; (at = line.find(root)) != std::string::npos;) line.replace(at, root.size(), "LOCAL");
    return line;
  }

  testing::TempDir dir_;
  std::unique_ptr<FtpServerFixture> server_;
  std::unique_ptr<testing::FaultRelay> relay_;
  // The run opens its own connection from these, as a run of the program does.
  SiteSettings site_;
  testing::FakeProfile view_;
  fs::path local_;
  std::string transcript_;
};

TEST_P(TranscriptTest, EveryJobSendsWhatItSentBefore) {
  Job("test publish to an empty host", false, true, false, false);
  Job("publish, Overwrite All", false, false, false, false);
  Job("publish, Wrt Changes, nothing changed", false, false, true, false);
  WriteFile(local_ / "notes.txt", "edited notes\n");
  Touch(local_ / "notes.txt", std::time(nullptr) + 2 * 24 * 3600);
  WriteFile(local_ / "docs" / "new.htm", "<title>New</title>\n");
  Touch(local_ / "docs" / "new.htm", kEdited);
  Job("publish, Wrt Changes, an edit and a new file", false, false, true, false);
  Job("test publish, Wrt Changes", false, true, true, false);
  Job("test redirection pages", true, true, false, false);
  Job("redirection pages", true, false, false, false);
  // proftpd's MLSD lists a folder in the order of the file system, which
  // differs from machine to machine, and the wipe deletes in that order.
  if (GetParam().kind != Kind::Proftpd || GetParam().method != TransferMethod::Modern) {
    Job("test wipe, then publish", false, true, false, true);
    Job("wipe, then publish", false, false, false, true);
  }

  const fs::path kept = fs::path(KESTOVA_TRANSCRIPT_DIR) / (CaseName(GetParam()) + ".txt");
  if (const char* record = std::getenv("KESTOVA_RECORD_TRANSCRIPTS"); record && std::string(record) == "1") {
    std::ofstream(kept, std::ios::binary) << transcript_;
    GTEST_SKIP() << "recorded " << kept;
  }
  ASSERT_TRUE(fs::exists(kept)) << kept << " is missing; record it with KESTOVA_RECORD_TRANSCRIPTS=1";
  EXPECT_EQ(transcript_, testing::ReadFile(kept)) << "the transcript differs from " << kept;
}

std::string TestName(const ::testing::TestParamInfo<Case>& param) {
  std::string name = CaseName(param.param);
  name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
  return name;
}

// vsftpd's data connections in active mode, the others' passive.
INSTANTIATE_TEST_SUITE_P(Jobs, TranscriptTest,
                         ::testing::Values(Case{Kind::Pyftpdlib, true, TransferMethod::Classic},
                                           Case{Kind::Vsftpd, false, TransferMethod::Classic},
                                           Case{Kind::Proftpd, true, TransferMethod::Classic},
                                           Case{Kind::Pyftpdlib, true, TransferMethod::Modern},
                                           Case{Kind::Vsftpd, false, TransferMethod::Modern},
                                           Case{Kind::Proftpd, true, TransferMethod::Modern}),
                         TestName);

}  // namespace
}  // namespace kestova

// Wrt Changes against servers whose listings are in another time zone: the
// modern method learns the offset and sends exactly the edited files (a
// same-size edit and a file touched a minute after the last run included);
// the classic method keeps its behaviour, which the offset fools.
#include <utime.h>

#include <stdlib.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/upload.h"
#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using testing::FtpServerFixture;
using Kind = FtpServerFixture::Kind;

struct Zone {
  Kind kind;
  const char* tz;      // the server's zone, POSIX style
  const char* offset;  // how the run describes it
  testing::ServerTls tls = testing::ServerTls::None;
};

void PrintTo(const Zone& zone, std::ostream* out) { *out << FtpServerFixture::Name(zone.kind) << " in " << zone.tz; }

class TimeZoneTest : public ::testing::TestWithParam<Zone> {
 protected:
  void SetUp() override {
    // This computer's clock in UTC, so that the offsets are known.
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    std::string why;
    testing::FtpServerOptions options;
    options.time_zone = GetParam().tz;
    options.tls = GetParam().tls;
    server_ = FtpServerFixture::Start(GetParam().kind, (dir_.Path() / "server").string(), why, options);
    ASSERT_TRUE(server_) << why;
    fs::create_directories(Remote(""));
    server_->Own();
    run_ = std::make_unique<testing::TestRun>(*server_);
    run_->settings.SiteURL = "http://new";
    run_->settings.LocalRoot = local_.string();
    run_->settings.Retries = 1;
    run_->settings.RetryPause = 0;
    run_->settings.AutoDetect = true;
    for (const char* name : {"a.htm", "b.htm", "c.gif", "sub/d.htm"}) {
      testing::WriteFile(local_ / name, std::string("<title>") + name + "</title>\n");
    }
    Touch(std::time(nullptr) - 2 * 24 * 3600);
    Touch(std::time(nullptr) - 2 * 3600, "b.htm");  // edited two hours before the first run
  }

  fs::path Remote(const std::string& path) const { return fs::path(server_->Root()) / "www" / path; }
  void Touch(std::time_t when, const std::string& only = std::string()) {
    for (const auto& entry : fs::recursive_directory_iterator(local_)) {
      if (!only.empty() && entry.path() != local_ / only) continue;
      utimbuf times{when, when};
      ::utime(entry.path().c_str(), &times);
    }
  }

  RunOutcome Run(TransferMethod method, bool changes) {
    run_->settings.Site.Method = method;
    run_->profile.new_changes = changes;
    run_->log.clear();
    return run_->Start();
  }
  std::vector<std::string> Written() const {
    std::vector<std::string> names;
    for (const std::string& line : run_->log) {
      if (line.rfind("Write File ", 0) == 0) names.push_back(line.substr(11));
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string Log() const { return run_->Text(); }

  testing::TempDir dir_;
  std::unique_ptr<FtpServerFixture> server_;
  fs::path local_ = dir_.Path() / "site";
  std::unique_ptr<testing::TestRun> run_;
};

TEST_P(TimeZoneTest, TheModernMethodSendsExactlyTheEditedFiles) {
  ASSERT_EQ(Run(TransferMethod::Modern, false), RunOutcome::Finished) << Log();
  ASSERT_EQ(Run(TransferMethod::Modern, true), RunOutcome::Finished) << Log();
  EXPECT_THAT(Written(), ::testing::IsEmpty()) << Log();
  // vsftpd has no MLSD; the others list with it. proftpd's MLSD gives UTC
  // whatever its LIST does (TimesGMT off), so nothing is learnt there.
  const char* listing = GetParam().kind == Kind::Vsftpd ? "LIST" : "MLSD";
  const std::string offset = GetParam().kind == Kind::Proftpd ? "in UTC" : GetParam().offset;
  EXPECT_THAT(run_->log, Contains(std::string("The server's listing times are ") + offset + " (learnt from the time " +
                                  listing + " gave a marker file sent to /www)."))
      << Log();
  EXPECT_THAT(testing::Tree(Remote("")), ::testing::SizeIs(4)) << "the marker file was left behind";

  // A same-size edit, and a file only touched, a minute after the last run.
  testing::WriteFile(local_ / "a.htm", "<title>A.htm</title>\n");
  Touch(std::time(nullptr) + 60, "a.htm");
  Touch(std::time(nullptr) + 60, "sub/d.htm");
  // What the classic method makes of it depends on the zone: a server ahead
  // lists every copy as newer, so the edits are never sent; one behind lists
  // them as older, so a file edited in the hours before its upload (b.htm)
  // goes again on every run.
  const bool ahead = std::string(GetParam().offset).find("ahead") != std::string::npos;
  ASSERT_EQ(Run(TransferMethod::Classic, true), RunOutcome::Finished) << Log();
  const std::vector<std::string> classic =
      ahead ? std::vector<std::string>() : std::vector<std::string>{"a.htm", "b.htm", "d.htm"};
  EXPECT_EQ(Written(), classic) << Log();
  // The server's copy of a.htm as it was, and both edits a minute after.
  testing::WriteFile(Remote("a.htm"), "<title>a.htm</title>\n");
  server_->Own();
  Touch(std::time(nullptr) + 60, "a.htm");
  Touch(std::time(nullptr) + 60, "sub/d.htm");

  ASSERT_EQ(Run(TransferMethod::Modern, true), RunOutcome::Finished) << Log();
  EXPECT_THAT(Written(), ::testing::ElementsAre("a.htm", "d.htm")) << Log();
  EXPECT_EQ(testing::ReadFile(Remote("a.htm")), "<title>A.htm</title>\n");
  EXPECT_TRUE(testing::Tree(Remote("")) == testing::Tree(local_));
}

// A server listing local times in a zone with daylight saving: the offset
// the marker gives today is an hour off for a copy made on the other side
// of a change, which then looks an hour newer than it is. The zone's rule
// puts a daylight saving period around three weeks ago, whatever today is,
// so that LIST still shows times of day for it.
class DaylightSavingTest : public TimeZoneTest {
 public:
  static std::string Zone() {
    const std::time_t reference = std::time(nullptr) - 21 * 24 * 3600;
    std::tm fields{};
    ::gmtime_r(&reference, &fields);
    const int day = std::clamp(fields.tm_yday + 1, 6, 360);
    return "XST5XDT,J" + std::to_string(day - 5) + ",J" + std::to_string(day + 5);
  }
};

TEST_P(DaylightSavingTest, ACopyFromTheOtherSideOfAChangeIsNeverTakenAsNewer) {
  ASSERT_EQ(Run(TransferMethod::Modern, false), RunOutcome::Finished) << Log();
  // Copies made three weeks ago, in the server's summer time; the local
  // edit came half an hour after one of them, two days before the other.
  const std::time_t made = std::time(nullptr) - 21 * 24 * 3600;
  for (const char* name : {"late.htm", "early.htm"}) {
    testing::WriteFile(Remote(name), "old\n");
    testing::WriteFile(local_ / name, "new\n");
    utimbuf times{made, made};
    ::utime(Remote(name).c_str(), &times);
  }
  server_->Own();
  Touch(made + 30 * 60, "late.htm");
  Touch(made - 2 * 24 * 3600, "early.htm");
  ASSERT_EQ(Run(TransferMethod::Modern, true), RunOutcome::Finished) << Log();
  EXPECT_THAT(run_->log, Contains(::testing::HasSubstr("The server's listing times are 5 h behind UTC"))) << Log();
  EXPECT_THAT(Written(), ::testing::ElementsAre("late.htm")) << Log();
  EXPECT_EQ(testing::ReadFile(Remote("late.htm")), "new\n");
}

std::string ZoneName(const ::testing::TestParamInfo<Zone>& info) {
  return std::string(FtpServerFixture::Name(info.param.kind)) +
         (std::string(info.param.offset).find("ahead") != std::string::npos ? "Ahead" : "Behind") +
         (info.param.tls == testing::ServerTls::None ? "" : "Tls");
}

INSTANTIATE_TEST_SUITE_P(Servers, TimeZoneTest,
                         ::testing::Values(Zone{Kind::Pyftpdlib, "XST-9", "9 h ahead of UTC"},
                                           Zone{Kind::Pyftpdlib, "YST+5", "5 h behind UTC"},
                                           Zone{Kind::Vsftpd, "XST-9", "9 h ahead of UTC"},
                                           Zone{Kind::Vsftpd, "YST+5", "5 h behind UTC", testing::ServerTls::Explicit},
                                           Zone{Kind::Proftpd, "XST-9", "9 h ahead of UTC"},
                                           Zone{Kind::Proftpd, "YST+5", "5 h behind UTC"}),
                         ZoneName);

const std::string kDaylightZone = DaylightSavingTest::Zone();

INSTANTIATE_TEST_SUITE_P(Servers, DaylightSavingTest,
                         ::testing::Values(Zone{Kind::Pyftpdlib, kDaylightZone.c_str(), "5 h behind UTC"},
                                           Zone{Kind::Vsftpd, kDaylightZone.c_str(), "5 h behind UTC"}),
                         ZoneName);

}  // namespace
}  // namespace kestova

// Keeping the new site in step against the three FTP servers: what is gone
// locally goes from the server after a publish that sent everything, and
// only then; what is excluded, dot-files and folders that keep one stay on
// both sides; a test run changes nothing on the server; and past the limit
// nothing goes without a yes.
#include <sys/stat.h>

#include <fstream>
#include <regex>

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
using testing::FtpServerFixture;
using Kind = FtpServerFixture::Kind;
using Tree = std::map<std::string, std::string>;
using ::testing::Contains;

struct Case {
  Kind kind;
  TransferMethod method;
};

class RemovalTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    // The server's tree before the publish: a page renamed locally, a
    // folder gone locally, one that keeps an excluded file, what is
    // excluded, a dot-file.
    server_tree_ = {{"www/index.htm", "old home"},
                    {"www/old-name.htm", "renamed locally"},
                    {"www/.htaccess", "keep"},
                    {"www/gone/page.htm", "gone"},
                    {"www/gone/deep/x.css", "x"},
                    {"www/kept/notes.psd", "excl"},
                    {"www/kept/page.htm", "gone"},
                    {"www/art/logo.psd", "excluded"},
                    {"www/drafts/d.htm", "excluded"},
                    {"www/sub/stale.htm", "gone"},
                    {"www/sub/b.htm", "b"}};
    for (const auto& [path, text] : server_tree_) testing::WriteFile(Root() / path, text);
    local_ = {{"index.htm", "home"}, {"new-name.htm", "renamed locally"}, {"sub/b.htm", "b"}};
    for (const auto& [path, text] : local_) testing::WriteFile(dir_.Path() / "local" / path, text);
    testing::FtpServerOptions options;
    options.protocol_log = (dir_.Path() / "protocol.log").string();
    std::string why;
    server_ = FtpServerFixture::Start(GetParam().kind, Root().string(), why, options);
    ASSERT_TRUE(server_) << why;
    run_ = std::make_unique<testing::TestRun>(*server_);
    run_->settings.Site.Method = GetParam().method;
    run_->settings.StartDir = "/www";
    run_->settings.LocalRoot = (dir_.Path() / "local").string();
    run_->settings.RemoveGone = true;
    run_->settings.Exclude = "*.psd\ndrafts/";
  }
  fs::path Root() const { return dir_.Path() / "server"; }
  Tree Remote() const { return testing::Tree(Root() / "www"); }
  // The commands that change the server's files, from its own log.
  int Writes() const {
    std::ifstream in(dir_.Path() / "protocol.log");
    static const std::regex kWrite(R"(\b(STOR|APPE|DELE|RMD|MKD|RNFR|RNTO)\b)");
    int count = 0;
    for (std::string line; std::getline(in, line);) count += std::regex_search(line, kWrite) ? 1 : 0;
    return count;
  }
  RunOutcome Start(std::function<bool(const RemovalPreview&)> confirm = nullptr) {
    Upload& run = run_->Make();
    run.ConfirmRemovals = std::move(confirm);
    return run.StartUpload();
  }
  std::string Log() const { return run_->Text(); }

  testing::TempDir dir_;
  Tree server_tree_, local_;
  std::unique_ptr<FtpServerFixture> server_;
  std::unique_ptr<testing::TestRun> run_;
};

TEST_P(RemovalTest, ATestRunListsTheRemovalsAndChangesNothingThenARunMakesTheTreeExact) {
  run_->profile.test_run = true;
  ASSERT_EQ(Start(), RunOutcome::Finished) << Log();
  EXPECT_EQ(Writes(), 0) << Log();
  for (const char* gone : {"## Test: Remove File /www/old-name.htm", "## Test: Remove File /www/gone/page.htm",
                           "## Test: Remove File /www/gone/deep/x.css", "## Test: Remove Dir /www/gone/deep",
                           "## Test: Remove Dir /www/gone", "## Test: Remove File /www/kept/page.htm",
                           "## Test: Remove File /www/sub/stale.htm"}) {
    EXPECT_EQ(run_->Count(gone + std::string(" (no longer in the local folder)")), 1) << gone << "\n" << Log();
  }
  EXPECT_EQ(run_->Count("## Test: Remove"), 7) << Log();
  if (GetParam().method == TransferMethod::Modern) {
    EXPECT_THAT(run_->log, Contains("Would send 3 files (20 bytes), make 0 folders, remove 5 files and 2 folders"))
        << Log();
    // The plan grouped before that line, each file with why it goes.
    for (const char* line :
         {"The plan:", "  Files to send (3):", "    /www/new-name.htm (Overwrite All)",
          "  Files to remove (5):", "    /www/old-name.htm", "  Folders to remove (2):", "    /www/gone"}) {
      EXPECT_THAT(run_->log, Contains(line)) << Log();
    }
  } else {
    EXPECT_THAT(run_->log, Contains("Would remove 5 files and 2 folders")) << Log();
  }

  run_->profile.test_run = false;
  run_->log.clear();
  ASSERT_EQ(Start(), RunOutcome::Finished) << Log();
  Tree expected = local_;
  for (const char* stays : {".htaccess", "kept/notes.psd", "art/logo.psd", "drafts/d.htm"}) {
    expected[stays] = server_tree_.at(std::string("www/") + stays);
  }
  EXPECT_EQ(Remote(), expected) << Log();
  EXPECT_THAT(run_->log, Contains("Removed /www/gone (no longer in the local folder)")) << Log();
}

// Excluded names stay out of every job: a local one is never sent, and a
// wipe keeps the remote ones with the folders that hold them.
TEST_P(RemovalTest, AWipeKeepsWhatIsExcludedAndExcludedLocalFilesAreNeverSent) {
  testing::WriteFile(dir_.Path() / "local/secret.psd", "local only");
  testing::WriteFile(dir_.Path() / "local/drafts/new.htm", "local only");
  run_->settings.RemoveGone = false;
  run_->settings.WipeFirst = true;
  ASSERT_EQ(Start(), RunOutcome::Finished) << Log();
  Tree expected = local_;
  for (const char* stays : {"kept/notes.psd", "art/logo.psd", "drafts/d.htm"}) {
    expected[stays] = server_tree_.at(std::string("www/") + stays);
  }
  Tree remote = Remote();
  remote.erase(".htaccess");  // dot-files stay as they always have
  EXPECT_EQ(remote, expected) << Log();
}

// A run that did not send everything removes nothing: here a local file
// that cannot be published (a FIFO), and a run stopped at its first file.
TEST_P(RemovalTest, ARunThatDidNotSendEverythingRemovesNothing) {
  ASSERT_EQ(::mkfifo((dir_.Path() / "local/pipe.htm").c_str(), 0644), 0);
  EXPECT_EQ(Start(), RunOutcome::Terminated) << Log();
  EXPECT_THAT(run_->log, Contains("Not everything was sent: nothing was removed.")) << Log();
  EXPECT_EQ(Remote().count("old-name.htm"), 1u);
  fs::remove(dir_.Path() / "local/pipe.htm");

  run_->log.clear();
  run_->watch = [](const std::string& line, Upload& run) {
    if (line.rfind("Copy to", 0) == 0) run.Stop();
  };
  EXPECT_EQ(Start(), RunOutcome::Terminated) << Log();
  EXPECT_THAT(run_->log, Contains("The run did not finish: nothing was removed.")) << Log();
  EXPECT_EQ(Remote().count("gone/page.htm"), 1u);
}

// Past the limit the run lists what would go and removes nothing unless
// someone says yes.
TEST_P(RemovalTest, PastTheLimitNothingGoesWithoutAYes) {
  run_->settings.MaxRemove = 2;  // 5 files would go; 10 % of the 11 remote files is 1
  const struct {
    bool asked, yes;
    RunOutcome outcome;
    const char* said;
  } steps[] = {
      {false, false, RunOutcome::Terminated, "Nothing was removed: past the limit a removal needs a yes"},
      {true, false, RunOutcome::Terminated, "The removal was not confirmed: nothing was removed."},
      {true, true, RunOutcome::Finished, "Removed /www/old-name.htm (no longer in the local folder)"},
  };
  for (const auto& step : steps) {
    run_->log.clear();
    RemovalPreview seen;
    const auto confirm = [&](const RemovalPreview& preview) {
      seen = preview;
      return step.yes;
    };
    EXPECT_EQ(step.asked ? Start(confirm) : Start(), step.outcome) << Log();
    EXPECT_EQ(run_->Count(step.said), 1) << Log();
    EXPECT_EQ(run_->Count("This run would remove 5 files and 2 folders that are no longer in the local folder, "
                          "more than the limit of 2:"),
              1)
        << Log();
    EXPECT_EQ(seen.paths.size(), step.asked ? 7u : 0u);
    EXPECT_EQ(Remote().count("gone/page.htm"), step.yes ? 0u : 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, RemovalTest,
                         ::testing::Values(Case{Kind::Pyftpdlib, TransferMethod::Modern},
                                           Case{Kind::Vsftpd, TransferMethod::Modern},
                                           Case{Kind::Proftpd, TransferMethod::Modern},
                                           Case{Kind::Vsftpd, TransferMethod::Classic}),
                         [](const ::testing::TestParamInfo<Case>& tested) {
                           return std::string(FtpServerFixture::Name(tested.param.kind)) +
                                  (tested.param.method == TransferMethod::Modern ? "Modern" : "Classic");
                         });

}  // namespace
}  // namespace kestova

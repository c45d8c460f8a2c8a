// Whole runs against vsftpd through a relay that injects network faults
// (cut connections, stalled and truncated replies, 421 at login) from a
// seeded plan. A run with retries must still publish the site exactly; a run
// whose retries run out must say so, and the next Wrt Changes run must mend
// what it left behind, files cut short included. KESTOVA_SOAK_SEED picks
// another seed.
#include <utime.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/upload.h"
#include "support/fault_relay.h"
#include "support/file_tree.h"
#include "support/ftp_servers.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using testing::FaultPlan;
using testing::FaultRelay;
using testing::FtpServerFixture;
using ::testing::HasSubstr;
using testing::ReadFile;
using testing::Tree;
using testing::WriteFile;

std::uint32_t Seed() {
  const char* text = std::getenv("KESTOVA_SOAK_SEED");
  return text ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : 20261208u;
}

// What the soak runs read of the profile.
testing::FakeProfile SoakProfile() {
  testing::FakeProfile view;
  view.exts = "htm,html,txt";
  view.new_url = "http://new.example";
  view.old_url = "http://old.example";
  view.lines = {};
  view.name = "Soak";
  return view;
}

// The retry pauses are recorded, not waited: the too-many-connections step-up
// alone would wait minutes.
class RecordedPauses : public Upload {
 public:
  using Upload::Upload;
  void PauseSeconds(int n) override { pauses.push_back(n); }
  std::vector<int> pauses;
};

// Deterministic noise, so binary files hold every byte value, CR and LF too.
std::string Noise(size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 1;
  for (char& c : bytes) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

class FaultSoakTest : public ::testing::Test {
 protected:
  FaultSoakTest() { view_ = SoakProfile(); }
  void SetUp() override {
    std::string why;
    server_ = FtpServerFixture::Start(FtpServerFixture::Kind::Vsftpd, (dir_.Path() / "server").string(), why);
    ASSERT_TRUE(server_) << why;
    relay_ = FaultRelay::Start(std::stoi(server_->Port()), FaultPlan{}, why);
    ASSERT_TRUE(relay_) << why;
    LogIn(relay_->Port());
    client_.TimeoutMs = 500;  // a stalled reply is held 800 ms
    local_ = dir_.Path() / "site";
  }

  // `files` pages and pictures in a dozen folders, edited two days ago.
  void MakeSite(int files) {
    for (int i = 0; i < files; ++i) {
      const fs::path folder = local_ / ("part" + std::to_string(i % 4)) / ("section" + std::to_string(i % 12));
      if (i % 2 == 0) {
        WriteFile(folder / ("picture" + std::to_string(i) + ".gif"),
                  Noise(2000 + static_cast<size_t>(i % 9) * 3000, i));
      } else {
        std::string page = "<html><head><title>Page " + std::to_string(i) + "</title></head><body>\n";
        for (int line = 0; line < i % 60; ++line) page += "<p>Line " + std::to_string(line) + "</p>\n";
        WriteFile(folder / ("page" + std::to_string(i) + ".htm"), page + "</body></html>\n");
      }
    }
    SetTimes(std::time(nullptr) - 2 * 24 * 3600);
  }

  void SetTimes(std::time_t when) {
    for (const auto& entry : fs::recursive_directory_iterator(local_)) {
      utimbuf times{when, when};
      ::utime(entry.path().c_str(), &times);
    }
  }

  // The run goes to the relay, which passes everything on to the server.
  void LogIn(const std::string& port) {
    run_.settings.Site.Port = port;
    run_.settings.Site.UserName = server_->User();
    run_.settings.Site.PassWord = server_->Password();
  }

  RunOutcome Run(const std::string& start_dir, int retries, std::function<void(const std::string&)> watch = nullptr) {
    RunSettings& settings = run_.settings;
    settings.SiteURL = "http://new.example";
    settings.StartDir = start_dir;
    settings.LocalRoot = local_.string();
    settings.RetryPause = 1;
    settings.Retries = retries;
    settings.AutoDetect = true;
    log_.clear();
    run_.watch = [watch](const std::string& line, Upload&) {
      if (watch) watch(line);
    };
    return run_.Make<RecordedPauses>().StartUpload();
  }

  fs::path Remote(const std::string& path) const { return fs::path(server_->Root()) / path; }

  // What went wrong, for a failing assertion: the faults and the run's log.
  std::string Report() const {
    std::string text = "seed " + std::to_string(Seed()) + "; faults:\n";
    for (const std::string& line : relay_->Journal()) text += "  " + line + "\n";
    text += "log (last 60 lines):\n";
    for (size_t i = log_.size() > 60 ? log_.size() - 60 : 0; i < log_.size(); ++i) text += "  " + log_[i] + "\n";
    return text;
  }

  // Names of the files that differ between the local tree and the remote one.
  std::vector<std::string> Differences(const std::string& remote_dir) const {
    const auto local = Tree(local_);
    const auto remote = Tree(Remote(remote_dir));
    std::vector<std::string> names;
    for (const auto& [name, bytes] : local) {
      const auto found = remote.find(name);
      if (found == remote.end()) {
        names.push_back(name + " (missing)");
      } else if (found->second != bytes) {
        names.push_back(name + " (" + std::to_string(found->second.size()) + " of " + std::to_string(bytes.size()) +
                        " bytes)");
      }
    }
    for (const auto& [name, bytes] : remote) {
      if (!local.count(name)) names.push_back(name + " (extra)");
    }
    return names;
  }

  testing::TempDir dir_;
  std::unique_ptr<FtpServerFixture> server_;
  std::unique_ptr<FaultRelay> relay_;
  testing::TestRun run_{""};
  FtpClient& client_ = run_.client;
  testing::FakeProfile& view_ = run_.profile;
  fs::path local_;
  std::vector<std::string>& log_ = run_.log;
};

FaultPlan Faulty(std::uint32_t seed) {
  FaultPlan plan;
  plan.seed = seed;
  plan.refuse_login = 0.08;
  plan.drop_control = 0.008;
  plan.truncate_reply = 0.008;
  plan.stall = 0.003;
  plan.drop_data = 0.04;
  plan.stall_ms = 800;
  plan.max_faults = 45;
  return plan;
}

TEST_F(FaultSoakTest, RunsWithRetriesPublishTheSiteExactlyDespiteFaults) {
  MakeSite(300);
  relay_->SetPlan(Faulty(Seed()));
  ASSERT_EQ(Run("/www", 10), RunOutcome::Finished) << Report();
  EXPECT_EQ(log_.back(), "Finished.");
  EXPECT_THAT(Differences("www"), ::testing::IsEmpty()) << Report();
  const FaultRelay::Counts first = relay_->Injected();

  // Edited and new files go out in Wrt Changes through the same faults,
  // listings cut short included.
  const std::time_t later = std::time(nullptr) + 3600;
  auto edit = [&](const fs::path& file, const std::string& bytes) {
    WriteFile(file, bytes);
    utimbuf times{later, later};
    ::utime(file.c_str(), &times);
  };
  for (int i = 0; i < 300; i += 7) {
    const fs::path file = local_ / ("part" + std::to_string(i % 4)) / ("section" + std::to_string(i % 12)) /
                          (i % 2 == 0 ? "picture" + std::to_string(i) + ".gif" : "page" + std::to_string(i) + ".htm");
    edit(file, i % 2 == 0 ? Noise(7000, i + 1000) : "<title>Edited " + std::to_string(i) + "</title>\n");
  }
  for (int i = 0; i < 10; ++i) edit(local_ / "part0" / "new" / ("new" + std::to_string(i) + ".gif"), Noise(9000, i));
  FaultPlan plan = Faulty(Seed() + 1);
  plan.max_faults = first.Faults() + 30;
  relay_->SetPlan(plan);
  view_.new_changes = true;
  ASSERT_EQ(Run("/www", 10), RunOutcome::Finished) << Report();
  EXPECT_THAT(Differences("www"), ::testing::IsEmpty()) << Report();

  const FaultRelay::Counts counts = relay_->Injected();
  std::printf(
      "faults injected: %d (421 at login %d, control resets %d, truncated replies %d, stalls %d, data resets %d) "
      "over %d sessions and %d data connections\n",
      counts.Faults(), counts.refused_logins, counts.dropped_control, counts.truncated_replies, counts.stalls,
      counts.dropped_data, counts.sessions, counts.data_connections);
  // The plan must really have hit the runs, in every kind of fault.
  EXPECT_GE(counts.Faults(), 30) << Report();
  EXPECT_GE(counts.refused_logins, 1);
  EXPECT_GE(counts.dropped_control, 1);
  EXPECT_GE(counts.truncated_replies, 1);
  EXPECT_GE(counts.stalls, 1);
  EXPECT_GE(counts.dropped_data, 1);
}

// The same over explicit TLS against vsftpd at its strictest (every data
// connection resuming the control connection's session, close_notify
// required): the relay, which cannot read TLS, cuts control connections
// (in the handshake, the login or later) and data connections after random
// byte counts.
class TlsFaultSoakTest : public FaultSoakTest {
 protected:
  void SetUp() override {
    std::string why;
    testing::FtpServerOptions options;
    options.tls = testing::ServerTls::Explicit;
    server_ = FtpServerFixture::Start(FtpServerFixture::Kind::Vsftpd, (dir_.Path() / "server").string(), why, options);
    ASSERT_TRUE(server_) << why;
    FaultPlan plan;
    plan.blind = true;
    plan.seed = Seed();
    // Every session is cut somewhere in its first 20000 bytes until eight
    // faults have been injected, data connections among them.
    plan.drop_control = 1.0;
    plan.max_control_cut = 20000;
    plan.drop_data = 0.15;
    plan.max_faults = 8;
    plan.first_data_port = server_->FirstPassivePort();
    plan.last_data_port = server_->LastPassivePort();
    relay_ = FaultRelay::Start(std::stoi(server_->Port()), plan, why);
    ASSERT_TRUE(relay_) << why;
    LogIn(relay_->Port());
    run_.settings.Site.HostName = relay_->Host();
    run_.settings.Site.Security = FtpSecurity::Explicit;
    run_.settings.Site.TrustedFingerprint = server_->Certificate()->fingerprint;
    client_.TimeoutMs = 2000;
    local_ = dir_.Path() / "site";
  }

  void PublishThroughCuts() {
    MakeSite(80);
    ASSERT_EQ(Run("/www", 10), RunOutcome::Finished) << Report();
    EXPECT_EQ(log_.back(), "Finished.");
    EXPECT_THAT(Differences("www"), ::testing::IsEmpty()) << Report();
    EXPECT_THAT(log_, Contains(HasSubstr("Encrypted with TLS 1.3"))) << Report();
    const FaultRelay::Counts counts = relay_->Injected();
    std::printf(
        "TLS faults injected: %d (control resets %d, data resets %d) over %d sessions and %d data connections\n",
        counts.Faults(), counts.dropped_control, counts.dropped_data, counts.sessions, counts.data_connections);
    EXPECT_GE(counts.dropped_control, 1) << Report();
    EXPECT_GE(counts.dropped_data, 1) << Report();
  }
};

TEST_F(TlsFaultSoakTest, CutTlsConnectionsStillEndFinishedWithAnExactTree) { PublishThroughCuts(); }

// The modern method closes each upload as soon as its last bytes are with
// the system: a cut must still never pass for a whole file.
TEST_F(TlsFaultSoakTest, TheModernMethodThroughTheSameCutsEndsAsExact) {
  run_.settings.Site.Method = TransferMethod::Modern;
  PublishThroughCuts();
}

// The modern method with about every fifth data connection cut: whether its
// retries mend the cuts or run out, every file on the server is a whole old
// or a whole new copy, never missing or cut, and the next run leaves no
// temporary file behind.
TEST_F(FaultSoakTest, TheModernMethodNeverLeavesAFileMissingOrCut) {
  run_.settings.Site.Method = TransferMethod::Modern;
  MakeSite(60);
  for (const auto& [name, bytes] : Tree(local_)) WriteFile(Remote("www/" + name), "old copy of " + name);
  server_->Own();
  FaultPlan plan;
  plan.seed = Seed();
  plan.drop_data = 0.2;
  plan.max_data_cut = 6000;
  plan.max_faults = 1000;
  relay_->SetPlan(plan);
  ASSERT_EQ(Run("/www", 10), RunOutcome::Finished) << Report();
  EXPECT_THAT(Differences("www"), ::testing::IsEmpty()) << Report();
  const int cut_with_retries = relay_->Injected().dropped_data;

  // New content, and no retries: the first cut ends the run.
  const auto previous = Tree(local_);
  for (const auto& [name, bytes] : previous) WriteFile(local_ / name, bytes + "<!-- edited -->\n");
  const auto edited = Tree(local_);
  ASSERT_EQ(Run("/www", 0), RunOutcome::Terminated) << Report();
  const auto remote = Tree(Remote("www"));
  int new_copies = 0;
  for (const auto& [name, bytes] : edited) {
    const auto found = remote.find(name);
    ASSERT_NE(found, remote.end()) << name << " is missing\n" << Report();
    EXPECT_TRUE(found->second == bytes || found->second == previous.at(name)) << name << " is cut\n" << Report();
    new_copies += found->second == bytes;
  }
  EXPECT_LT(new_copies, static_cast<int>(edited.size())) << "no cut came";

  relay_->SetPlan(FaultPlan{});
  ASSERT_EQ(Run("/www", 10), RunOutcome::Finished) << Report();
  EXPECT_THAT(Differences("www"), ::testing::IsEmpty()) << "a temporary file remains, or a copy differs\n" << Report();
  std::printf("data connections cut: %d with retries, %d in the run without\n", cut_with_retries,
              relay_->Injected().dropped_data - cut_with_retries);
  EXPECT_GE(cut_with_retries, 3) << Report();
}

TEST_F(FaultSoakTest, ARunWhoseRetriesRunOutIsMendedByTheNextWrtChangesRun) {
  MakeSite(60);
  // Part way through, every data connection starts being cut before 1000
  // bytes: the next picture (2000 bytes or more) cannot be sent.
  int copied = 0;
  const RunOutcome outcome = Run("/www", 2, [&](const std::string& line) {
    if (line.rfind("Copy to", 0) == 0 && ++copied == 20) {
      FaultPlan plan;
      plan.seed = Seed();
      plan.drop_data = 1.0;
      plan.max_data_cut = 1000;
      plan.max_faults = 1000;
      relay_->SetPlan(plan);
    }
  });
  ASSERT_EQ(outcome, RunOutcome::Terminated) << Report();
  EXPECT_EQ(log_.back(), "Terminated before completion.");
  EXPECT_THAT(log_, Contains("Connection retries all failed."));
  // The server holds a picture cut short, newer than the local file.
  std::vector<std::string> cut_short;
  for (const auto& [name, bytes] : Tree(Remote("www"))) {
    const std::string local = ReadFile(local_ / name);
    if (bytes.size() < local.size() && local.compare(0, bytes.size(), bytes) == 0) cut_short.push_back(name);
  }
  ASSERT_FALSE(cut_short.empty()) << "the failed run left no file cut short\n" << Report();

  relay_->SetPlan(FaultPlan{});
  view_.new_changes = true;
  ASSERT_EQ(Run("/www", 2), RunOutcome::Finished) << Report();
  EXPECT_THAT(Differences("www"), ::testing::IsEmpty()) << Report();
  const std::string base = fs::path(cut_short.front()).filename().string();
  EXPECT_THAT(log_, Contains(HasSubstr("File " + base + " - size differs"))) << Report();
  EXPECT_THAT(log_, Contains("Write File " + base));
}

// A session lost in the middle of an upload is replaced by a new one, which
// starts in the server's default type: the file sent again must still go as
// binary. pyftpdlib turns CR LF into LF in ASCII uploads, so a binary file
// sent in ASCII would arrive changed.
TEST(ReconnectionTest, AFileSentAgainOnANewSessionKeepsItsTransferType) {
  testing::TempDir dir;
  std::string why;
  auto server = FtpServerFixture::Start(FtpServerFixture::Kind::Pyftpdlib, (dir.Path() / "server").string(), why);
  ASSERT_TRUE(server) << why;
  FaultPlan plan;
  plan.drop_control = 1.0;
  plan.only_replies = "1";  // 150 or 125, the reply that starts the upload
  plan.max_faults = 1;
  auto relay = FaultRelay::Start(std::stoi(server->Port()), plan, why);
  ASSERT_TRUE(relay) << why;
  testing::TestRun test(relay->Port(), server->User(), server->Password());
  test.profile = SoakProfile();
  const std::string bytes = "line\r\nbreaks\r\n" + Noise(5000, 3);
  WriteFile(dir.Path() / "site" / "data.bin", bytes);
  test.settings.LocalRoot = (dir.Path() / "site").string();
  test.settings.Retries = 3;
  test.settings.RetryPause = 0;
  test.settings.AutoDetect = true;
  const std::vector<std::string>& log = test.log;
  RecordedPauses& run = test.Make<RecordedPauses>();
  ASSERT_EQ(run.StartUpload(), RunOutcome::Finished);
  EXPECT_EQ(relay->Injected().dropped_control, 1);
  EXPECT_THAT(log, Contains("Connect Failed. Retrying [Pause 0s]..."));
  EXPECT_TRUE(ReadFile(dir.Path() / "server" / "www" / "data.bin") == bytes) << "the file arrived changed";
}

// The reply to RNTO lost with the connection: the rename happened, and the
// retried RNFR of the temporary name is refused because of it. The run
// must take the listing's word that the file is in place, not take the
// server for one that cannot rename: no page it just put in place deleted,
// and every later file still renamed into place.
TEST(ReconnectionTest, ALostReplyToARenameLeavesTheFileInPlace) {
  // pyftpdlib with Wrt Changes (MLSD), vsftpd with Overwrite All (LIST).
  for (const auto kind : {FtpServerFixture::Kind::Pyftpdlib, FtpServerFixture::Kind::Vsftpd}) {
    SCOPED_TRACE(FtpServerFixture::Name(kind));
    testing::TempDir dir;
    std::string why;
    testing::FtpServerOptions options;
    options.protocol_log = dir.File("commands.log");
    auto server = FtpServerFixture::Start(kind, (dir.Path() / "server").string(), why, options);
    ASSERT_TRUE(server) << why;
    FaultPlan plan;
    plan.drop_control = 1.0;
    plan.only_replies = "250 Renam";  // "250 Renaming ok.", "250 Rename successful."
    plan.max_faults = 1;
    auto relay = FaultRelay::Start(std::stoi(server->Port()), plan, why);
    ASSERT_TRUE(relay) << why;
    testing::TestRun test(relay->Port(), server->User(), server->Password());
    test.settings.Site.Method = TransferMethod::Modern;
    test.profile = SoakProfile();
    test.profile.new_changes = kind == FtpServerFixture::Kind::Pyftpdlib;
    for (const char* name : {"a.htm", "b.gif", "c.htm"}) {
      WriteFile(dir.Path() / "site" / name, std::string("new ") + name + Noise(3000, name[0]));
      WriteFile(dir.Path() / "server" / "www" / name, "old");
    }
    server->Own();
    test.settings.LocalRoot = (dir.Path() / "site").string();
    test.settings.Retries = 2;
    test.settings.AutoDetect = true;
    const std::vector<std::string>& log = test.log;
    RecordedPauses& run = test.Make<RecordedPauses>();
    ASSERT_EQ(run.StartUpload(), RunOutcome::Finished) << ::testing::PrintToString(log);
    EXPECT_EQ(relay->Injected().dropped_control, 1);
    EXPECT_THAT(log, Contains(HasSubstr("was lost; the listing shows it in place, so it is done.")));
    EXPECT_THAT(log, ::testing::Not(Contains(HasSubstr("The server refused"))));
    EXPECT_TRUE(Tree(dir.Path() / "server" / "www") == Tree(dir.Path() / "site"));
    const std::string commands = ReadFile(dir.File("commands.log"));
    for (size_t at = commands.find("DELE "); at != std::string::npos; at = commands.find("DELE ", at + 1)) {
      EXPECT_EQ(commands.compare(at + 5, 17, "~kestova-partial~"), 0) << commands.substr(at, 40);
    }
  }
}

}  // namespace
}  // namespace kestova

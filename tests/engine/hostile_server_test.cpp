// Whole runs against a server that lies in its listings: names that are
// paths, names with line breaks and NUL, folders listed as "/" or "sub/..",
// folders without end, numbers as names, refused deletes. Whatever it lists,
// a run acts only inside its start directory and says what it left undone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/upload.h"
#include "support/fake_profile.h"
#include "support/file_tree.h"
#include "support/listed_tree.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

using namespace std::string_literals;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using testing::ListedTree;
using testing::ScriptedFtpServer;

std::string Entry(char kind, const std::string& name) {
  return std::string(1, kind) + "rw-r--r--    1 1001     1001            2 Dec 08 12:08 " + name + "\r\n";
}

class HostileServerTest : public ::testing::Test {
 protected:
  // A site to publish: a wipe for an empty local folder is refused.
  void SetUp() override { testing::WriteFile(local_.Path() / "index.htm", "home\n"); }
  RunOutcome Run(const std::string& local_root, TransferMethod method = TransferMethod::Classic, bool wipe = true,
                 const std::string& start_dir = "/start") {
    run_.settings.Site.Method = method;
    run_.settings.StartDir = start_dir;
    run_.settings.LocalRoot = local_root;
    run_.settings.WipeFirst = wipe;
    return run_.Start();
  }
  int Count(const std::string& prefix) const { return run_.Count(prefix); }
  std::string Log() const { return run_.Text(); }

  ScriptedFtpServer server_;
  ListedTree tree_{server_};
  testing::TestRun run_{server_.Port()};
  std::vector<std::string>& log_ = run_.log;
  testing::TempDir local_;
};

TEST_F(HostileServerTest, AWipeNeverLeavesTheStartDirectoryWhateverTheListingSays) {
  tree_.SetFolder("/start",
                  Entry('d', ".") + Entry('d', "..") + Entry('-', "0") + Entry('-', "100") + Entry('-', "/etc/passwd") +
                      Entry('-', "sub/../../../etc/shadow") + Entry('d', "x/../../..") + Entry('d', "/") +
                      Entry('d', "sub/..") + Entry('d', "a/b") + Entry('-', "nul\0name"s) + Entry('-', "..") +
                      Entry('-', "a\r\nDELE victim.txt") + Entry('-', "a\\..\\..\\victim") + Entry('d', "up\\..\\..") +
                      Entry('l', "linkdir -> ../outside") + Entry('d', "sub") + "drwx\r\n",
                  "0\r\n100\r\nlinkdir\r\nsub\r\na\r\n");
  tree_.SetFolder("/start/sub", Entry('-', "inner.htm"), "inner.htm\r\n");
  EXPECT_EQ(Run(local_.Path().string()), RunOutcome::Terminated) << Log();
  // Inside the start directory only, and exactly the entries that are names.
  for (const std::string& touched : tree_.Touched()) {
    EXPECT_THAT(touched, HasSubstr(" /start")) << touched;
  }
  EXPECT_THAT(tree_.Touched(), IsSupersetOf({"DELE /start/0", "DELE /start/100", "DELE /start/linkdir", "DELE /start/a",
                                             "DELE /start/sub/inner.htm", "RMD /start/sub"}));
  for (const std::string& command : server_.Commands()) {
    EXPECT_EQ(command.find("victim"), std::string::npos) << command;
    EXPECT_EQ(command.find("etc"), std::string::npos) << command;
  }
  EXPECT_EQ(Count("Skipped \""), 12) << Log();
  EXPECT_THAT(log_, Contains(HasSubstr("Skipped \"nul\\x00name\" in the listing of /start")));
  for (const std::string& line : log_) EXPECT_EQ(line.find_first_of("\r\n\0"s), std::string::npos) << line;
  EXPECT_EQ(log_.back(), "Terminated before completion.");
}

// Removing what is no longer local reads the same listings by the same
// rules: only names, inside the start directory, links removed as links and
// never entered, and what the local folder holds left alone.
TEST_F(HostileServerTest, ARemovalOfWhatIsGoneLocallyNeverLeavesTheStartDirectory) {
  tree_.SetFolder("/start",
                  Entry('d', ".") + Entry('-', "index.htm") + Entry('-', "/etc/passwd") +
                      Entry('-', "sub/../../../etc/shadow") + Entry('d', "x/../../..") + Entry('d', "/") +
                      Entry('-', "a\r\nDELE victim.txt") + Entry('-', "a\\..\\..\\victim") +
                      Entry('l', "linkdir -> /") + Entry('d', "sub") + Entry('-', ".htaccess"),
                  "index.htm\r\nlinkdir\r\nsub\r\n");
  tree_.SetFolder("/start/sub", Entry('-', "inner.htm"), "inner.htm\r\n");
  run_.settings.RemoveGone = true;
  EXPECT_EQ(Run(local_.Path().string(), TransferMethod::Modern, false), RunOutcome::Finished) << Log();
  for (const std::string& touched : tree_.Touched()) EXPECT_THAT(touched, HasSubstr(" /start")) << touched;
  EXPECT_THAT(tree_.Touched(),
              IsSupersetOf({"DELE /start/linkdir", "DELE /start/a", "DELE /start/sub/inner.htm", "RMD /start/sub"}));
  for (const std::string& command : server_.Commands()) {
    EXPECT_EQ(command.find("victim"), std::string::npos) << command;
    EXPECT_EQ(command.find("etc"), std::string::npos) << command;
    EXPECT_EQ(command.find("htaccess"), std::string::npos) << command;
    EXPECT_NE(command, "CWD /start/linkdir") << command;
  }
  EXPECT_THAT(log_, Contains("Removed /start/sub (no longer in the local folder)")) << Log();
  EXPECT_THAT(log_, ::testing::Not(Contains(HasSubstr("Removed /start/index.htm")))) << Log();  // it was just sent
}

TEST_F(HostileServerTest, AModernWipeTakesNoPathFromAnMlsdListingEither) {
  server_.On("FEAT", "211-Features:\r\n MLST type*;size*;modify*;\r\n UTF8\r\n211 End\r\n");
  server_.On("MLSD", [](testing::ScriptedSession& s, const std::string&) {
    s.Reply("150 Here comes the listing");
    if (!s.OpenData()) return s.Reply("425 Cannot open data connection");
    s.SendData(
        "type=cdir; /start\r\ntype=pdir; /\r\ntype=file;size=1; /etc/passwd\r\ntype=file; ../victim\r\n"
        "type=file; ..\r\ntype=dir; a/b\r\ntype=file; .htaccess\r\ntype=file; ok.htm\r\n"
        "type=file; a\r\nDELE victim\r\nType=OS.unix=slink:/etc; link\r\nno facts here\r\n"
        "type=file; a\\..\\..\\victim\r\n");
    s.CloseData();
    s.Reply("226 Transfer complete");
  });
  EXPECT_EQ(Run(local_.Path().string(), TransferMethod::Modern), RunOutcome::Terminated) << Log();
  for (const std::string& touched : tree_.Touched()) EXPECT_THAT(touched, HasSubstr(" /start")) << touched;
  EXPECT_THAT(tree_.Touched(), IsSupersetOf({"DELE /start/ok.htm", "DELE /start/a", "DELE /start/link"}));
  for (const std::string& command : server_.Commands()) {
    EXPECT_EQ(command.find("victim"), std::string::npos) << command;
    EXPECT_EQ(command.find("etc"), std::string::npos) << command;
    EXPECT_EQ(command.find("htaccess"), std::string::npos) << command;  // dot-files stay
  }
  EXPECT_EQ(Count("Skipped \""), 5) << Log();  // /etc/passwd, ../victim, .., a/b, a\..\..\victim
}

// The leftovers of a cut run are deleted by the names a listing gives, so
// those names pass the same check.
TEST_F(HostileServerTest, LeftoversAreRemovedOnlyUnderSafeNames) {
  tree_.SetFolder("/start", Entry('-', "~kestova-partial~old.htm") + Entry('-', "~kestova-partial~..\\..\\victim"),
                  "~kestova-partial~old.htm\r\n/start/~kestova-partial~..\\..\\victim\r\n");
  EXPECT_EQ(Run(local_.Path().string(), TransferMethod::Modern, false), RunOutcome::Finished) << Log();
  EXPECT_THAT(tree_.Touched(), Contains("DELE /start/~kestova-partial~old.htm"));
  for (const std::string& command : server_.Commands()) EXPECT_EQ(command.find("victim"), std::string::npos);
  EXPECT_THAT(log_, Contains(HasSubstr("Skipped \"~kestova-partial~..\\..\\victim\" in the listing of /start")));
}

// Into the root folder, paths have one slash between folder and name; the
// walk goes in name order, numbers by their value.
TEST_F(HostileServerTest, APublishIntoTheRootWritesSingleSlashesInNameOrder) {
  testing::WriteFile(local_.Path() / "sub" / "page.htm", "page\n");
  for (const char* name : {"d26", "d5", "d100"}) testing::WriteFile(local_.Path() / name / "x.htm", "x\n");
  ASSERT_EQ(Run(local_.Path().string(), TransferMethod::Classic, false, "/"), RunOutcome::Finished) << Log();
  EXPECT_THAT(log_, Contains("Copy to /index.htm as ASCII"));
  std::vector<std::string> copies;
  for (const std::string& line : log_) {
    if (line.rfind("Copy to ", 0) == 0) copies.push_back(line);
  }
  EXPECT_EQ(copies, (std::vector<std::string>{"Copy to /d5/x.htm as ASCII", "Copy to /d26/x.htm as ASCII",
                                              "Copy to /d100/x.htm as ASCII", "Copy to /index.htm as ASCII",
                                              "Copy to /sub/page.htm as ASCII"}));
  for (const std::string& line : log_) EXPECT_EQ(line.find("//"), std::string::npos) << line;
}

TEST_F(HostileServerTest, AFolderWithoutEndIsWipedOnlySoDeep) {
  // Every folder lists a folder inside it, as a link loop on the server would.
  tree_.SetDefault(Entry('d', "deeper"), "deeper\r\n");
  EXPECT_EQ(Run(local_.Path().string()), RunOutcome::Terminated);
  EXPECT_EQ(Count("Skipped the folder /start/deeper/"), 1);
  const auto touched = tree_.Touched();
  const long entered = std::count_if(touched.begin(), touched.end(),
                                     [](const std::string& t) { return t.rfind("CWD /start/deeper", 0) == 0; });
  EXPECT_EQ(entered, Upload::kMaxWipeDepth);
  EXPECT_THAT(log_, Contains(HasSubstr("levels below the start directory")));
  EXPECT_EQ(std::count(touched.begin(), touched.end(), "RMD /start/deeper"), 0);
}

TEST_F(HostileServerTest, RefusedDeletesAreToldAndTheRunIsNotFinished) {
  std::string listing;
  for (int i = 0; i < 210; ++i) listing += Entry('-', "page" + std::to_string(i) + ".htm");
  tree_.SetFolder("/start", listing, "page0.htm\r\n");
  tree_.Refuse("DELE", "/start/page7.htm", "550 Permission denied.");
  EXPECT_EQ(Run(local_.Path().string()), RunOutcome::Terminated);
  EXPECT_THAT(log_, Contains("Could not delete /start/page7.htm: 550 Permission denied."));
  EXPECT_THAT(log_, Contains("Not everything was done: 1 item was skipped or refused (see above)."));
  EXPECT_EQ(log_.back(), "Terminated before completion.");
  // The other 209 are gone, and a long listing is not copied whole.
  const auto touched = tree_.Touched();
  EXPECT_EQ(std::count_if(touched.begin(), touched.end(), [](const std::string& t) { return t.rfind("DELE", 0) == 0; }),
            210);
  EXPECT_EQ(Count("-rw-r--r--"), static_cast<int>(Upload::kMaxLoggedListingLines));
  EXPECT_THAT(log_, Contains("(10 more lines of this listing not shown)"));
}

TEST_F(HostileServerTest, NothingIsSentAfterTheRunGaveUp) {
  tree_.SetFolder("/start", Entry('d', "sub") + Entry('-', "after.htm"), "sub\r\nafter.htm\r\n");
  tree_.Refuse("CWD", "/start/sub", "550 Failed to change directory.");
  EXPECT_EQ(Run(local_.Path().string()), RunOutcome::Terminated);
  EXPECT_THAT(log_, Contains("Connection retries all failed."));
  // Not the parent's CDUP, not the next entry's DELE, not even QUIT.
  EXPECT_EQ(server_.Commands().back(), "CWD /start/sub");
  EXPECT_EQ(log_.back(), "Terminated before completion.");
}

TEST_F(HostileServerTest, NoLocalFolderMeansNoRun) {
  for (const std::string& root : {std::string(), local_.File("missing")}) {
    log_.clear();
    EXPECT_EQ(Run(root), RunOutcome::Refused) << root;
    ASSERT_EQ(log_.size(), 1u);
    EXPECT_THAT(log_[0], root.empty() ? HasSubstr("No local folder is set.") : HasSubstr("No such file or directory"));
  }
  EXPECT_EQ(server_.Connections(), 0) << "nothing is sent before the settings make sense";
}

}  // namespace
}  // namespace kestova

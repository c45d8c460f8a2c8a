// The modern method against servers that will not rename as it would like:
// one that refuses RNFR altogether, and one that refuses to rename onto an
// existing name. Either way every file arrives, and the log says once what
// the run does instead.
#include <atomic>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/upload.h"
#include "support/file_tree.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using testing::ScriptedFtpServer;
using testing::ScriptedSession;

struct Refusal {
  const char* name;
  // Sets up the server's answers to RNFR and RNTO.
  void (*script)(ScriptedFtpServer& server, std::atomic<int>& rnto_calls);
  const char* said;  // the line the run writes once
  // The commands for the first and the second file sent, after TYPE; "@"
  // stands for the file's name.
  std::vector<std::vector<std::string>> commands;
};

void NoRename(ScriptedFtpServer&, std::atomic<int>&) {}  // RNFR gets the default 502

void NoRenameOntoAName(ScriptedFtpServer& server, std::atomic<int>& deleted) {
  server.On("RNFR", "350 Ready for the new name\r\n");
  // An RNTO finds the old name there unless a DELE came just before it.
  server.On("DELE", [&deleted](ScriptedSession& s, const std::string&) {
    deleted = 1;
    s.Reply("250 Deleted");
  });
  server.On("RNTO", [&deleted](ScriptedSession& s, const std::string&) {
    s.Reply(deleted.exchange(0) ? "250 Renamed" : "553 Rename: target exists");
  });
}

TEST(ModernReplaceTest, AServerThatWillNotRenameStillGetsEveryFile) {
  const Refusal refusals[] = {
      {"no RNFR",
       NoRename,
       "The server refused RNFR (502 Command not implemented): files are replaced by deleting and sending them "
       "again, as the classic method does.",
       {{"STOR ~kestova-partial~@", "RNFR ~kestova-partial~@", "DELE ~kestova-partial~@", "DELE @", "STOR @"},
        {"DELE @", "STOR @"}}},
      {"no RNTO onto a name",
       NoRenameOntoAName,
       "The server refused to rename onto an existing file (553 Rename: target exists): the old copy is deleted just "
       "before each rename.",
       // Settled by the first file: the second pays no refused RNTO.
       {{"STOR ~kestova-partial~@", "RNFR ~kestova-partial~@", "RNTO @", "DELE @", "RNFR ~kestova-partial~@", "RNTO @"},
        {"STOR ~kestova-partial~@", "DELE @", "RNFR ~kestova-partial~@", "RNTO @"}}},
  };
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    ScriptedFtpServer server;
    std::atomic<int> rnto_calls{0};
    refusal.script(server, rnto_calls);
    testing::TempDir local;
    testing::WriteFile(local.Path() / "a.htm", "<title>A</title>\n");
    // Another type, so that each file starts with its TYPE.
    testing::WriteFile(local.Path() / "b.gif", "<title>B</title>\n");
    testing::TestRun test(server.Port());
    test.settings.Site.Method = TransferMethod::Modern;
    test.settings.LocalRoot = local.Path().string();
    test.settings.AutoDetect = true;
    const std::vector<std::string>& log = test.log;
    Upload& run = test.Make();
    ASSERT_EQ(run.StartUpload(), RunOutcome::Finished) << ::testing::PrintToString(log);
    EXPECT_EQ(std::count(log.begin(), log.end(), refusal.said), 1) << ::testing::PrintToString(log);

    // What was done to each file: the deletes, stores and renames from its
    // TYPE to the next.
    std::vector<std::vector<std::string>> files;
    for (const std::string& command : server.Commands()) {
      if (command.rfind("TYPE", 0) == 0) {
        files.emplace_back();
      } else if (const std::string word = command.substr(0, 4);
                 !files.empty() && (word == "STOR" || word == "RNFR" || word == "RNTO" || word == "DELE")) {
        files.back().push_back(command);
      }
    }
    ASSERT_EQ(files.size(), 2u) << ::testing::PrintToString(server.Commands());
    for (size_t i = 0; i < 2; ++i) {
      ASSERT_FALSE(files[i].empty());
      const std::string name = files[i].back().substr(files[i].back().find(' ') + 1);
      std::vector<std::string> expected = refusal.commands[i];
      for (std::string& command : expected) command.replace(command.find('@'), 1, name);
      EXPECT_THAT(files[i], ElementsAreArray(expected));
    }
    // Every page arrived whole, under its own name or (renames being no
    // part of this server) under the temporary one.
    for (const char* name : {"a.htm", "b.gif"}) {
      const std::string own = server.Stored(name);
      const std::string stored =
          own == "(nothing stored)" ? server.Stored(std::string("~kestova-partial~") + name) : own;
      EXPECT_EQ(stored, std::string("<title>") + static_cast<char>(std::toupper(name[0])) + "</title>\n");
    }
  }
}

}  // namespace
}  // namespace kestova

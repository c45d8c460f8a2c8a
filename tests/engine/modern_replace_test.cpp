// The modern method against sites that will not rename as it would like:
// one that refuses to rename at all, and one that refuses to rename onto an
// existing name. Either way every file arrives, and the log says once what
// the run does instead.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/upload.h"
#include "support/file_tree.h"
#include "support/memory_site.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

using ::testing::ElementsAreArray;
using testing::MemorySite;

TEST(ModernReplaceTest, AServerThatWillNotRenameStillGetsEveryFile) {
  const struct {
    const char* name;
    bool renames, onto_names;
    const char* said;  // the line the run writes once
    // The calls for the first and the second file sent, after its type;
    // "@" stands for the file's name, "%" for the temporary prefix.
    std::vector<std::vector<std::string>> calls;
  } refusals[] = {
      {"no rename",
       false,
       false,
       "The server refused RNFR (502 Command not implemented): files are replaced by deleting and sending them "
       "again, as the classic method does.",
       {{"Send %@", "Rename %@ @", "Dele %@", "Dele @", "Send @"}, {"Dele @", "Send @"}}},
      {"no rename onto a name",
       true,
       false,
       "The server refused to rename onto an existing file (553 Rename: target exists): the old copy is deleted just "
       "before each rename.",
       // Settled by the first file: the second pays no refused rename.
       {{"Send %@", "Rename %@ @", "Dele @", "Rename %@ @"}, {"Send %@", "Dele @", "Rename %@ @"}}},
  };
  for (const auto& refusal : refusals) {
    SCOPED_TRACE(refusal.name);
    MemorySite site;
    site.renames = refusal.renames;
    site.renames_onto_names = refusal.onto_names;
    site.AddFile("/www/a.htm", "old", 0);
    site.AddFile("/www/b.gif", "old", 0);
    testing::TempDir local;
    testing::WriteFile(local.Path() / "a.htm", "<title>A</title>\n");
    // Another type, so that each file starts with its type.
    testing::WriteFile(local.Path() / "b.gif", "<title>B</title>\n");
    testing::TestRun test(site);
    test.settings.Site.Method = TransferMethod::Modern;
    test.settings.LocalRoot = local.Path().string();
    test.settings.AutoDetect = true;
    const std::vector<std::string>& log = test.log;
    ASSERT_EQ(test.Start(), RunOutcome::Finished) << ::testing::PrintToString(log);
    EXPECT_EQ(std::count(log.begin(), log.end(), refusal.said), 1) << ::testing::PrintToString(log);

    // What was done to each file: the deletes, sends and renames from its
    // type to the next.
    std::vector<std::vector<std::string>> files;
    for (const std::string& call : site.calls) {
      if (call.rfind("Type", 0) == 0) {
        files.emplace_back();
      } else if (!files.empty() &&
                 (call.rfind("Send", 0) == 0 || call.rfind("Rename", 0) == 0 || call.rfind("Dele", 0) == 0)) {
        files.back().push_back(call);
      }
    }
    ASSERT_EQ(files.size(), 2u) << ::testing::PrintToString(site.calls);
    for (size_t i = 0; i < 2; ++i) {
      ASSERT_FALSE(files[i].empty());
      const std::string name = files[i].back().substr(files[i].back().rfind(' ') + 1);
      std::vector<std::string> expected = refusal.calls[i];
      for (std::string& call : expected) {
        for (size_t at; (at = call.find('%')) != std::string::npos;) call.replace(at, 1, Upload::kTemporaryPrefix);
        for (size_t at; (at = call.find('@')) != std::string::npos;) call.replace(at, 1, name);
      }
      EXPECT_THAT(files[i], ElementsAreArray(expected));
    }
    // Every file arrived whole under its own name, and nothing else stayed.
    EXPECT_EQ(site.Data("/www/a.htm"), "<title>A</title>\n");
    EXPECT_EQ(site.Data("/www/b.gif"), "<title>B</title>\n");
    EXPECT_FALSE(site.HasFile(std::string("/www/") + Upload::kTemporaryPrefix + "a.htm"));
  }
}

}  // namespace
}  // namespace kestova

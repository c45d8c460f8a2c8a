// Exclusion patterns read as .gitignore reads them.
#include "engine/exclusions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/file_tree.h"
#include "support/memory_site.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

TEST(ExclusionsTest, PatternsMatchAsGitignoreMatchesThem) {
  const struct {
    const char* patterns;
    const char* path;
    bool folder;
    bool excluded;
  } cases[] = {
      {"*.psd", "a.psd", false, true},
      {"*.psd", "img/deep/a.psd", false, true},
      {"*.psd", "a.psd.txt", false, false},
      {"drafts/", "drafts", true, true},
      {"drafts/", "blog/drafts", true, true},
      {"drafts/", "drafts", false, false},  // a file of that name stays
      {"/private/", "private", true, true},
      {"/private/", "blog/private", true, false},
      {"**/*.bak", "a.bak", false, true},
      {"**/*.bak", "x/y/a.bak", false, true},
      {"*.psd\n!keep.psd", "x/keep.psd", false, false},
      {"*.psd\n!keep.psd", "other.psd", false, true},
      {"!keep.psd\n*.psd", "keep.psd", false, true},  // the last match decides
      {"docs/*.txt", "docs/a.txt", false, true},
      {"docs/*.txt", "blog/docs/a.txt", false, false},
      {"docs/*.txt", "docs/sub/a.txt", false, false},
      {"a/**/b", "a/b", false, true},
      {"a/**/b", "a/x/y/b", false, true},
      {"logs/**", "logs/x.log", false, true},
      {"logs/**", "logs", true, false},
      {"[ab].htm", "b.htm", false, true},
      {"[ab].htm", "c.htm", false, false},
      {"[!a].htm", "a.htm", false, false},
      {"[a-c]?.gif", "bx.gif", false, true},
      {"[a-c]?.gif", "bxy.gif", false, false},
      {"# a comment\n\n\\#notes", "#notes", false, true},
      {"# a comment", "# a comment", false, false},
      {"name\\ ", "name ", false, true},
      {"trailing   \r", "trailing", false, true},
      {"\\!bang", "!bang", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Exclusions(c.patterns).Excluded(c.path, c.folder), c.excluded) << c.patterns << " / " << c.path;
  }
}

TEST(ExclusionsTest, ALineThatCannotBeAPatternIsSaidAndLeftOut) {
  std::vector<std::string> problems;
  const Exclusions exclusions("*.tmp\n[abc\n/\n", &problems);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0], "\"[abc\" opens a \"[\" it does not close");
  EXPECT_EQ(problems[1], "\"/\" names nothing");
  EXPECT_TRUE(exclusions.Excluded("x.tmp", false));
  EXPECT_FALSE(exclusions.Excluded("abc", false));
  EXPECT_TRUE(Exclusions("").Empty());
}

// A pattern that cannot be read would send what the user meant to keep
// back, so the run is refused before it connects.
TEST(ExclusionsTest, ARunWithAPatternThatCannotBeReadIsRefusedBeforeItConnects) {
  testing::TempDir dir;
  testing::WriteFile(dir.Path() / "private.psd", "secret");
  testing::MemorySite site;
  testing::TestRun run(site);
  run.settings.LocalRoot = dir.Path().string();
  run.settings.Exclude = "*.ps[d";
  EXPECT_EQ(run.Start(), RunOutcome::Refused) << run.Text();
  EXPECT_THAT(run.log, ::testing::Contains("The exclusion pattern \"*.ps[d\" opens a \"[\" it does not close. Correct "
                                           "it in the site window (Exclude) or in --exclude. Nothing was sent."));
  EXPECT_THAT(site.calls, ::testing::Not(::testing::Contains("Connect")));
}

}  // namespace
}  // namespace kestova

// The modern Wrt Changes against a site in memory whose folders list far
// more than the local site holds, with names that differ only in case: a
// file is judged by the entry of its own name, and the run keeps only what
// its own names need of each listing. No server is needed: the site answers
// with typed listings, with facts or in the long form.
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/upload.h"
#include "support/file_tree.h"
#include "support/memory_site.h"
#include "support/temp_dir.h"
#include "support/test_run.h"

namespace kestova {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using testing::MemorySite;
using ::testing::Not;

constexpr int kExtraEntries = 3000;  // listed in every folder, none of them local
constexpr std::time_t kYear2000 = 946684800;
constexpr std::time_t kYear2030 = 1893456000;

// One level of the site: a newer INDEX.HTM beside an older index.htm, an
// older copy of Other.htm in lower case, the subfolder, and entries the
// local site does not have.
void FillLevel(MemorySite& site, const std::string& folder) {
  site.AddFile(folder + "/INDEX.HTM", "12345", kYear2030);
  site.AddFile(folder + "/index.htm", "12345", kYear2000);
  site.AddFile(folder + "/other.htm", "12345", kYear2000);
  site.AddFolder(folder + "/sub");
  for (int i = 0; i < kExtraEntries; ++i) site.AddFile(folder + "/archive" + std::to_string(i) + ".htm", "", kYear2000);
}

// A modern Wrt Changes of `local` to /www on the site.
struct ModernRun : testing::TestRun {
  ModernRun(MemorySite& site, const testing::TempDir& local) : TestRun(site) {
    settings.Site.Method = TransferMethod::Modern;
    profile.new_changes = true;
    settings.LocalRoot = local.Path().string();
    settings.AutoDetect = true;
  }
  RunOutcome Run() {
    const RunOutcome outcome = Start();
    peak_indexed = Current().PeakIndexedEntries();
    return outcome;
  }

  size_t peak_indexed = 0;
};

TEST(ModernChangesTest, AFileIsJudgedByItsOwnNameAndOnlyTheSitesNamesAreKept) {
  for (const bool facts : {true, false}) {
    SCOPED_TRACE(facts ? "facts" : "long form");
    MemorySite site;
    site.lists_facts = facts;
    for (const char* folder : {"/www", "/www/sub", "/www/sub/sub"}) FillLevel(site, folder);
    testing::TempDir local;
    // Every level holds the same names, three levels deep.
    for (const char* folder : {"", "sub/", "sub/sub/"}) {
      testing::WriteFile(local.Path() / (std::string(folder) + "index.htm"), "home\n");
      testing::WriteFile(local.Path() / (std::string(folder) + "Other.htm"), "other\n");
    }
    ModernRun modern(site, local);
    const std::vector<std::string>& log = modern.log;
    ASSERT_EQ(modern.Run(), RunOutcome::Finished) << ::testing::PrintToString(log);
    // index.htm's own entry is older, whatever INDEX.HTM says; Other.htm has
    // only its lower-case copy, which counts as its own.
    EXPECT_EQ(std::count(log.begin(), log.end(), "Write File index.htm"), 3) << ::testing::PrintToString(log);
    EXPECT_EQ(std::count(log.begin(), log.end(), "Write File Other.htm"), 3);
    EXPECT_THAT(log, Not(Contains("** New file: Other.htm")));
    EXPECT_EQ(site.Data("/www/sub/sub/index.htm"), "home\n");
    EXPECT_EQ(site.Data("/www/sub/INDEX.HTM"), "12345");
    // Only the start folder is made (for the marker); every subfolder is
    // listed by its parent.
    for (const std::string& call : site.calls) {
      if (call.rfind("Mkd ", 0) == 0) {
        EXPECT_EQ(call, "Mkd /www");
      }
    }
    // Of 3000 and more entries a listing, each of the three levels keeps at
    // most two entries for each of its three names (one of its own case,
    // one of another), however many the server lists.
    EXPECT_LE(modern.peak_indexed, 3u * 3u * 2u);
    EXPECT_GE(modern.peak_indexed, 3u);
  }
}

// A server that lists the marker file sent a moment ago at 1970 (and will
// not delete it): no zone explains that offset, so no listed time is
// trusted, and the marker left in the web root is named.
TEST(ModernChangesTest, AClockNoZoneExplainsIsNotTrustedAndAKeptMarkerIsNamed) {
  MemorySite site;
  site.clock = [] { return std::time_t{0}; };
  site.answers[MemorySite::Operation::Dele] = {"550 Permission denied"};
  site.AddFile("/www/page.htm", "12345", kYear2030);
  testing::TempDir local;
  testing::WriteFile(local.Path() / "page.htm", "edit\n");  // a same-size edit; the listing says 2030
  ModernRun modern(site, local);
  const std::vector<std::string>& log = modern.log;
  ASSERT_EQ(modern.Run(), RunOutcome::Finished) << ::testing::PrintToString(log);
  const std::string marker = std::string(Upload::kTemporaryPrefix) + "clock-" + std::to_string(::getpid());
  EXPECT_THAT(log, Contains(HasSubstr("which no time zone explains: its listing times are not trusted")));
  EXPECT_THAT(log, Contains("Write File page.htm"));
  EXPECT_EQ(site.Data("/www/page.htm"), "edit\n");
  EXPECT_TRUE(site.HasFile("/www/" + marker));
  EXPECT_THAT(log, Contains("Could not delete the marker file /www/" + marker +
                            " (550 Permission denied): it stays on the server, where visitors can read it; delete "
                            "it by hand."));
}

}  // namespace
}  // namespace kestova

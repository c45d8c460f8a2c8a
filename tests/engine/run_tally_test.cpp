// What the run window and the command show of a run's events.
#include "engine/run_tally.h"

#include "engine/planned_walk.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kestova {
namespace {

using K = RunEvent::Kind;

TEST(RunTally, SizesAndDurationsReadAsPeopleWriteThem) {
  const std::pair<std::int64_t, const char*> sizes[] = {
      {0, "0 bytes"},         {1, "1 byte"},          {1023, "1023 bytes"},
      {1024, "1.0 KiB"},      {1536, "1.5 KiB"},      {5 << 20, "5.0 MiB"},
      {3LL << 30, "3.0 GiB"}, {5LL << 40, "5.0 TiB"}, {2048LL << 40, "2048.0 TiB"}};
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(FormatBytes(bytes), text) << bytes;
  const std::pair<long long, const char*> durations[] = {
      {-3, "0:00"}, {0, "0:00"}, {42, "0:42"}, {725, "12:05"}, {3723, "1:02:03"}};
  for (const auto& [seconds, text] : durations) EXPECT_EQ(FormatDuration(seconds), text) << seconds;
}

TEST(RunTally, CountsEventsIntoProgressAndSummary) {
  RunTally tally;
  EXPECT_EQ(tally.Percent(), 0);
  const RunEvent events[] = {
      {K::RunStarted, "/site", 4096, 4}, {K::FolderEntered, "/www"},
      {K::FileChecked, "/site/a", 3000}, {K::Retry, "421 busy"},
      {K::FileSent, "/site/a", 3000},    {K::FileChecked, "/site/b", 1096},
      {K::FileUnchanged, "/site/b"},     {K::FileChecked, "/site/c"},
      {K::FileSkipped, "/site/c"},
  };
  for (const RunEvent& event : events) tally.Add(event);
  EXPECT_EQ(tally.Percent(), 87);
  // Three files of four, and every byte the run considers, in 10 s: seven
  // eighths done, about 1.4 s left.
  EXPECT_EQ(tally.SecondsLeft(10), 1);
  EXPECT_EQ(tally.Progress(10), "3 of 4 files, 2.9 KiB of 4.0 KiB sent, about 0:01 left");
  EXPECT_EQ(tally.SecondsLeft(0.5), -1) << "too early to judge";
  tally.Add({K::RunEnded, "Terminated before completion."});
  EXPECT_TRUE(tally.ended);
  EXPECT_EQ(tally.Summary(61.4),
            "3 files checked, 1 sent, 1 skipped as unchanged, 1 failed; 2.9 KiB (3000 bytes) sent in 1:01, 1 retry");

  // A large file moves the count while it goes: half of the first of two
  // equal files sent in 10 s leaves about 30 s.
  RunTally large;
  large.Add({K::RunStarted, "/site", 2 << 20, 2});
  large.Add({K::FileChecked, "/site/a", 1 << 20});
  large.in_flight = 512 << 10;
  EXPECT_EQ(large.Progress(10), "0 of 2 files, 512.0 KiB of 2.0 MiB sent, about 0:30 left");
  large.Add({K::FileSent, "/site/a", 1 << 20});
  EXPECT_EQ(large.in_flight, 0);
  EXPECT_EQ(large.bytes_sent, 1 << 20);
  // Stopped as it reached the second file: that file is not counted as
  // checked, and no time is left to tell.
  large.Add({K::FileChecked, "/site/b", 1 << 20});
  large.Add({K::RunEnded, "Terminated before completion."});
  EXPECT_EQ(large.Progress(20), "1 of 2 files, 1.0 MiB of 2.0 MiB sent");
  EXPECT_THAT(large.Summary(20), ::testing::StartsWith("1 file checked, 1 sent, "));

  // A redirection run knows no byte total, and a run with nothing to do is
  // complete when it ends.
  RunTally pages;
  pages.Add({K::RunStarted, "/site", 0, 0});
  EXPECT_EQ(pages.Progress(3), "0 of 0 files, 0 bytes sent");
  pages.Add({K::RunEnded, "Finished."});
  EXPECT_EQ(pages.Percent(), 100);
  EXPECT_EQ(pages.Summary(0), "0 files checked, 0 sent, 0 skipped as unchanged, 0 failed; 0 bytes sent in 0:00");
}

// A classic run that mostly waited says so with its figures, and how to go
// without the pause; a run that did not, or a modern one, says nothing.
TEST(RunTally, AClassicRunThatMostlyWaitedSaysSo) {
  RunTally tally;
  tally.sent = 30;
  EXPECT_EQ(tally.PauseHint(3.3), "") << "not classic";
  tally.classic = true;
  EXPECT_EQ(tally.PauseHint(3.3),
            "3.0 s of the 3.3 s went to the classic method's pause of 100 ms before each of the 30 files' data "
            "connections closed. The modern method has no such pause: choose Method: Modern in the site window, or "
            "run with --method modern.");
  EXPECT_EQ(tally.PauseHint(10), "") << "the pause was not most of the time";
  tally.sent = 10;
  EXPECT_EQ(tally.PauseHint(1.1), "") << "a second's pause is not worth a word";
}

// The plan's totals in words: counts grouped by thousands, one or many,
// the bytes only when known, removals only when there are any, and the
// unchanged files only where files were compared.
TEST(PlanTotals, TheLineSaysWhatThePlanWouldDo) {
  using Totals = PlanTotals;
  const struct {
    Totals totals;
    const char* line;
  } cases[] = {
      {{12, 3565158, 2, 5, 1988, true},
       "Would send 12 files (3.4 MiB), make 2 folders, remove 5 files; 1,988 files unchanged"},
      {{1, 13, 1, 0, 1, true}, "Would send 1 file (13 bytes), make 1 folder; 1 file unchanged"},
      {{4, 0, 0, 0, 0, false}, "Would send 4 files, make 0 folders"},
      {{1234567, 0, 0, 1, 0, false}, "Would send 1,234,567 files, make 0 folders, remove 1 file"},
      {{0, 0, 0, 0, 7, true, 1}, "Would send 0 files, make 0 folders, remove 0 files and 1 folder; 7 files unchanged"},
  };
  for (const auto& c : cases) EXPECT_EQ(PlannedWalk::TotalsLine(c.totals), c.line);
}

}  // namespace
}  // namespace kestova

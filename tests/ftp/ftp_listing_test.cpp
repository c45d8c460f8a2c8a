#include "ftp/ftp_listing.h"

#include <gtest/gtest.h>

namespace kestova {
namespace {

const std::string kLine = "-rw-r--r--   1 web  web   1024 Jan 12 10:30 index.html";

TEST(Listing, FieldsStartAfterRunsOfSpaces) {
  EXPECT_EQ(FieldStart(kLine, -1), -1);
  EXPECT_EQ(FieldStart(kLine, 0), 1);
  EXPECT_EQ(FieldStart(kLine, 1), 14);
  EXPECT_EQ(FieldStart(kLine, 8), 45);
  EXPECT_GT(FieldStart(kLine, 9), static_cast<long long>(kLine.size()));
  EXPECT_EQ(ListingField(kLine, 5), "Jan");
  EXPECT_EQ(ListingField(kLine, 7), "10:30");
  EXPECT_EQ(ListingField(kLine, 12), "");
  // Positions count in the trimmed line but apply to the line as received.
  EXPECT_EQ(FieldStart("  a b", 1), 3);
  EXPECT_EQ(ListingName("  a b", 3), "a b");
}

TEST(Listing, TheNameColumnIsWhereEveryNameEndsItsLine) {
  using Lines = std::vector<std::string>;
  const struct {
    const char* why;
    Lines lines;
    Lines names;
    int column;
  } cases[] = {
      {"a plain listing", {kLine, "total 8"}, {"index.html"}, 8},
      {"a name with spaces beside a name that is its tail",
       {"drwxr-xr-x 2 0 0 4096 Dec 08 05:30 my page.htm", "-rw-r--r-- 1 0 0 9 Dec 08 05:30 page.htm"},
       {"page.htm", "my page.htm"},
       8},
      {"numbers as names that also occur in the owner and the size",
       {"-rw-r--r-- 1 1001 1001 2 Dec 08 12:08 0", "-rw-r--r-- 1 1001 1001 2 Dec 08 12:08 1",
        "-rw-r--r-- 1 1001 1001 2 Dec 08 12:08 10", "-rw-r--r-- 1 1001 1001 2 Dec 08 12:08 100"},
       {"0", "1", "10", "100"},
       8},
      {"a file named like its owner", {"-rw-r--r-- 1 web web 10 Jan 1 2026 web"}, {"web"}, 8},
      {"a link names itself before its target",
       {"lrwxrwxrwx 1 web web 10 Jan 12 10:30 linkdir -> ../outside"},
       {"linkdir"},
       8},
      {"names that are in no line", {kLine}, {"absent.htm"}, -1},
      {"lines that disagree about the column",
       {"-rw-r--r-- 1 web web 10 Jan 1 2026 a.htm", "-rw-r--r-- 1 web 10 Jan 1 2026 b.htm"},
       {"a.htm", "b.htm"},
       -1},
      {"\".\" and \"..\" decide nothing", {"drwxr-xr-x 2 0 0 6 Jan 1 2026 ."}, {".", ".."}, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(NameColumnFrom(c.lines, c.names), c.column) << c.why;
}

TEST(Listing, NamesKeepInnerSpacesAndLinkTargets) {
  const struct {
    const char* line;
    const char* name;
  } cases[] = {
      {"-rw-r--r--   1 web  web   1024 Jan 12 10:30 my page.htm", "my page.htm"},
      {"lrwxrwxrwx   1 web  web     10 Jan 12 10:30 name -> target", "name -> target"},
      {"-rw-r--r--   1 web  web   1024 Jan 12 10:30 spaced   ", "spaced"},
      {"-rw-r--r-- 1 web 10", ""},  // fewer fields than the name column
  };
  for (const auto& c : cases) EXPECT_EQ(ListingName(c.line, FieldStart(c.line, 8)), c.name) << c.line;
  // An entry's name leaves a link's target out.
  const std::string link = cases[1].line;
  EXPECT_EQ(EntryName(link, FieldStart(link, 8)), "name");
  EXPECT_EQ(EntryName(kLine, FieldStart(kLine, 8)), "index.html");
  EXPECT_FALSE(IsListingEntry("total 12"));
  EXPECT_FALSE(IsListingEntry("TOTAL 0"));
  EXPECT_FALSE(IsListingEntry("   "));
  EXPECT_TRUE(IsListingEntry(kLine));
}

TEST(Listing, DatesInEitherOrderWithTheYearInferred) {
  const struct {
    const char* line;
    int run_year, run_month;
    ListingTime expected;
  } cases[] = {
      {"-rw-r--r-- 1 u g 10 feb 3 09:15 a", 2026, 6, {2026, 2, 3, 9, 15, 0}},
      {"-rw-r--r-- 1 u g 10 Dec 24 23:00 a", 2026, 3, {2025, 12, 24, 23, 0, 0}},
      {"-rw-r--r-- 1 u g 10 3 feb 2001 a", 2026, 3, {2001, 2, 3, 0, 0, 0}},
      {"-rw-r--r-- 1 u g 10 1024 12 2001 a", 2026, 3, {2001, 1, 1, 0, 0, 0}},
      {"-rw-r--r-- 1 u g 10 Feb 29 2024 a", 2026, 3, {2024, 2, 29, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const ListingTime t = ListingDate(c.line, c.run_year, c.run_month);
    EXPECT_EQ(t.year, c.expected.year) << c.line;
    EXPECT_EQ(t.month, c.expected.month) << c.line;
    EXPECT_EQ(t.day, c.expected.day) << c.line;
    EXPECT_EQ(t.hour, c.expected.hour) << c.line;
    EXPECT_EQ(t.minute, c.expected.minute) << c.line;
  }
  EXPECT_EQ(MonthNumber("jan"), 1);
  EXPECT_EQ(MonthNumber("dec"), 12);
  EXPECT_EQ(MonthNumber("xyz"), 0);
  EXPECT_EQ(MonthNumber(""), 0);
}

TEST(Listing, ImpossibleDatesCannotBeFormed) {
  for (const char* line : {
           "-rw-r--r-- 1 web 1024 Jan 12 10:30 name",  // no group column: the year cannot be read
           "-rw-r--r-- 1 u g 10 Apr 31 2020 a",        // 31 April
           "-rw-r--r-- 1 u g 10 Feb 29 2023 a",        // not a leap year
           "-rw-r--r-- 1 u g 10 Jan x 2020 a",         // no day
           "-rw-r--r-- 1 u g 10 Jan 3 25:61 a",        // no time
           "garbage",
       }) {
    EXPECT_THROW(ListingDate(line, 2026, 6), ListingDateError) << line;
  }
}

// What each listing command's reply makes: the kinds, sizes and times its
// lines tell, and for what they cannot tell, nothing made up.
TEST(Listing, RepliesBecomeTypedEntries) {
  using Kind = RemoteEntry::Kind;
  using Precision = RemoteEntry::Precision;
  RemoteListing list;
  list.lines = {"total 12",
                kLine,
                "drwxr-xr-x   2 web  web   4096 Mar  3  2024 pics",
                "lrwxrwxrwx   1 web  web      9 Jan 12 10:30 up -> ../",
                "prw-r--r--   1 web  web    0x1 Jan 12 10:30 fifo",
                "-rw-r--r--   1 web  1024 Jan 12 10:30 nogroup"};
  ReadLongListing(list, 8, 2026, 6);
  ASSERT_EQ(list.entries.size(), 5u);
  const struct {
    const char* name;
    Kind kind;
    std::int64_t size;
    Precision precision;
    int year;
  } want[] = {{"index.html", Kind::File, 1024, Precision::Minute, 2026},
              {"pics", Kind::Folder, 4096, Precision::Day, 2024},
              {"up", Kind::Link, 9, Precision::Minute, 2026},
              {"fifo", Kind::Other, -1, Precision::Minute, 2026},
              {"", Kind::File, -1, Precision::None, 0}};
  for (size_t i = 0; i < 5; ++i) {
    const RemoteEntry& e = list.entries[i];
    EXPECT_EQ(e.name, want[i].name) << i;
    EXPECT_EQ(e.kind, want[i].kind) << i;
    EXPECT_EQ(e.size, want[i].size) << i;
    EXPECT_EQ(e.precision, want[i].precision) << i;
    EXPECT_EQ(e.time.year, want[i].year) << i;
    EXPECT_FALSE(e.utc) << i;
    EXPECT_EQ(e.line, list.lines[i + 1]) << i;
  }
  // The line without a group column has too few fields for a name and a
  // date, and says why its date cannot be read.
  EXPECT_NE(list.entries[4].time_error, "");
  // Without a known column no name is made up.
  RemoteListing unknown;
  unknown.lines = {kLine};
  ReadLongListing(unknown, -1, 2026, 6);
  EXPECT_FALSE(unknown.names_found);
  ASSERT_EQ(unknown.entries.size(), 1u);
  EXPECT_EQ(unknown.entries[0].name, "");

  RemoteListing facts;
  facts.lines = {"type=cdir;modify=20260112103000; /www",
                 "type=pdir; ..",
                 "type=file;size=12;modify=20260112103004.5; a b.htm",
                 "type=dir;modify=2026; pics",
                 "type=OS.unix=slink:/etc;size=4; up",
                 "no facts here"};
  ReadFactListing(facts);
  ASSERT_EQ(facts.entries.size(), 3u);
  EXPECT_EQ(facts.entries[0].name, "a b.htm");
  EXPECT_EQ(facts.entries[0].size, 12);
  EXPECT_EQ(facts.entries[0].precision, Precision::Second);
  EXPECT_EQ(facts.entries[0].time.second, 4);
  EXPECT_TRUE(facts.entries[0].utc);
  EXPECT_EQ(facts.entries[1].kind, Kind::Folder);
  EXPECT_EQ(facts.entries[1].precision, Precision::None);  // a modify fact that is no time
  EXPECT_EQ(facts.entries[2].kind, Kind::Link);

  RemoteListing names;
  names.lines = {"/www/a.htm", "b.htm", "", "sub/"};
  ReadNameListing(names);
  ASSERT_EQ(names.entries.size(), 2u);
  EXPECT_EQ(names.entries[0].name, "a.htm");
  EXPECT_EQ(names.entries[1].name, "b.htm");
}

}  // namespace
}  // namespace kestova

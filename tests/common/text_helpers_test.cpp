#include "common/text_helpers.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kestova {
namespace {

struct CountCase {
  const char* text;
  long long count;
  const char* expected;
};

TEST(TextHelpers, NaturalOrderReadsNumbersByTheirValue) {
  std::vector<std::string> names = {"d26",   "page10.htm", "D5",   "d5",       "page9.htm", "d007", "b",
                                    "a10b2", "a10b10",     "page", "_private", "d26a",      "A"};
  std::sort(names.begin(), names.end(), NaturalLess);
  EXPECT_EQ(names, (std::vector<std::string>{"_private", "A", "a10b2", "a10b10", "b", "D5", "d5", "d007", "d26", "d26a",
                                             "page", "page9.htm", "page10.htm"}));
}

TEST(TextHelpers, LeftPartCountsFromTheStartAndNegativeCountsFromTheEnd) {
  const CountCase cases[] = {
      {"abc", 2, "ab"},
      {"abc", 10, "abc"},
      {"abc", 0, ""},
      {"abc", -1, "ab"},
      {"abc", -3, ""},
      {"abc", -4, ""},
      {"", 3, ""},
      {"", -1, ""},
      // The text before a missing delimiter (position 0, count -1) loses its
      // last character; the PWD parser relies on that.
      {"257 \"/www", -1, "257 \"/ww"},
  };
  for (const auto& c : cases) EXPECT_EQ(LeftPart(c.text, c.count), c.expected) << c.text << " " << c.count;
}

TEST(TextHelpers, RightPartIsEmptyWhenTheCountDoesNotFit) {
  const CountCase cases[] = {
      {"index.htm", 4, ".htm"}, {"a.htm", 4, ".htm"}, {"abc.html", 5, ".html"},
      {"abc", 3, "abc"},        {"abc", 4, ""},       {"", 1, ""},
      {"abc", 0, ""},           {"abc", -2, ""},      {"htm", 4, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(RightPart(c.text, c.count), c.expected) << c.text << " " << c.count;
}

TEST(TextHelpers, TailFromStartsAtAOneBasedPosition) {
  const CountCase cases[] = {
      {"prof_Main", 6, "Main"}, {"prof_", 6, ""}, {".htm", 2, "htm"}, {"abc", 0, "abc"}, {"abc", -5, "abc"},
      {"abc", 1, "abc"},        {"abc", 3, "c"},  {"abc", 4, ""},     {"", 1, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TailFrom(c.text, c.count), c.expected) << c.text << " " << c.count;
}

TEST(TextHelpers, StripTrailingSlashRemovesOneSeparatorOfEitherKind) {
  const std::pair<const char*, const char*> cases[] = {
      {"/", ""}, {"a\\", "a"}, {"a", "a"}, {"", ""}, {"/www//", "/www/"}, {"/www/", "/www"}, {"c:\\\\", "c:\\"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(StripTrailingSlash(text), expected) << text;
}

TEST(TextHelpers, AddTrailingSeparatorLooksOnlyAtItsOwnSeparator) {
  EXPECT_EQ(AddTrailingSlash("/www"), "/www/");
  EXPECT_EQ(AddTrailingSlash("/www/"), "/www/");
  EXPECT_EQ(AddTrailingSlash(""), "/");
  EXPECT_EQ(AddTrailingSlash("dir\\"), "dir\\/");
  EXPECT_EQ(AddTrailingBackslash("c:\\site"), "c:\\site\\");
  EXPECT_EQ(AddTrailingBackslash("c:\\site\\"), "c:\\site\\");
  EXPECT_EQ(AddTrailingBackslash(""), "\\");
  EXPECT_EQ(AddTrailingBackslash("/www/"), "/www/\\");
}

TEST(TextHelpers, ChooseValueWorksForTextAndNumbers) {
  EXPECT_EQ(ChooseValue(true, "Binary", "ASCII"), "Binary");
  EXPECT_EQ(ChooseValue(false, "Binary", "ASCII"), "ASCII");
  EXPECT_EQ(ChooseValue(false, std::string(), std::string(" for ") + "joe"), " for joe");
  EXPECT_EQ(ChooseValue(true, 2, 0) + ChooseValue(false, 1, 0), 2);
}

TEST(TextHelpers, SameTextIgnoresAsciiCaseOnly) {
  EXPECT_TRUE(SameText("default", "DEFAULT"));
  EXPECT_TRUE(SameText("PROF_", "prof_"));
  EXPECT_FALSE(SameText("prof", "prof_"));
  EXPECT_FALSE(SameText("\xe9", "\xc9"));  // single-byte accented letters stay distinct
  EXPECT_EQ(FoldCase("Index.HTM"), "index.htm");
}

TEST(TextHelpers, LinesSplitAtEveryKindOfLineEnd) {
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
  EXPECT_TRUE(SplitLines("").empty());
}

}  // namespace
}  // namespace kestova

#include "engine/redirect_page.h"

#include <gtest/gtest.h>

namespace kestova {
namespace {

TEST(RedirectPage, TitlesAreFoundAsTheyAreWritten) {
  const struct {
    std::vector<std::string> lines;
    const char* title;
  } cases[] = {
      {{"<HTML><HEAD><TITLE>About Us</TITLE></HEAD>"}, "About Us"},
      {{"<head>", "<title>Split", "Rest</title>"}, "Split"},
      {{"<Title>", "Frequently Asked</Title>"}, ""},
      {{"<html><body>no title</body></html>"}, ""},
      {{"<title>Never closed"}, ""},
      {{"</title><title>late</title>"}, ""},
      {{"<title> spaced </title>", "<title>second</title>"}, " spaced "},
  };
  for (const auto& c : cases) EXPECT_EQ(FindTitle(c.lines), c.title) << c.lines.front();
}

TEST(RedirectPage, PlaceholdersAreReplacedInAnyCaseAndNotRescanned) {
  PlaceholderValues values;
  values.newurl = "http://new/a.htm";
  values.oldurl = "http://old/a.htm";
  values.title = "<<newurl>>";  // inserted literally
  values.profile = "Shop";
  values.oldhome = "http://old";
  values.newhome = "http://new";
  EXPECT_EQ(FillPlaceholders("<<NEWURL>> and <<newurl>>", values), "http://new/a.htm and http://new/a.htm");
  EXPECT_EQ(FillPlaceholders("by <<PROFILE>>.", values), "by Shop.");
  EXPECT_EQ(FillPlaceholders("from <<oldhome>> to <<NewHome>>", values), "from http://old to http://new");
  EXPECT_EQ(FillPlaceholders("<<oldhome>>", values), "http://old");
  EXPECT_EQ(FillPlaceholders("<title><<Title>></title>", values), "<title><<newurl>></title>");
  EXPECT_EQ(FillPlaceholders("<<newurl>", values), "<<newurl>");
  EXPECT_EQ(BuildRedirectPage({"a <<oldurl>>", ""}, values), "a http://old/a.htm\r\n\r\n");
}

TEST(RedirectPage, LinesSplitAtEveryKindOfLineEnd) {
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (std::vector<std::string>{"a", ""}));
  EXPECT_TRUE(SplitLines("").empty());
}

}  // namespace
}  // namespace kestova

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
      {{"<head>", "<title>Split", "  Rest </title>"}, "Split Rest"},
      {{"<Title>", "Frequently Asked</Title>"}, "Frequently Asked"},
      {{"<title lang=\"fr\">Accueil</title>"}, "Accueil"},
      {{"<titles>not one</titles><title>real</title>"}, "real"},
      {{"<html><body>no title</body></html>"}, ""},
      {{"<title>Never closed"}, ""},
      {{"</title><title>late</title>"}, ""},
      {{"<title>first<title>second</title>"}, "second"},
      {{"<title> spaced </title>", "<title>second</title>"}, " spaced "},
  };
  for (const auto& c : cases) EXPECT_EQ(FindTitle(c.lines), c.title) << c.lines.front();
  // Titles of pages in another code page come out as UTF-8.
  EXPECT_EQ(TitleAsUtf8("Caf\xe9 \x80 5"), "Caf\xc3\xa9 \xe2\x82\xac 5");
  EXPECT_EQ(TitleAsUtf8("Caf\xc3\xa9"), "Caf\xc3\xa9");
  EXPECT_EQ(TitleAsUtf8("\xe0\x80\x80"), "\xc3\xa0\xe2\x82\xac\xe2\x82\xac");  // an overlong form is not UTF-8
}

TEST(RedirectPage, ValuesAreEscapedWhereTheyLandAndPlainOnesStayAsTheyAre) {
  EXPECT_EQ(UrlPathSegment("index.htm"), "index.htm");
  EXPECT_EQ(UrlPathSegment("sp ace#frag?q=1 100%.html"), "sp%20ace%23frag%3Fq=1%20100%25.html");
  EXPECT_EQ(UrlPathSegment("a\"><svg onload=alert(2)>.html"), "a%22%3E%3Csvg%20onload=alert(2)%3E.html");
  EXPECT_EQ(UrlPathSegment("caf\xc3\xa9&'.htm"), "caf%C3%A9%26%27.htm");
  EXPECT_EQ(HtmlEscape("Tom &amp; Jerry's &#169; &#x2014; AT&T"), "Tom &amp; Jerry's &#169; &#x2014; AT&amp;T");
  EXPECT_EQ(HtmlEscape("x<script>\"y\"</script>"), "x&lt;script&gt;&quot;y&quot;&lt;/script&gt;");
  PlaceholderValues values;
  values.title = "x<script>alert(1)</script>y";
  values.newurl = "http://new/a.htm?x=1&y=2";
  values.profile = "Plain Shop";
  EXPECT_EQ(
      BuildRedirectPage({"<h1><<title>></h1><a href=\"<<newurl>>\"><<profile>></a>"}, values),
      "<h1>x&lt;script&gt;alert(1)&lt;/script&gt;y</h1><a href=\"http://new/a.htm?x=1&amp;y=2\">Plain Shop</a>\r\n");
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

}  // namespace
}  // namespace kestova

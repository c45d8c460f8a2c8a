// Building one redirection page: the title of the local page, and the
// template with its six placeholders filled in.
#pragma once

#include <string>
#include <vector>

namespace kestova {

// The text between the last "<title>" (ignoring case, attributes allowed:
// <title lang="fr">) before the first "</title>", and that closing tag; empty
// without an opening tag before it, or without any closing tag. A title on
// one line is used exactly as found; one written across lines has its line
// breaks, with the blanks around them, made single spaces and is trimmed.
std::string FindTitle(const std::vector<std::string>& lines);

// The title as UTF-8: text that is valid UTF-8 stays as it is; anything else
// is taken as Windows-1252 (which Latin-1 pages also read right as) and
// converted.
std::string TitleAsUtf8(const std::string& title);

// A path segment as a URL writes it: letters, digits and "-._~!$()*+,;=:@"
// stay, every other byte becomes %HH. Plain file names come back unchanged.
std::string UrlPathSegment(const std::string& segment);

// Text made safe in HTML text and in quoted attribute values: "<", ">" and
// '"' become entities, and so does an "&" that does not already start a
// character reference (so "Tom &amp; Jerry" stays as written).
std::string HtmlEscape(const std::string& text);

struct PlaceholderValues {
  std::string newurl, oldurl, title, profile, oldhome, newhome;
};

// Replaces every placeholder of a line ("<<newurl>>", "<<oldurl>>",
// "<<title>>", "<<profile>>", "<<oldhome>>", "<<newhome>>", any letter case).
// Inserted values are not scanned again.
std::string FillPlaceholders(const std::string& line, const PlaceholderValues& values);

// The whole page: every template line filled, each followed by CR LF. The
// values are escaped for HTML here, the one place where they enter a page.
std::string BuildRedirectPage(const std::vector<std::string>& template_lines, const PlaceholderValues& values);

}  // namespace kestova

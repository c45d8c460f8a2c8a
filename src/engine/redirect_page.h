// Building one redirection page: the title of the local page, and the
// template with its six placeholders filled in.
#pragma once

#include <string>
#include <vector>

namespace kestova {

// The text between "<title>" and the first "</title>" (ignoring case). When
// the closing tag is on a later line, the rest of the opening tag's line;
// empty without an opening tag before the first closing tag, or without any
// closing tag. Used exactly as found.
std::string FindTitle(const std::vector<std::string>& lines);

struct PlaceholderValues {
  std::string newurl, oldurl, title, profile, oldhome, newhome;
};

// Replaces every placeholder of a line ("<<newurl>>", "<<oldurl>>",
// "<<title>>", "<<profile>>", "<<oldhome>>", "<<newhome>>", any letter case).
// Inserted values are not scanned again.
std::string FillPlaceholders(const std::string& line, const PlaceholderValues& values);

// The whole page: every template line filled, each followed by CR LF.
std::string BuildRedirectPage(const std::vector<std::string>& template_lines, const PlaceholderValues& values);

// Splits text into lines at CR LF, LF or CR; a final line end makes no empty
// line after it.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace kestova

#include "engine/redirect_page.h"

#include "common/text_helpers.h"

namespace kestova {

namespace {

bool MatchAt(const std::string& line, size_t position, const char* tag) {
  const std::string wanted(tag);
  return position + wanted.size() <= line.size() && SameText(line.substr(position, wanted.size()), wanted);
}

}  // namespace

std::string FindTitle(const std::vector<std::string>& lines) {
  const std::string* open_line = nullptr;
  size_t after_open = 0;
  for (const std::string& line : lines) {
    for (size_t i = 0; i < line.size(); ++i) {
      if (MatchAt(line, i, "<title>")) {
        open_line = &line;
        after_open = i + 7;
      } else if (MatchAt(line, i, "</title>")) {
        if (!open_line) return std::string();
        if (open_line == &line) return line.substr(after_open, i - after_open);
        return open_line->substr(std::min(after_open, open_line->size()));
      }
    }
  }
  return std::string();
}

std::string FillPlaceholders(const std::string& line, const PlaceholderValues& values) {
  const std::pair<const char*, const std::string*> placeholders[] = {
      {"<<newurl>>", &values.newurl},   {"<<oldurl>>", &values.oldurl},   {"<<title>>", &values.title},
      {"<<profile>>", &values.profile}, {"<<oldhome>>", &values.oldhome}, {"<<newhome>>", &values.newhome},
  };
  std::string result = line;
  size_t i = 0;
  while (i < result.size()) {
    bool replaced = false;
    for (const auto& [tag, value] : placeholders) {
      if (MatchAt(result, i, tag)) {
        result.replace(i, std::char_traits<char>::length(tag), *value);
        i += value->size();  // the value is not scanned again
        replaced = true;
        break;
      }
    }
    if (!replaced) ++i;
  }
  return result;
}

std::string BuildRedirectPage(const std::vector<std::string>& template_lines, const PlaceholderValues& values) {
  std::string page;
  for (const std::string& line : template_lines) page += FillPlaceholders(line, values) + "\r\n";
  return page;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace kestova

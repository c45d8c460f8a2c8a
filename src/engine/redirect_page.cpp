#include "engine/redirect_page.h"

#include <algorithm>
#include <cctype>

#include "common/text_helpers.h"

namespace kestova {

namespace {

bool MatchAt(const std::string& line, size_t position, const char* tag) {
  const std::string wanted(tag);
  return position + wanted.size() <= line.size() && SameText(line.substr(position, wanted.size()), wanted);
}

}  // namespace

namespace {

bool IsBlankByte(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Where a tag such as "<title" stands whole: followed by ">" or a blank.
size_t FindTag(const std::string& folded, const std::string& tag, size_t from) {
  for (size_t at = folded.find(tag, from); at != std::string::npos; at = folded.find(tag, at + 1)) {
    const size_t after = at + tag.size();
    if (after < folded.size() && (folded[after] == '>' || IsBlankByte(folded[after]))) return at;
  }
  return std::string::npos;
}

size_t FindLastTagBefore(const std::string& folded, const std::string& tag, size_t limit) {
  size_t found = std::string::npos;
  for (size_t at = FindTag(folded, tag, 0); at != std::string::npos && at < limit; at = FindTag(folded, tag, at + 1)) {
    found = at;
  }
  return found;
}

// Line breaks with the blanks around them become single spaces; the ends
// are trimmed.
std::string JoinLines(const std::string& text) {
  std::string joined;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find('\n', start), text.size());
    size_t first = start, last = end;
    while (first < last && IsBlankByte(text[first])) ++first;
    while (last > first && IsBlankByte(text[last - 1])) --last;
    if (last > first) joined += (joined.empty() ? "" : " ") + text.substr(first, last - first);
    start = end + 1;
  }
  return joined;
}

// The length of the UTF-8 sequence that starts here, 0 when none does.
size_t Utf8Length(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  // Overlong forms and surrogates are not UTF-8.
  if ((lead == 0xE0 && byte(i + 1) < 0xA0) || (lead == 0xED && byte(i + 1) > 0x9F) ||
      (lead == 0xF0 && byte(i + 1) < 0x90) || (lead == 0xF4 && byte(i + 1) > 0x8F)) {
    return 0;
  }
  return length;
}

void AppendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// What Windows-1252 puts at 0x80..0x9F; the five unused places keep the
// Latin-1 control character.
const unsigned kWindows1252[32] = {0x20AC, 0x81,   0x201A, 0x192,  0x201E, 0x2026, 0x2020, 0x2021,
                                   0x2C6,  0x2030, 0x160,  0x2039, 0x152,  0x8D,   0x17D,  0x8F,
                                   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x2DC,  0x2122, 0x161,  0x203A, 0x153,  0x9D,   0x17E,  0x178};

bool StartsCharacterReference(const std::string& text, size_t amp) {
  size_t i = amp + 1;
  if (i < text.size() && text[i] == '#') {
    ++i;
    const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    const size_t digits = i;
    while (i < text.size() && (hex ? std::isxdigit(static_cast<unsigned char>(text[i]))
                                   : std::isdigit(static_cast<unsigned char>(text[i])))) {
      ++i;
    }
    return i > digits && i < text.size() && text[i] == ';';
  }
  if (i >= text.size() || !std::isalpha(static_cast<unsigned char>(text[i]))) return false;
  while (i < text.size() && std::isalnum(static_cast<unsigned char>(text[i]))) ++i;
  return i < text.size() && text[i] == ';';
}

}  // namespace

std::string FindTitle(const std::vector<std::string>& lines) {
  std::string page;
  for (const std::string& line : lines) page += line + "\n";
  const std::string folded = FoldCase(page);
  const size_t close = FindTag(folded, "</title", 0);
  if (close == std::string::npos) return std::string();
  const size_t open = FindLastTagBefore(folded, "<title", close);
  if (open == std::string::npos) return std::string();
  const size_t end_of_tag = page.find('>', open);
  if (end_of_tag == std::string::npos || end_of_tag > close) return std::string();
  const std::string title = page.substr(end_of_tag + 1, close - end_of_tag - 1);
  return title.find('\n') == std::string::npos ? title : JoinLines(title);
}

std::string TitleAsUtf8(const std::string& title) {
  bool valid = true;
  for (size_t i = 0, length; valid && i < title.size(); i += length) valid = (length = Utf8Length(title, i)) > 0;
  if (valid) return title;
  std::string converted;
  for (const char c : title) {
    const auto byte = static_cast<unsigned char>(c);
    AppendUtf8(converted, byte >= 0x80 && byte < 0xA0 ? kWindows1252[byte - 0x80] : byte);
  }
  return converted;
}

std::string UrlPathSegment(const std::string& segment) {
  static const char* const kHex = "0123456789ABCDEF";
  static const std::string kKept = "-._~!$()*+,;=:@";
  std::string encoded;
  for (const char c : segment) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || kKept.find(c) != std::string::npos) {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0xF];
    }
  }
  return encoded;
}

std::string HtmlEscape(const std::string& text) {
  std::string escaped;
  for (size_t i = 0; i < text.size(); ++i) {
    switch (text[i]) {
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '"': escaped += "&quot;"; break;
      case '&': escaped += StartsCharacterReference(text, i) ? "&" : "&amp;"; break;
      default: escaped += text[i];
    }
  }
  return escaped;
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
  const PlaceholderValues escaped{HtmlEscape(values.newurl),  HtmlEscape(values.oldurl),  HtmlEscape(values.title),
                                  HtmlEscape(values.profile), HtmlEscape(values.oldhome), HtmlEscape(values.newhome)};
  std::string page;
  for (const std::string& line : template_lines) page += FillPlaceholders(line, escaped) + "\r\n";
  return page;
}

}  // namespace kestova

#include "common/text_helpers.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace kestova {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AddTrailing(const std::string& text, char separator) {
  if (!text.empty() && text.back() == separator) return text;
  return text + separator;
}

}  // namespace

std::string StripTrailingSlash(const std::string& text) {
  if (!text.empty() && IsSeparator(text.back())) return text.substr(0, text.size() - 1);
  return text;
}

std::string AddTrailingSlash(const std::string& text) { return AddTrailing(text, '/'); }

std::string AddTrailingBackslash(const std::string& text) { return AddTrailing(text, '\\'); }

std::string LeftPart(const std::string& text, long long count) {
  const auto length = static_cast<long long>(text.size());
  if (count < 0) count += length;
  if (count <= 0) return std::string();
  return text.substr(0, static_cast<size_t>(std::min(count, length)));
}

std::string RightPart(const std::string& text, long long count) {
  const auto length = static_cast<long long>(text.size());
  const long long start = length - count + 1;
  // A count beyond the length gives nothing rather than the whole text.
  if (start <= 0 || count <= 0) return std::string();
  return text.substr(static_cast<size_t>(start - 1));
}

std::string TailFrom(const std::string& text, long long position) {
  const auto length = static_cast<long long>(text.size());
  if (length - position + 1 <= 0) return std::string();
  if (position <= 1) return text;
  return text.substr(static_cast<size_t>(position - 1));
}

std::string FoldCase(const std::string& text) {
  std::string folded(text);
  std::transform(folded.begin(), folded.end(), folded.begin(), FoldChar);
  return folded;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldChar(x) == FoldChar(y); });
}

std::string TrimBlanks(const std::string& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return text.substr(first, last - first);
}

size_t EditDistance(const std::string& a, const std::string& b) {
  const std::string x = FoldCase(a), y = FoldCase(b);
  std::vector<size_t> row(y.size() + 1);
  for (size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= x.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= y.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[y.size()];
}

bool NaturalLess(const std::string& a, const std::string& b) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      size_t end_a = i, end_b = j;
      while (end_a < a.size() && digit(a[end_a])) ++end_a;
      while (end_b < b.size() && digit(b[end_b])) ++end_b;
      // By value: leading zeros aside, the longer run is the larger number.
      size_t start_a = i, start_b = j;
      while (start_a + 1 < end_a && a[start_a] == '0') ++start_a;
      while (start_b + 1 < end_b && b[start_b] == '0') ++start_b;
      const std::string_view run_a(a.data() + start_a, end_a - start_a), run_b(b.data() + start_b, end_b - start_b);
      if (run_a.size() != run_b.size()) return run_a.size() < run_b.size();
      if (run_a != run_b) return run_a < run_b;
      i = end_a, j = end_b;
      continue;
    }
    const auto x = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(a[i])));
    const auto y = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(b[j])));
    if (x != y) return x < y;
    ++i, ++j;
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  return a < b;
}

void ForEachLine(const std::string& text, const std::function<void(const std::string&)>& take) {
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      take(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) take(line);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  ForEachLine(text, [&lines](const std::string& line) { lines.push_back(line); });
  return lines;
}

bool HoldsLineBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

std::string EscapeControls(const std::string& text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 0x20 && byte != 0x7F) || c == '\t') {
      shown += c;
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    }
  }
  return shown;
}

}  // namespace kestova

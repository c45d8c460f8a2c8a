#include "engine/exclusions.h"

#include <sstream>

namespace kestova {

namespace {

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> names;
  std::string name;
  for (const char c : path) {
    if (c != '/') {
      name += c;
    } else if (!name.empty()) {
      names.push_back(std::move(name));
      name.clear();
    }
  }
  if (!name.empty()) names.push_back(std::move(name));
  return names;
}

// The end of the set that starts at `p` ("[a-z]", "[!.]"), or npos when it
// is not closed.
size_t SetEnd(const std::string& pattern, size_t p) {
  size_t q = p + 1;
  if (q < pattern.size() && (pattern[q] == '!' || pattern[q] == '^')) ++q;
  if (q < pattern.size() && pattern[q] == ']') ++q;  // a "]" first is one of the set
  for (; q < pattern.size(); ++q) {
    if (pattern[q] == '\\') {
      ++q;
    } else if (pattern[q] == ']') {
      return q;
    }
  }
  return std::string::npos;
}

bool InSet(const std::string& pattern, size_t open, size_t close, char c) {
  size_t q = open + 1;
  const bool negated = pattern[q] == '!' || pattern[q] == '^';
  if (negated) ++q;
  bool found = false;
  while (q < close) {
    char low = pattern[q];
    if (low == '\\' && q + 1 < close) low = pattern[++q];
    ++q;
    char high = low;
    if (q + 1 < close && pattern[q] == '-') {
      high = pattern[q + 1];
      if (high == '\\' && q + 2 < close) high = pattern[++q + 1];
      q += 2;
    }
    if (c >= low && c <= high) found = true;
  }
  return found != negated;
}

// One name against one name's pattern.
bool Glob(const std::string& pattern, size_t p, const std::string& name, size_t n) {
  while (p < pattern.size()) {
    const char c = pattern[p];
    if (c == '*') {
      while (p < pattern.size() && pattern[p] == '*') ++p;
      if (p == pattern.size()) return true;
      for (size_t at = n; at <= name.size(); ++at) {
        if (Glob(pattern, p, name, at)) return true;
      }
      return false;
    }
    if (n == name.size()) return false;
    if (c == '?') {
      ++p;
    } else if (c == '[') {
      const size_t close = SetEnd(pattern, p);
      if (!InSet(pattern, p, close, name[n])) return false;
      p = close + 1;
    } else {
      const char literal = c == '\\' && p + 1 < pattern.size() ? pattern[++p] : c;
      if (literal != name[n]) return false;
      ++p;
    }
    ++n;
  }
  return n == name.size();
}

// The pattern's names from `i` on against the path's from `j` on; "**"
// stands for any number of names, and at the end for at least one.
bool Match(const std::vector<std::string>& pattern, size_t i, const std::vector<std::string>& path, size_t j) {
  if (i == pattern.size()) return j == path.size();
  if (pattern[i] == "**") {
    if (i + 1 == pattern.size()) return j < path.size();
    for (size_t k = j; k <= path.size(); ++k) {
      if (Match(pattern, i + 1, path, k)) return true;
    }
    return false;
  }
  return j < path.size() && Glob(pattern[i], 0, path[j], 0) && Match(pattern, i + 1, path, j + 1);
}

}  // namespace

Exclusions::Exclusions(const std::string& text, std::vector<std::string>* problems) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::string problem;
    if (!Add(line, &problem) && problems && !problem.empty()) problems->push_back(problem);
  }
}

bool Exclusions::Add(const std::string& line, std::string* problem) {
  std::string text = line;
  if (!text.empty() && text.back() == '\r') text.pop_back();
  // Trailing blanks go, unless the last one is escaped.
  while (!text.empty() && text.back() == ' ' && !(text.size() >= 2 && text[text.size() - 2] == '\\')) text.pop_back();
  if (text.empty() || text[0] == '#') return false;
  Rule rule;
  if (text[0] == '!') {
    rule.negated = true;
    text.erase(0, 1);
  } else if (text[0] == '\\' && text.size() > 1 && (text[1] == '!' || text[1] == '#')) {
    text.erase(0, 1);
  }
  if (!text.empty() && text.back() == '/') {
    rule.folders_only = true;
    text.pop_back();
  }
  // A "/" anywhere left ties the pattern to the start folder.
  rule.anchored = text.find('/') != std::string::npos;
  rule.segments = Split(text);
  if (rule.segments.empty()) {
    if (problem) *problem = "\"" + line + "\" names nothing";
    return false;
  }
  for (const std::string& segment : rule.segments) {
    for (size_t p = 0; p < segment.size(); ++p) {
      if (segment[p] == '\\') {
        ++p;
      } else if (segment[p] == '[' && SetEnd(segment, p) == std::string::npos) {
        if (problem) *problem = "\"" + line + "\" opens a \"[\" it does not close";
        return false;
      }
    }
  }
  if (!rule.anchored) rule.segments.insert(rule.segments.begin(), "**");
  rules_.push_back(std::move(rule));
  return true;
}

bool Exclusions::Excluded(const std::string& path, bool folder) const {
  const std::vector<std::string> names = Split(path);
  bool excluded = false;
  for (const Rule& rule : rules_) {
    if (rule.folders_only && !folder) continue;
    if (rule.negated == !excluded) continue;  // it could not change the verdict
    if (Match(rule.segments, 0, names, 0)) excluded = !rule.negated;
  }
  return excluded;
}

}  // namespace kestova

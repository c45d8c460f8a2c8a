// Small pure string helpers for building remote and local paths, cutting
// listing lines apart and testing prefixes and extensions.
//
// Strings are byte strings and positions count from 1. None of these helpers
// ever fails: an out-of-range count or position has a defined result, most
// often the empty string, and callers depend on exactly that.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestova {

// The text without its last character when that is "/" or "\".
std::string StripTrailingSlash(const std::string& text);

// The text with "/" appended unless it already ends in "/".
std::string AddTrailingSlash(const std::string& text);

// The text with "\" appended unless it already ends in "\".
std::string AddTrailingBackslash(const std::string& text);

// The first `count` characters. A negative count means all but the last
// |count| characters; a count that stays negative gives the empty string.
std::string LeftPart(const std::string& text, long long count);

// Exactly the last `count` characters, or the empty string when count is not
// positive or is greater than the length of the text.
std::string RightPart(const std::string& text, long long count);

// The text from `position` to its end; a position of 1 or less gives the whole
// text, one beyond the end the empty string.
std::string TailFrom(const std::string& text, long long position);

// One of two already evaluated values; used for strings and integers alike.
template <typename T>
T ChooseValue(bool condition, const T& if_true, const T& if_false) {
  return condition ? if_true : if_false;
}

inline std::string ChooseValue(bool condition, const char* if_true, const char* if_false) {
  return condition ? std::string(if_true) : std::string(if_false);
}

// ASCII case folding and comparison, used wherever names are compared
// "without regard to case" (profile names, registry names, extensions).
std::string FoldCase(const std::string& text);
bool SameText(const std::string& a, const std::string& b);

// The text without the bytes up to the space (blanks and control
// characters) at both ends.
std::string TrimBlanks(const std::string& text);

// Splits text into lines at CR LF, LF or CR; a final line end makes no empty
// line after it.
std::vector<std::string> SplitLines(const std::string& text);
// How many letters must be inserted, deleted or changed to make one text
// the other, letter case ignored: how near a mistyped name is to a real one.
size_t EditDistance(const std::string& a, const std::string& b);

// Name order as people read it: letters without regard to case, runs of
// digits by their value ("d5" before "d26"); names equal so are ordered by
// their bytes.
bool NaturalLess(const std::string& a, const std::string& b);

// The same lines, handed over one at a time instead of held all at once.
void ForEachLine(const std::string& text, const std::function<void(const std::string&)>& take);

// Whether the text holds a CR, LF or NUL: a byte that would end an FTP
// command line early, so that the rest would be read as another command.
bool HoldsLineBreak(const std::string& text);

// The text with its control characters but the tab written out ("\r",
// "\n", "\xHH"), so that a name from outside shows as one line of plain text in a
// log or on a terminal. Text without control characters comes back as it is.
std::string EscapeControls(const std::string& text);

}  // namespace kestova

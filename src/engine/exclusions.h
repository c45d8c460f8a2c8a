// What a user leaves out of a site: patterns in the form people know from
// .gitignore, one per line. Blank lines and lines that start with "#" are
// ignored. A "!" in front takes a name back in. A "/" at the end matches
// folders only. A "/" at the start or in the middle ties the pattern to the
// start folder; without one it matches a name at any depth. "*" matches
// within one name, "?" one character, "[a-z]" one of a set, "**" any number
// of folders, and "\" takes the next character as it is. The last pattern
// that matches decides.
//
// Excluded local files are never sent, and excluded remote files are never
// removed or wiped. A folder that is excluded is not entered, so nothing
// below it can be taken back in (as with .gitignore).
#pragma once

#include <string>
#include <vector>

namespace kestova {

class Exclusions {
 public:
  Exclusions() = default;
  // The patterns of `text`, one per line; a line that cannot be a pattern
  // (an unclosed "[") is left out, with why in `problems`.
  explicit Exclusions(const std::string& text, std::vector<std::string>* problems = nullptr);
  // One more pattern, after the others (it decides over them).
  bool Add(const std::string& line, std::string* problem = nullptr);

  bool Empty() const { return rules_.empty(); }
  // `path` below the start folder, its names separated by "/", with no "/"
  // at the start.
  bool Excluded(const std::string& path, bool folder) const;

 private:
  struct Rule {
    std::vector<std::string> segments;  // the pattern's names; "**" stands for any number of folders
    bool negated = false;
    bool folders_only = false;
    bool anchored = false;  // matched from the start folder, not at any depth
  };
  std::vector<Rule> rules_;
};

}  // namespace kestova

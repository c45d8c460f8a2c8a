// Reading the lines of a remote directory listing (the Unix long layout of a
// LIST reply): fields, names, the directory flag and the date.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestova {

// A date and time as a listing or a local file gives it.
struct ListingTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// A listing date that cannot be formed (listings in other layouts).
class ListingDateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Lines that are blank after trimming, and lines starting with "total" in
// any letter case, are not entries.
bool IsListingEntry(const std::string& line);

// The 1-based position where field k starts, counted in the trimmed line:
// -1 for a negative k, 1 for k = 0, else the position of the k-th place where
// a non-blank follows a space; beyond the end when there are fewer fields.
long long FieldStart(const std::string& line, long long k);

// The first word of the text from field k on.
std::string ListingField(const std::string& line, long long k);

// The name starting at 1-based position `start` of the line as received: the
// rest of the line, at most 500 characters, trimmed.
std::string ListingName(const std::string& line, long long start);

// The name of an entry: ListingName, and for a symbolic link ("l" first)
// only the part before " -> target".
std::string EntryName(const std::string& line, long long start);

// The column (0-based field index) where names start, learned by comparing
// the lines of a LIST reply with the names of an NLST reply of the same
// folder. A name counts where it ends its line (or, for a link, stands just
// before " -> "); the column must agree with every name found that way, so
// that a name that also occurs inside another field (a file "0" beside an
// owner "1001") cannot mislead it. -1 when no column agrees with all names.
int NameColumnFrom(const std::vector<std::string>& list_lines, const std::vector<std::string>& names);

// The month number of a text by its place in the month table, 0 when it is
// not there.
int MonthNumber(const std::string& text);

// The date of a listing line (fields 5, 6 and 7), with the year of recent
// files inferred from the run's year and month. Throws ListingDateError when
// no valid date can be formed.
ListingTime ListingDate(const std::string& line, int run_year, int run_month);

// The packed DOS date-time (2-second resolution); 0 for years outside
// 1980..2099.
std::uint32_t PackDosTime(const ListingTime& time);

// One line of an MLSD reply: "fact=value;fact=value; name".
struct MlsdEntry {
  std::string name;
  std::string type;        // the type fact in lower case: "file", "dir", "cdir", "pdir", ...
  std::int64_t size = -1;  // -1 when not listed
  bool has_time = false;   // a modify fact was there and valid
  ListingTime modify;      // as the server lists it (meant as UTC, not always so)
};

// Parses an MLSD line; false when it is not one (no facts, no single space
// before the name, an empty name).
bool ParseMlsdLine(const std::string& line, MlsdEntry& entry);

// Whether a name from a listing may be used in a command as one name: not
// empty, "." or "..", and without "/" or "\\" (a separator on servers that
// run on Windows), CR, LF or NUL.
bool SafeListedName(const std::string& name);
// Says why an unsafe listed name was skipped, for the log.
std::string UnsafeNameLine(const std::string& name, const std::string& directory);

// "yyyy-mm-dd hh:mm:ss", the time left out at exactly midnight.
std::string FormatListingTime(const ListingTime& time);

}  // namespace kestova

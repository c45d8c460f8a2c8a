// Reading the replies of FTP's listing commands: the Unix long layout of
// LIST (fields, names, the directory flag and the date), the facts of
// MLSD, and the names of NLST, into the entries of a remote listing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "site/remote_entry.h"

namespace kestova {

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

// The entries of a listing whose lines are read: NLST's names (without the
// folder some servers put before them), MLSD's facts, and LIST's lines with
// the names in `name_column` (-1 when it is not known: no names then) and
// the dates read against the run's year and month.
void ReadNameListing(RemoteListing& listing);
void ReadFactListing(RemoteListing& listing);
void ReadLongListing(RemoteListing& listing, int name_column, int run_year, int run_month);

}  // namespace kestova

// What the engine makes of listed entries and times: names that may be used
// in a command, the packed DOS time the classic comparison uses, and times
// written for the log.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "site/remote_entry.h"

namespace kestova {

// The packed DOS date-time (2-second resolution); 0 for years outside
// 1980..2099.
std::uint32_t PackDosTime(const ListingTime& time);

// A listed time as seconds since 1970, read as if it were UTC (a listing of
// facts is; a long listing's zone is not told, and callers bring it to UTC
// where they know the offset).
long long UtcSeconds(const ListingTime& time);

// "yyyy-mm-dd hh:mm:ss", the time left out at exactly midnight.
std::string FormatListingTime(const ListingTime& time);

// Whether a name from a listing may be used in a command as one name: not
// empty, "." or "..", and without "/" or "\\" (a separator on servers that
// run on Windows), CR, LF or NUL.
bool SafeListedName(const std::string& name);
// Says why an unsafe listed name was skipped, for the log.
std::string UnsafeNameLine(const std::string& name, const std::string& directory);

// The names in a local folder by their lower case (a server that ignores
// case shows a file under another case than the one sent), each with
// whether it is a real folder (not a link to one); empty when the folder
// cannot be read.
std::map<std::string, bool> LocalNamesFolded(const std::string& folder);

}  // namespace kestova

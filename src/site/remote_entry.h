// What a listing of a remote folder says about its entries, whatever the
// transport read it from: each entry's name, kind, size and time, and what
// the listing could not tell.
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

// A listed date that cannot be formed (a long listing in another layout).
class ListingDateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct RemoteEntry {
  enum class Kind { File, Folder, Link, Other };
  // How finely the listed time dates the entry: not at all, to the day (an
  // old file in a long listing), to the minute, or to the second.
  enum class Precision { None, Day, Minute, Second };

  // One name, as listed. Empty when the listing shows no name where names
  // begin (a line with too few fields).
  std::string name;
  Kind kind = Kind::Other;
  std::int64_t size = -1;  // -1 when not listed or not readable
  // The time as listed, valid unless the precision is None. In UTC when
  // `utc` says so (a listing of facts); else on the server's own clock,
  // whose zone the listing does not tell.
  ListingTime time;
  Precision precision = Precision::None;
  bool utc = false;
  // Why a listed time could not be read; empty when it was, or when the
  // listing gives none.
  std::string time_error;
  // The line of a long listing as the server sent it, for messages about it.
  std::string line;
};

struct RemoteListing {
  // Every line as the server sent it, for the log.
  std::vector<std::string> lines;
  // The entries among them, in their order: not the lines that only count
  // (a long listing's "total"), nor the folder itself and its parent where
  // a listing of facts names them.
  std::vector<RemoteEntry> entries;
  // The listing's layout showed where names begin; when it did not, no
  // entry has a name.
  bool names_found = true;
  // What the server said when the listing ended, for the log.
  std::string reply;
};

}  // namespace kestova

#include "ftp/ftp_listing.h"

#include <cstdio>
#include <set>

#include "common/text_helpers.h"

namespace kestova {

namespace {

const std::string kMonthTable = "  janfebmaraprmayjunjulaugsepoctnovdec";

// The whole text as a decimal integer, or -1.
int IntegerOr(const std::string& text, int fallback) {
  if (text.empty() || text.size() > 9) return fallback;
  size_t i = text[0] == '+' || text[0] == '-' ? 1 : 0;
  if (i == text.size()) return fallback;
  int value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return fallback;
    value = value * 10 + (text[i] - '0');
  }
  return text[0] == '-' ? -value : value;
}

bool LeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && LeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool IsListingEntry(const std::string& line) {
  const std::string trimmed = TrimBlanks(line);
  return !trimmed.empty() && !SameText(LeftPart(line, 5), "total");
}

long long FieldStart(const std::string& line, long long k) {
  if (k < 0) return -1;
  if (k == 0) return 1;
  const std::string trimmed = TrimBlanks(line);
  long long found = 0;
  for (size_t i = 1; i < trimmed.size(); ++i) {
    if (trimmed[i - 1] == ' ' && trimmed[i] != ' ' && ++found == k) return static_cast<long long>(i) + 1;
  }
  return static_cast<long long>(trimmed.size()) + 1;
}

std::string ListingField(const std::string& line, long long k) {
  const std::string rest = TrimBlanks(TailFrom(line, FieldStart(line, k)).substr(0, 5000));
  return rest.substr(0, rest.find(' '));
}

std::string ListingName(const std::string& line, long long start) {
  return TrimBlanks(TailFrom(line, start).substr(0, 500));
}

std::string EntryName(const std::string& line, long long start) {
  const std::string name = ListingName(line, start);
  if (line.empty() || line[0] != 'l') return name;
  return name.substr(0, name.find(" -> "));
}

namespace {

// The number of fields that end before 1-based position `position` of the
// trimmed line.
int FieldsBefore(const std::string& trimmed, size_t position) {
  int column = 0;
  for (size_t i = 1; i < position && i < trimmed.size(); ++i) {
    if (trimmed[i] == ' ' && trimmed[i - 1] != ' ') ++column;
  }
  return column;
}

}  // namespace

int NameColumnFrom(const std::vector<std::string>& list_lines, const std::vector<std::string>& names) {
  std::set<std::string> wanted;
  for (const std::string& name : names) {
    const std::string trimmed = TrimBlanks(name);
    if (!trimmed.empty() && trimmed != "." && trimmed != "..") wanted.insert(trimmed);
  }
  // Every column at which some name ends its line, and the names found so.
  std::set<int> candidates;
  std::set<std::string> found;
  for (const std::string& line : list_lines) {
    if (!IsListingEntry(line)) continue;
    const std::string trimmed = TrimBlanks(line);
    for (size_t i = 0; i < trimmed.size(); ++i) {
      if (i > 0 && !(trimmed[i - 1] == ' ' && trimmed[i] != ' ')) continue;
      std::string rest = trimmed.substr(i);
      if (trimmed[0] == 'l') rest = rest.substr(0, rest.find(" -> "));
      if (wanted.count(rest)) {
        candidates.insert(FieldsBefore(trimmed, i + 1));
        found.insert(rest);
      }
    }
  }
  for (const int column : candidates) {
    std::set<std::string> agreeing;
    for (const std::string& line : list_lines) {
      if (!IsListingEntry(line)) continue;
      const std::string name = EntryName(line, FieldStart(line, column));
      if (found.count(name)) agreeing.insert(name);
    }
    if (agreeing == found) return column;
  }
  return -1;
}

int MonthNumber(const std::string& text) {
  if (text.empty()) return 0;
  const size_t hit = kMonthTable.find(text);
  return hit == std::string::npos ? 0 : static_cast<int>((hit + 1) / 3);
}

ListingTime ListingDate(const std::string& line, int run_year, int run_month) {
  const std::string month_text = FoldCase(ListingField(line, 5));
  const std::string day_text = FoldCase(ListingField(line, 6));
  const std::string time_or_year = ListingField(line, 7);
  ListingTime time;
  if (MonthNumber(month_text) > 0) {
    time.month = MonthNumber(month_text);
    time.day = IntegerOr(day_text, -1);
  } else if (MonthNumber(day_text) > 0) {
    // Day-month order.
    time.month = MonthNumber(day_text);
    time.day = IntegerOr(month_text, -1);
  } else {
    time.month = 1;
    time.day = 1;
  }
  const size_t colon = time_or_year.find(':');
  if (colon != std::string::npos) {
    time.hour = IntegerOr(time_or_year.substr(0, colon), -1);
    time.minute = IntegerOr(time_or_year.substr(colon + 1), -1);
    if (time.hour < 0 || time.hour > 23 || time.minute < 0 || time.minute > 59) {
      throw ListingDateError("'" + time_or_year + "' is not a time");
    }
    // A month later in the year than today must belong to last year.
    time.year = time.month > run_month ? run_year - 1 : run_year;
  } else {
    time.year = IntegerOr(time_or_year, -1);
  }
  if (time.year < 1 || time.year > 9999 || time.month < 1 || time.month > 12 || time.day < 1 ||
      time.day > DaysInMonth(time.year, time.month)) {
    throw ListingDateError("no valid date in fields '" + month_text + "', '" + day_text + "', '" + time_or_year + "'");
  }
  return time;
}

}  // namespace kestova

namespace kestova {

namespace {

// Digits only, at most 18 of them; -1 otherwise.
std::int64_t Number(const std::string& text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stoll(text);
}

// "YYYYMMDDHHMMSS", with an optional fraction after a dot.
bool ModifyTime(const std::string& value, ListingTime& time) {
  const std::string whole = value.substr(0, value.find('.'));
  if (whole.size() != 14 || whole.find_first_not_of("0123456789") != std::string::npos) return false;
  auto part = [&](size_t at, size_t count) { return std::stoi(whole.substr(at, count)); };
  time = {part(0, 4), part(4, 2), part(6, 2), part(8, 2), part(10, 2), part(12, 2)};
  return time.month >= 1 && time.month <= 12 && time.day >= 1 && time.day <= 31 && time.hour <= 23 &&
         time.minute <= 59 && time.second <= 60;
}

}  // namespace

bool ParseMlsdLine(const std::string& line, MlsdEntry& entry) {
  entry = MlsdEntry();
  const size_t space = line.find(' ');
  if (space == std::string::npos || space == 0 || line[space - 1] != ';') return false;
  entry.name = line.substr(space + 1);
  if (entry.name.empty() || entry.name.find_first_of("\r\n") != std::string::npos) return false;
  const std::string facts = line.substr(0, space);
  for (size_t start = 0; start < facts.size();) {
    const size_t end = facts.find(';', start);
    const std::string fact = facts.substr(start, end - start);
    start = end == std::string::npos ? facts.size() : end + 1;
    const size_t equals = fact.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    const std::string name = FoldCase(fact.substr(0, equals));
    const std::string value = fact.substr(equals + 1);
    if (name == "type") {
      entry.type = FoldCase(value);
    } else if (name == "size") {
      entry.size = Number(value);
    } else if (name == "modify") {
      entry.has_time = ModifyTime(value, entry.modify);
    }
  }
  return true;
}

void ReadNameListing(RemoteListing& listing) {
  for (const std::string& line : listing.lines) {
    // NLST may give each name with the folder before it (vsftpd).
    const size_t slash = line.find_last_of('/');
    RemoteEntry entry;
    entry.name = slash == std::string::npos ? line : line.substr(slash + 1);
    if (!entry.name.empty()) listing.entries.push_back(std::move(entry));
  }
}

void ReadFactListing(RemoteListing& listing) {
  for (const std::string& line : listing.lines) {
    MlsdEntry fact;
    if (!ParseMlsdLine(line, fact) || fact.type == "cdir" || fact.type == "pdir") continue;
    RemoteEntry entry;
    entry.name = std::move(fact.name);
    entry.kind = fact.type == "file"  ? RemoteEntry::Kind::File
                 : fact.type == "dir" ? RemoteEntry::Kind::Folder
                 : fact.type.rfind("os.unix=slink", 0) == 0 || fact.type == "os.unix=symlink"
                     ? RemoteEntry::Kind::Link
                     : RemoteEntry::Kind::Other;
    entry.size = fact.size;
    if (fact.has_time) {
      entry.time = fact.modify;
      entry.precision = RemoteEntry::Precision::Second;
    }
    entry.utc = true;
    listing.entries.push_back(std::move(entry));
  }
}

void ReadLongListing(RemoteListing& listing, int name_column, int run_year, int run_month) {
  listing.names_found = name_column >= 0;
  for (const std::string& line : listing.lines) {
    if (!IsListingEntry(line)) continue;
    RemoteEntry entry;
    if (name_column >= 0) entry.name = EntryName(line, FieldStart(line, name_column));
    entry.kind = line[0] == 'd'   ? RemoteEntry::Kind::Folder
                 : line[0] == 'l' ? RemoteEntry::Kind::Link
                 : line[0] == '-' ? RemoteEntry::Kind::File
                                  : RemoteEntry::Kind::Other;
    entry.size = Number(ListingField(line, 4));
    try {
      entry.time = ListingDate(line, run_year, run_month);
      // Recent files show the time of day; older ones only the day.
      entry.precision = ListingField(line, 7).find(':') != std::string::npos ? RemoteEntry::Precision::Minute
                                                                             : RemoteEntry::Precision::Day;
    } catch (const ListingDateError& error) {
      entry.time_error = error.what();
    }
    entry.line = line;
    listing.entries.push_back(std::move(entry));
  }
}

}  // namespace kestova

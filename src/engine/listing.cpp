#include "engine/listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "common/text_helpers.h"

namespace kestova {

std::uint32_t PackDosTime(const ListingTime& time) {
  if (time.year < 1980 || time.year > 2099) return 0;
  return (static_cast<std::uint32_t>(time.year - 1980) << 25) | (static_cast<std::uint32_t>(time.month) << 21) |
         (static_cast<std::uint32_t>(time.day) << 16) | (static_cast<std::uint32_t>(time.hour) << 11) |
         (static_cast<std::uint32_t>(time.minute) << 5) | static_cast<std::uint32_t>(time.second / 2);
}

std::string FormatListingTime(const ListingTime& time) {
  char text[64];
  if (time.hour == 0 && time.minute == 0 && time.second == 0) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", time.year, time.month, time.day);
  } else {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month, time.day, time.hour,
                  time.minute, time.second);
  }
  return text;
}

bool SafeListedName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos &&
         !HoldsLineBreak(name);
}

long long UtcSeconds(const ListingTime& time) {
  std::tm fields{};
  fields.tm_year = time.year - 1900;
  fields.tm_mon = time.month - 1;
  fields.tm_mday = time.day;
  fields.tm_hour = time.hour;
  fields.tm_min = time.minute;
  fields.tm_sec = time.second;
  return static_cast<long long>(::timegm(&fields));
}

std::map<std::string, bool> LocalNamesFolded(const std::string& folder) {
  std::map<std::string, bool> names;
  DIR* search = ::opendir(folder.c_str());
  if (!search) return names;
  while (const dirent* found = ::readdir(search)) {
    struct stat info {};
    const std::string name = found->d_name;
    const std::string path = folder + "/" + name;
    const bool real_folder = ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    names[FoldCase(name)] = names[FoldCase(name)] || real_folder;
  }
  ::closedir(search);
  return names;
}

std::string UnsafeNameLine(const std::string& name, const std::string& directory) {
  return "Skipped \"" + name + "\" in the listing of " + directory +
         ": a listed name cannot be empty, \".\" or \"..\", or hold \"/\", \"\\\", CR, LF or NUL";
}

}  // namespace kestova

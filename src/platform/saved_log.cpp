#include "platform/saved_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kestova {

namespace {

const char* const kSuffix = ".log";

// A profile name as part of a file name: no separators, no control
// characters, no leading dot.
std::string FileNamePart(const std::string& text) {
  std::string part;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    part += (c == '/' || byte < 0x20 || byte == 0x7f) ? '_' : c;
  }
  if (part.empty() || part[0] == '.') part.insert(part.begin(), '_');
  if (part.size() > 80) part.resize(80);
  return part;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Makes the folder and its parents; the last one is made (or made again)
// private to the user.
bool MakeFolderAt(const std::string& folder, std::string& why) {
  for (size_t at = 1; at <= folder.size(); ++at) {
    if (at != folder.size() && folder[at] != '/') continue;
    const std::string part = folder.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      why = "cannot make the folder " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    why = folder + " is not a folder";
    return false;
  }
  // Another user's folder could be read, or its files swapped, by its owner.
  if (info.st_uid != ::geteuid()) {
    why = "the folder " + folder + " belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    return false;
  }
  if ((info.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
    why = "cannot make " + folder + " private: " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

SavedLog::~SavedLog() {
  if (fd_ >= 0) ::close(fd_);
}

// Without HOME, the home folder the user database names; never a folder
// that other users share. Empty when there is none.
std::string SavedLog::Folder() {
  std::string state;
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') {
    state = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    state = std::string(home) + "/.local/state";
  } else if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_dir && *user->pw_dir == '/') {
    state = std::string(user->pw_dir) + "/.local/state";
  } else {
    return std::string();
  }
  return state + "/kestova/logs";
}

bool SavedLog::MakeFolder(std::string& why) {
  const std::string folder = Folder();
  if (folder.empty()) {
    why = "there is no home folder to keep it in (HOME and XDG_STATE_HOME are not set)";
    return false;
  }
  return MakeFolderAt(folder, why);
}

std::vector<std::string> SavedLog::LogFiles(const std::string& folder) {
  std::vector<std::pair<std::pair<long long, std::string>, std::string>> found;
  if (DIR* search = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(search)) {
      const std::string name = entry->d_name;
      if (!EndsWith(name, kSuffix)) continue;
      const std::string path = folder + "/" + name;
      struct stat info {};
      if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      const long long modified = static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
      found.push_back({{modified, name}, path});
    }
    ::closedir(search);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (const auto& entry : found) paths.push_back(entry.second);
  return paths;
}

void SavedLog::Prune(const std::string& folder, size_t keep) {
  const std::vector<std::string> files = LogFiles(folder);
  for (size_t i = 0; i + keep < files.size(); ++i) ::unlink(files[i].c_str());
}

bool SavedLog::Open(const std::string& profile, const std::string& job, std::time_t started, std::string& why) {
  if (!MakeFolder(why)) return false;
  const std::string folder = Folder();
  Prune(folder, kKept - 1);
  std::tm local{};
  ::localtime_r(&started, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H%M%S", &local);
  const std::string base = folder + "/" + FileNamePart(profile) + "_" + job + "_" + stamp;
  // Two runs in one second get their own files.
  for (int n = 1; n < 100; ++n) {
    path_ = base + (n == 1 ? std::string() : "-" + std::to_string(n)) + kSuffix;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ >= 0) return true;
    if (errno != EEXIST) break;
  }
  why = "cannot create " + path_ + ": " + std::strerror(errno);
  path_.clear();
  return false;
}

bool SavedLog::Write(const std::string& line) {
  if (fd_ < 0) return true;
  const std::string text = line + "\n";
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A full disk ends the copy, never the run.
      failure_ =
          "The saved log " + path_ + " is incomplete: " + std::strerror(n < 0 ? errno : ENOSPC) + "; the run goes on.";
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace kestova

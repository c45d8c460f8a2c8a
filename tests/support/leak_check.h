// After every test, nothing it opened may still be open: each descriptor
// the process holds after a test (a socket, a file, a pipe) was held before
// it, as libuv's tests check. A test that leaks one fails with what the
// descriptor is.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace kestova::testing {

class LeakCheck : public ::testing::EmptyTestEventListener {
 public:
  static std::set<int> OpenDescriptors() {
    std::set<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return fds;
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const int fd = std::stoi(entry->d_name);
      if (fd != own) fds.insert(fd);
    }
    ::closedir(dir);
    return fds;
  }

  void OnTestStart(const ::testing::TestInfo&) override { before_ = OpenDescriptors(); }

  void OnTestEnd(const ::testing::TestInfo& test) override {
    if (test.result()->Skipped()) return;
    for (const int fd : OpenDescriptors()) {
      if (before_.count(fd)) continue;
      char target[512] = {};
      const std::string link = "/proc/self/fd/" + std::to_string(fd);
      const ssize_t size = ::readlink(link.c_str(), target, sizeof target - 1);
      // The wake-up descriptor of a thread's event loop belongs to that
      // thread: Qt's pool keeps its threads (the name lookups') for a while.
      if (std::string(target) == "anon_inode:[eventfd]") continue;
      // Qt's MIME database (the file dialogs') keeps its cache open for the
      // life of the process.
      if (std::string(target).rfind("/usr/share/mime/", 0) == 0) continue;
      ADD_FAILURE() << "descriptor " << fd << " (" << (size > 0 ? target : "?") << ") is still open after "
                    << test.test_suite_name() << "." << test.name();
    }
  }

  // Installs the check for every test of the program.
  static void Install() { ::testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck); }

 private:
  std::set<int> before_;
};

}  // namespace kestova::testing

#include "platform/saved_log.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace kestova {
namespace {

TEST(SavedLogFolderTest, WithoutHomeTheLogsGoToTheUsersOwnHomeNeverToASharedFolder) {
  const std::string state = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::unsetenv("XDG_STATE_HOME");
  ::unsetenv("HOME");
  const std::string folder = SavedLog::Folder();
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  ::setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(folder.rfind("/tmp", 0), std::string::npos) << folder;
  EXPECT_EQ(folder, std::string(::getpwuid(::geteuid())->pw_dir) + "/.local/state/kestova/logs");
}

}  // namespace
}  // namespace kestova

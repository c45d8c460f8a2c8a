#include "platform/program_path.h"

#include <unistd.h>

#include <climits>
#include <filesystem>

namespace kestova {

std::string ProgramFolder() {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::filesystem::path folder;
  if (length > 0) {
    folder = std::filesystem::path(std::string(buffer, static_cast<size_t>(length))).parent_path();
  } else {
    folder = std::filesystem::current_path();
  }
  std::string text = folder.string();
  if (text.empty() || text.back() != '/') text += '/';
  return text;
}

}  // namespace kestova

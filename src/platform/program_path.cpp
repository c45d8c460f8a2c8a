#include "platform/program_path.h"

#include <unistd.h>

#include <climits>
#include <filesystem>

#ifndef KESTOVA_DATA_FROM_BIN
#define KESTOVA_DATA_FROM_BIN "../share/kestova"
#endif

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

std::string DataFileFrom(const std::string& program_folder, const std::string& relative) {
  const std::string beside = program_folder + relative;
  std::error_code error;
  if (std::filesystem::exists(beside, error)) return beside;
  // The installed layout: bin/kestova and share/kestova/..., wherever the
  // prefix is, so an unpacked package works as well as an installed one.
  const std::filesystem::path installed =
      (std::filesystem::path(program_folder) / KESTOVA_DATA_FROM_BIN / relative).lexically_normal();
  if (std::filesystem::exists(installed, error)) return installed.string();
  return beside;
}

std::string DataFile(const std::string& relative) { return DataFileFrom(ProgramFolder(), relative); }

}  // namespace kestova

// Reading and writing whole files and folder trees in tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace kestova::testing {

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes the bytes, creating the folders on the way.
inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// Every file below a folder with its bytes, by relative path; empty when the
// folder does not exist.
inline std::map<std::string, std::string> Tree(const std::filesystem::path& root) {
  std::map<std::string, std::string> files;
  if (!std::filesystem::exists(root)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[std::filesystem::relative(entry.path(), root).string()] = ReadFile(entry.path());
  }
  return files;
}

// The paths where two trees differ ("missing a", "differs b (12 bytes)",
// "extra c", a line each), so that a failure names them without printing
// every byte of both; empty when they are the same.
inline std::string Differences(const std::map<std::string, std::string>& actual,
                               const std::map<std::string, std::string>& expected) {
  std::string text;
  for (const auto& [path, bytes] : expected) {
    const auto found = actual.find(path);
    if (found == actual.end()) {
      text += "missing " + path + "\n";
    } else if (found->second != bytes) {
      text += "differs " + path + " (" + std::to_string(found->second.size()) + " bytes)\n";
    }
  }
  for (const auto& [path, bytes] : actual) {
    if (!expected.count(path)) text += "extra " + path + "\n";
  }
  return text;
}

}  // namespace kestova::testing

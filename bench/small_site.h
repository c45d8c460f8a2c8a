// The benchmarks' site of many small files: FILES pages of 2 KiB spread
// over FOLDERS folders, every one dated two days back, so that a copy on a
// server is newer by more than any clock slack.
#pragma once

#include <utime.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

namespace kestova::bench {

inline void MakeSmallSite(const std::filesystem::path& local, int files, int folders) {
  const std::string block(2048, 'x');
  const std::time_t past = std::time(nullptr) - 2 * 24 * 3600;
  for (int i = 0; i < files; ++i) {
    const std::filesystem::path file =
        local / ("folder" + std::to_string(i % folders)) / ("page" + std::to_string(i) + ".htm");
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << block;
    utimbuf times{past, past};
    ::utime(file.c_str(), &times);
  }
}

}  // namespace kestova::bench

#include "engine/run_tally.h"

#include <cmath>
#include <cstdio>

namespace kestova {

void RunTally::Add(const RunEvent& event) {
  switch (event.kind) {
    case RunEvent::Kind::RunStarted:
      started = true;
      total_files = event.files;
      total_bytes = event.bytes;
      break;
    case RunEvent::Kind::FileChecked: ++checked; break;
    case RunEvent::Kind::FileSent:
      ++sent;
      bytes_sent += event.bytes;
      break;
    case RunEvent::Kind::FileUnchanged: ++unchanged; break;
    case RunEvent::Kind::FileSkipped: ++failed; break;
    case RunEvent::Kind::Retry: ++retries; break;
    case RunEvent::Kind::RunEnded: ended = true; break;
    case RunEvent::Kind::FolderEntered: break;
  }
}

int RunTally::Percent() const {
  if (total_files <= 0) return ended ? 100 : 0;
  const std::int64_t done = checked < total_files ? checked : total_files;
  return static_cast<int>(done * 100 / total_files);
}

long long RunTally::SecondsLeft(double elapsed_seconds) const {
  // The file being sent counts half done.
  const double done = static_cast<double>(checked) - 0.5;
  if (total_files <= 0 || done < 1 || elapsed_seconds < 1 || checked > total_files) return -1;
  const double rate = done / elapsed_seconds;
  return std::llround((static_cast<double>(total_files) - done) / rate);
}

std::string FormatBytes(std::int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) value /= 1024, ++unit;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatDuration(long long seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
  }
  return text;
}

std::string RunTally::Progress(double elapsed_seconds) const {
  std::string text = std::to_string(checked) + " of " + std::to_string(total_files) + " files";
  if (total_bytes > 0)
    text += ", " + FormatBytes(bytes_sent) + " of " + FormatBytes(total_bytes) + " sent";
  else
    text += ", " + FormatBytes(bytes_sent) + " sent";
  if (const long long left = SecondsLeft(elapsed_seconds); left >= 0) {
    text += ", about " + FormatDuration(left) + " left";
  }
  return text;
}

std::string RunTally::Summary(double elapsed_seconds) const {
  std::string text = std::to_string(checked) + (checked == 1 ? " file" : " files") + " checked, " +
                     std::to_string(sent) + " sent, " + std::to_string(unchanged) + " skipped as unchanged, " +
                     std::to_string(failed) + " failed; " + FormatBytes(bytes_sent);
  if (bytes_sent >= 1024) text += " (" + std::to_string(bytes_sent) + " bytes)";
  text += " sent in " + FormatDuration(std::llround(elapsed_seconds));
  if (retries > 0) text += ", " + std::to_string(retries) + (retries == 1 ? " retry" : " retries");
  return text;
}

}  // namespace kestova

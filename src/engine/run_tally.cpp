#include "engine/run_tally.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/upload.h"

namespace kestova {

void RunTally::WatchTransfers(Upload& run) {
  run.WatchTransfers([this](std::int64_t bytes) { in_flight = bytes; });
}

void RunTally::Add(const RunEvent& event) {
  if (event.kind == RunEvent::Kind::FileChecked || event.kind == RunEvent::Kind::FileSent ||
      event.kind == RunEvent::Kind::FileSkipped || event.kind == RunEvent::Kind::RunEnded) {
    in_flight = 0;
  }
  switch (event.kind) {
    case RunEvent::Kind::RunStarted:
      started = true;
      total_files = event.files;
      total_bytes = event.bytes;
      break;
    case RunEvent::Kind::FileChecked:
      ++checked;
      reached_bytes += event.bytes;
      current_size = event.bytes;
      current_done = false;
      break;
    case RunEvent::Kind::FileSent:
      ++sent;
      bytes_sent += event.bytes;
      current_done = true;
      break;
    case RunEvent::Kind::FileUnchanged:
      ++unchanged;
      current_done = true;
      break;
    case RunEvent::Kind::FileSkipped:
      ++failed;
      current_done = true;
      break;
    case RunEvent::Kind::Retry: ++retries; break;
    case RunEvent::Kind::FileWouldSend:
      ++would_send;
      would_send_bytes += event.bytes;
      current_done = true;
      break;
    case RunEvent::Kind::RemoteDeleted: ++(event.files ? deleted_files : removed_folders); break;
    case RunEvent::Kind::RemoteRemoved: ++(event.files ? gone_files : gone_folders); break;
    case RunEvent::Kind::RunEnded: ended = true; break;
    case RunEvent::Kind::FolderEntered: break;
  }
}

int RunTally::Percent() const {
  if (total_files <= 0) return ended ? 100 : 0;
  return static_cast<int>(Done() * 100);
}

double RunTally::Done() const {
  if (total_files <= 0 || checked <= 0) return 0;
  // The file under way counts by its bytes sent, or half when it has none.
  const std::int64_t current_sent = std::min(in_flight, current_size);
  const double current = current_done       ? 1.0
                         : current_size > 0 ? static_cast<double>(current_sent) / static_cast<double>(current_size)
                                            : 0.5;
  const double files = (static_cast<double>(checked) - 1 + current) / static_cast<double>(total_files);
  if (total_bytes <= 0) return std::min(files, 1.0);
  const std::int64_t bytes_done = current_done ? reached_bytes : reached_bytes - current_size + current_sent;
  const double bytes = static_cast<double>(bytes_done) / static_cast<double>(total_bytes);
  return std::min((files + bytes) / 2, 1.0);
}

long long RunTally::SecondsLeft(double elapsed_seconds) const {
  const double done = Done();
  // An ended (or stopped) run has no time left to tell.
  if (ended || done <= 0 || elapsed_seconds < 1 || checked > total_files) return -1;
  return std::llround(elapsed_seconds * (1 - done) / done);
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
  std::string text = std::to_string(Dealt()) + " of " + std::to_string(total_files) + " files";
  text += ", " + FormatBytes(bytes_sent + in_flight);
  if (total_bytes > 0) text += " of " + FormatBytes(total_bytes);
  text += fetch ? " received" : " sent";
  if (const long long left = SecondsLeft(elapsed_seconds); left >= 0) {
    text += ", about " + FormatDuration(left) + " left";
  }
  return text;
}

std::string RunTally::PauseHint(double elapsed_seconds) const {
  const double paused = static_cast<double>(sent) * 0.1;
  if (!classic || paused < 2 || paused < elapsed_seconds / 2) return std::string();
  char figures[160];
  std::snprintf(figures, sizeof figures, "%.1f s of the %.1f s went to the classic method's pause of 100 ms before ",
                paused, elapsed_seconds);
  return figures + std::string("each of the ") + std::to_string(sent) +
         " files' data connections closed. The modern method has no such pause: choose Method: Modern in the "
         "site window, or run with --method modern.";
}

std::string RunTally::Summary(double elapsed_seconds) const {
  const char* moved = fetch ? " fetched, " : " sent, ";
  std::string text = std::to_string(Dealt()) + (Dealt() == 1 ? " file" : " files") + " checked, " +
                     std::to_string(sent) + moved + std::to_string(unchanged) + " skipped as unchanged, " +
                     std::to_string(failed) + " failed; " + FormatBytes(bytes_sent);
  if (bytes_sent >= 1024) text += " (" + std::to_string(bytes_sent) + " bytes)";
  text += (fetch ? " received in " : " sent in ") + FormatDuration(std::llround(elapsed_seconds));
  if (would_send > 0) {
    text += std::string("; a test run: would ") + (fetch ? "fetch " : "send ") + std::to_string(would_send) +
            (would_send == 1 ? " file, " : " files, ") + FormatBytes(would_send_bytes);
  }
  if (deleted_files > 0 || removed_folders > 0) {
    text += "; " + std::to_string(deleted_files) + (deleted_files == 1 ? " file" : " files") + " and " +
            std::to_string(removed_folders) + (removed_folders == 1 ? " folder" : " folders") + " deleted";
  }
  if (gone_files > 0 || gone_folders > 0) {
    text += "; " + std::to_string(gone_files) + (gone_files == 1 ? " file" : " files");
    if (gone_folders > 0) text += " and " + std::to_string(gone_folders) + (gone_folders == 1 ? " folder" : " folders");
    text += " removed";
  }
  if (retries > 0) text += ", " + std::to_string(retries) + (retries == 1 ? " retry" : " retries");
  return text;
}

}  // namespace kestova

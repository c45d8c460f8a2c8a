// Counts a run's events into the numbers its windows and the command show:
// how far it has got of what it has to consider, an estimate of the time
// left, and the summary at its end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/run_events.h"
#include "site/site_connection.h"

namespace kestova {

class Upload;

struct RunTally {
  std::int64_t total_files = 0;  // the local files the run considers
  std::int64_t total_bytes = 0;
  std::int64_t checked = 0;    // files the walk has reached
  std::int64_t sent = 0;       // files (or pages) sent
  std::int64_t unchanged = 0;  // files skipped because the server's copy is current
  std::int64_t failed = 0;     // files that could not be sent
  std::int64_t bytes_sent = 0;
  // Bytes of the upload under way, not yet in bytes_sent: a large file
  // moves the count before it is done.
  std::int64_t in_flight = 0;
  std::int64_t retries = 0;
  std::int64_t would_send = 0;  // a test run: the files it would send
  std::int64_t would_send_bytes = 0;
  std::int64_t deleted_files = 0;    // remote files the wipe deleted
  std::int64_t removed_folders = 0;  // and remote folders
  std::int64_t gone_files = 0;       // remote files removed as no longer local
  std::int64_t gone_folders = 0;     // and remote folders
  std::int64_t reached_bytes = 0;    // the sizes of the files reached
  std::int64_t current_size = 0;     // the size of the file reached last
  bool current_done = true;          // and whether it has been dealt with
  // The run fetches: files are received, not sent.
  bool fetch = false;
  bool started = false;
  bool ended = false;

  void Add(const RunEvent& event);
  // Files dealt with: sent, unchanged, failed, or (a test run) that would be
  // sent. The one count that progress and summary show, so that a run
  // stopped while it reached a file does not count that file as checked.
  std::int64_t Dealt() const { return sent + unchanged + failed + would_send; }
  // Counts the bytes of the run's file transfers under way into
  // `in_flight`, over all its sessions; the tally must outlive the run.
  void WatchTransfers(Upload& run);
  // Whole percent done (see Done).
  int Percent() const;
  // How much of the work is done, 0 to 1: files and bytes weigh the same,
  // so that neither many small files nor one large one throw it off.
  double Done() const;
  // Seconds left at this pace, or -1 while there is too little to judge.
  long long SecondsLeft(double elapsed_seconds) const;
  // "37 of 120 files, 1.2 MiB of 4.5 MiB sent, about 0:42 left"
  std::string Progress(double elapsed_seconds) const;
  // "120 files checked, 118 sent, 1 skipped as unchanged, 1 failed; 4.5 MiB
  // (4718592 bytes) sent in 0:42"
  std::string Summary(double elapsed_seconds) const;
  // The files were sent by the classic method, which waits 100 ms before
  // each upload's data connection closes.
  bool classic = false;
  // After a classic run that spent most of its time in that pause: how
  // much, and how to go without it; empty otherwise.
  std::string PauseHint(double elapsed_seconds) const;
};

// A size for people: "512 bytes", "1.5 KiB", "4.5 MiB", "2.0 GiB".
std::string FormatBytes(std::int64_t bytes);
// "0:42", "12:05", "1:02:03".
std::string FormatDuration(long long seconds);

}  // namespace kestova

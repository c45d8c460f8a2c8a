// The modern method's Wrt Changes: each remote folder is listed once, and
// the times the server lists are brought to UTC before they are compared
// with the local files' modification times. Servers do not always list in UTC (pyftpdlib with local
// times, vsftpd with use_localtime, proftpd without TimesGMT), and comparing
// their listings with each other learns nothing about it; so the offset is
// learnt from evidence that does not depend on the server's honesty: the
// time it lists for a marker file sent a moment ago, against this
// computer's clock when that upload ended.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <ctime>

#include "common/text_helpers.h"
#include "engine/run_strategies.h"

namespace kestova {

namespace {

std::string DescribeOffset(long long offset) {
  if (offset == 0) return "in UTC";
  const long long magnitude = offset < 0 ? -offset : offset;
  std::string text = std::to_string(magnitude / 3600) + " h";
  if (magnitude % 3600 != 0) text += " " + std::to_string(magnitude % 3600 / 60) + " min";
  // offset = UTC - the listed time
  return text + (offset < 0 ? " ahead of UTC" : " behind UTC");
}

// A moment as this computer's clock shows it, for the log.
ListingTime LocalTime(long long seconds) {
  const std::time_t value = static_cast<std::time_t>(seconds);
  std::tm fields{};
  ::localtime_r(&value, &fields);
  return {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec};
}

// Zones lie between 12 h behind and 14 h ahead of UTC; a day's worth either
// way is what a server's clock, or its idea of its zone, can explain.
constexpr long long kMaxZoneOffset = 26 * 3600;

}  // namespace

// MLSD where the server offers it (its FEAT lists MLST): exact names, sizes
// and times to the second. Asked once a run.
void Upload::DetectMlsd(const std::string& folder) {
  if (mlsd_asked_) return;
  mlsd_asked_ = true;
  if (!ExecuteCommand(folder, "feat", true) || !executor_->LastDone()) return;
  mlsd_ = client_->ListsFacts();
}

// Sends a marker file to the start folder, lists it and deletes it; the
// difference between the listed time and this computer's clock (in UTC) at
// the end of the upload, rounded to the quarter hour that zones differ by, is the
// offset of every listing time of the run.
void Upload::FolderListing::LearnClockOffset() {
  const std::string folder = run_.settings_.StartDir;
  if (run_.client_->TimesInUtc()) {
    run_.DetectMlsd(folder);
    run_.Log("The server's listing times are in UTC, as its protocol gives them: no marker file is needed.");
    return;
  }
  if (run_.profile_.TestRun()) {
    run_.Log(
        "Test run: no marker file may be written to learn the server's clock, so its listing times are compared "
        "without an offset.");
    return;
  }
  run_.Next().file = folder;
  run_.Next().folder = folder;
  if (!run_.ExecuteCommand(folder, "mkd", true) || !run_.ExecuteCommand(folder, "cwd", false)) return;
  run_.DetectMlsd(folder);
  ListingTime listed;
  std::time_t ended = 0;
  const bool found = MarkerTime(folder, listed, ended);
  if (run_.executor_->GaveUp()) return;
  if (!found) {
    run_.Log("Could not learn the server's clock from a marker file in " + folder +
             ": its listing times are compared without an offset.");
    return;
  }
  const long long offset = std::llround(static_cast<double>(ended - UtcSeconds(listed)) / 900.0) * 900;
  if (offset > kMaxZoneOffset || offset < -kMaxZoneOffset) {
    times_trusted_ = false;
    run_.Log("The server listed the marker file sent to " + folder + " a moment ago at " + FormatListingTime(listed) +
             ", " + DescribeOffset(offset) +
             ", which no time zone explains: its listing times are not trusted, and "
             "every file is sent.");
    return;
  }
  clock_offset_ = offset;
  run_.Log("The server's listing times are " + DescribeOffset(clock_offset_) + " (learnt from the time " +
           (run_.mlsd_ ? "MLSD" : "LIST") + " gave a marker file sent to " + folder + ").");
}

// Sends the marker file, lists its folder for the marker's time and deletes
// it: whether a time was listed, and when the upload ended by this
// computer's clock.
bool Upload::FolderListing::MarkerTime(const std::string& folder, ListingTime& listed, std::time_t& ended) {
  const std::string marker = std::string(kTemporaryPrefix) + "clock-" + std::to_string(::getpid());
  MemoryStream stream;
  const std::string text = "Kestova learns the server's clock from this file's time.\n";
  stream.Write(text.data(), static_cast<std::int64_t>(text.size()));
  stream.Seek(0);
  MemoryStream* run_stream = run_.Next().stream;
  run_.Next().SetStream(&stream);
  run_.Next().file = marker;
  const bool sent = run_.ExecuteCommand(folder, "typebinary", false) && run_.ExecuteCommand(folder, "put", true) &&
                    run_.executor_->LastDone();
  ended = std::time(nullptr);
  run_.Next().SetStream(run_stream);
  RemoteListing listing;
  bool found = false;
  if (sent && run_.ListFolder(folder, run_.mlsd_ ? "mlsd" : "dir", listing, true)) {
    for (const RemoteEntry& entry : listing.entries) {
      if (entry.name != marker) continue;
      found = entry.precision != RemoteEntry::Precision::None;
      listed = entry.time;
      break;
    }
  }
  run_.Next().file = marker;
  if (sent && run_.ExecuteCommand(folder, "dele", true) && !run_.executor_->LastDone()) {
    run_.Log("Could not delete the marker file " + AddTrailingSlash(folder) + marker + " (" +
             run_.executor_->LastFailure() +
             "): it stays on the server, where visitors can read it; delete it by hand.");
  }
  return found;
}

// How much later than the truth a listed time may show: an hour where the
// server may list its local time in a zone with daylight saving (LIST
// times, MLSD times that are not UTC), as the offset learnt today is an
// hour off for times on the other side of a change. A file is never judged
// unchanged by that hour.
long long Upload::FolderListing::DaylightSlack() const { return run_.mlsd_ && clock_offset_ == 0 ? 0 : 3600; }

// When the listed times cannot be trusted, no listed copy counts as
// unchanged.
bool Upload::FolderListing::UntrustedTimes(const std::string& name) {
  if (times_trusted_) return false;
  run_.Log("File " + name + " - the server's listing times are not trusted, so it is sent");
  return true;
}

// Whether a copy listed as no older than the local file may still be older
// by the daylight saving hour; said when it is sent for that alone.
// A local file whose time is exactly the listed one, to the whole second,
// took it from the listing (a fetch sets it so): it is that copy, and the
// hour does not apply.
bool Upload::FolderListing::WithinDaylightHour(const std::string& name, long long remote_start, long long remote_end,
                                               const LocalEntry& entry) {
  if (remote_end - DaylightSlack() >= entry.mtime) return false;
  if (entry.whole_second && remote_start == entry.mtime) return false;
  run_.Log("File " + name +
           " - listed less than an hour after the local file's time, which daylight saving on the "
           "server can explain, so it is sent");
  return true;
}

// The index of a folder's listing, made once per folder while the walk is
// in it; empty when the server would not list it (every file then counts as
// new, as a failed listing does in the classic method). The listing's text
// goes as soon as it is read.
Upload::FolderListing::Index& Upload::FolderListing::IndexedFolder(const std::string& remote) {
  Index& index = index_[remote];
  if (index.listed) return index;
  index.listed = true;
  std::set<std::string> names, folded_names;
  if (index.local) {
    for (const LocalEntry& entry : *index.local) {
      names.insert(entry.name);
      folded_names.insert(FoldCase(entry.name));
    }
  }
  RemoteListing listing;
  if (run_.ListFolder(remote, run_.mlsd_ ? "mlsd" : "dir", listing, true)) {
    for (RemoteEntry& listed : listing.entries) IndexEntry(listed, index, names, folded_names);
  }
  size_t held = 0;
  for (const auto& [path, folder] : index_) held += folder.Size();
  peak_held_ = std::max(peak_held_, held);
  return index;
}

// One entry of a folder's listing, kept when it names a local file or folder
// or is a leftover. Of a listing of facts only files and folders count; of a
// long listing every entry counts as a file too.
void Upload::FolderListing::IndexEntry(RemoteEntry& listed, Index& index, const std::set<std::string>& names,
                                       const std::set<std::string>& folded_names) {
  const std::string name = listed.name;
  const bool folder = listed.kind == RemoteEntry::Kind::Folder;
  const bool file = !run_.mlsd_ || listed.kind == RemoteEntry::Kind::File;
  if (name.empty() || (!file && !folder)) return;
  if (file && IsTemporaryName(name)) index.leftovers.push_back(name);
  if (folder && names.count(name)) index.folders.insert(name);
  if (!file && run_.mlsd_) return;
  if (names.count(name)) {
    index.files.emplace(name, std::move(listed));
  } else if (const std::string fold = FoldCase(name); folded_names.count(fold)) {
    index.folded.emplace(fold, std::move(listed));
  }
}

const RemoteEntry* Upload::FolderListing::ListedFile(const std::string& remote, const std::string& name) {
  const Index& index = IndexedFolder(remote);
  if (const auto exact = index.files.find(name); exact != index.files.end()) return &exact->second;
  const auto folded = index.folded.find(FoldCase(name));
  return folded == index.folded.end() ? nullptr : &folded->second;
}

// Whether the listing of its parent shows a folder as there already, so that
// a modern Wrt Changes need not ask MKD for it. Only below the start folder.
bool Upload::FolderListing::ListedAsFolder(const std::string& remote) {
  if (remote == run_.settings_.StartDir) return false;
  const size_t slash = remote.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return false;
  const std::string parent = remote.substr(0, slash);
  if (!index_.count(parent)) return false;  // not a folder the walk is in
  return IndexedFolder(parent).folders.count(remote.substr(slash + 1)) > 0;
}

// The listed time brought to UTC, and whether the copy it
// dates is older than the local file. A listing shows minutes (or, for old
// files, days): the copy counts as made at the end of what it shows.
bool Upload::FolderListing::ListedCopyOlder(const RemoteEntry& listed, const LocalEntry& entry,
                                            ListingTime& shown) const {
  shown = LocalTime(UtcSeconds(listed.time) + clock_offset_);
  return ListedEnd(listed) < entry.mtime;
}

// The first moment (UTC) a long listing's time can stand for.
long long Upload::FolderListing::ListedStart(const RemoteEntry& listed) const {
  return UtcSeconds(listed.time) + clock_offset_;
}

// The last moment (UTC) a long listing's time can stand for.
long long Upload::FolderListing::ListedEnd(const RemoteEntry& listed) const {
  const bool shows_time = listed.precision != RemoteEntry::Precision::Day;
  return UtcSeconds(listed.time) + clock_offset_ + (shows_time ? 60 : 86400) - 1;
}

// The MLSD counterpart of the listing comparison, with the same lines.
bool Upload::FolderListing::MlsdCopyOutdated(const std::string& local, const LocalEntry& entry,
                                             const RemoteEntry& fact) {
  run_.judged_reason_ = "the server's times cannot be used";
  if (UntrustedTimes(fact.name)) return true;
  const long long remote = UtcSeconds(fact.time) + clock_offset_;
  const bool has_time = fact.precision != RemoteEntry::Precision::None;
  run_.judged_reason_ = has_time ? "newer" : "no time listed";
  if (!has_time || remote < entry.mtime) {
    run_.Log("Old time: " + (has_time ? FormatListingTime(LocalTime(remote)) : std::string("(none listed)")) +
             " New: " + FormatListingTime(entry.time));
    return true;
  }
  run_.judged_reason_ = "newer, within the hour a clock change can shift";
  if (WithinDaylightHour(fact.name, remote, remote, entry)) return true;
  run_.judged_reason_ = "other size";
  const std::string path = LocalPath(local, entry.name);
  if (fact.size >= 0 && run_.ListedSizeDiffers(path, entry.size, fact.size)) {
    run_.Log("File " + fact.name + " - size differs (" + std::to_string(fact.size) + " bytes listed, " +
             std::to_string(entry.size) + " here)");
    return true;
  }
  run_.Log("File " + fact.name + " - no date change");
  return false;
}

// The modern method lists the folder once for all its files and looks each
// up by name.
Upload::Verdict Upload::FolderListing::Judge(const std::string& local, const std::string& remote,
                                             const LocalEntry& entry) {
  const RemoteEntry* listed = ListedFile(remote, entry.name);
  if (run_.terminated_) return Verdict::None;
  if (!listed) return Verdict::New;
  const bool outdated =
      run_.mlsd_ ? MlsdCopyOutdated(local, entry, *listed) : run_.ServerCopyOutdated(local, entry, *listed);
  return outdated ? Verdict::Changed : Verdict::Unchanged;
}

}  // namespace kestova

// Fetching the old site: the tree below the old site's start folder is
// downloaded into the local folder, the first step of a move. The run plans
// first (every remote folder listed, every file judged against the local
// copy) and then acts, folder by folder.
//
// The local side is where mirroring goes wrong, so the names a server lists
// are data and nothing more: each must be one path segment, a name listed
// twice is left out, a link on the server is never followed, and nothing
// local is ever followed either: folders are opened relative to their parent
// without following links, files are created new beside their final name and
// renamed into place only once they arrived whole, so that a cut fetch
// leaves no cut file under a real name. Each fetched file gets the time the
// server lists for it, so that a fetch again (and a Wrt Changes publish)
// takes only what changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/upload.h"

namespace kestova {

class Fetch {
 public:
  struct Totals {
    std::int64_t files = 0;      // files to fetch
    std::int64_t bytes = 0;      // their listed sizes
    std::int64_t folders = 0;    // local folders to make
    std::int64_t unchanged = 0;  // files whose local copy has the listed size and time
  };

  explicit Fetch(Upload& run) : run_(run) {}
  ~Fetch();
  Fetch(const Fetch&) = delete;
  Fetch& operator=(const Fetch&) = delete;

  // Plans, then fetches; the run is terminated when the server's listings
  // cannot be read.
  void Run();
  const Totals& Planned() const { return totals_; }
  // "Would fetch 12 files (3.4 MiB), make 2 folders; 5 files unchanged"
  static std::string TotalsLine(const Totals& totals);
  // Whether a listed name can be a local name: one path segment, with no
  // control character.
  static bool SafeName(const std::string& name);

 private:
  struct File {
    std::string name;
    std::int64_t size = -1;  // as listed; -1 when not listed
    long long time = 0;      // the listed time, in seconds since 1970 (read as UTC)
    bool timed = false;
  };
  struct Folder {
    std::string remote;
    std::vector<std::string> segments;  // its local path below the local folder
    bool make = false;                  // not there locally yet
    std::vector<File> files;            // what to fetch into it
  };

  bool Plan(const std::string& remote, const std::vector<std::string>& segments, int depth);
  bool ListRemote(const std::string& remote, RemoteListing& listing, bool& entered);
  // Judges one listed file against the local folder `local` (-1 when that
  // is not there yet): true when it is to be fetched.
  bool ToFetch(int local, const std::string& remote, const std::vector<std::string>& segments, const File& file);
  void Act();
  void ActShared(int sessions);
  void GetFile(int local, const Folder& folder, const File& file);
  // Opens the local folder at `segments` below the local folder, making
  // what is missing when `make` says so, never following a link: the
  // descriptor, or -1 with errno set (ENOENT: not there; ELOOP or ENOTDIR:
  // a link or a file stands in its place).
  int OpenLocal(const std::vector<std::string>& segments, bool make);
  std::string LocalName(const std::vector<std::string>& segments, const std::string& name = std::string()) const;
  void Problem(const std::string& line, const std::string& path = std::string());

  Upload& run_;
  std::vector<Folder> folders_;         // in the order they are made: a folder before what it holds
  std::vector<std::string> unchanged_;  // local paths of files whose copy is current
  Totals totals_;
  std::vector<std::string> report_make_, report_fetch_;
};

}  // namespace kestova

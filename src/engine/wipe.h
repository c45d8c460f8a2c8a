// The wipe job: empties the start folder of a run's site before anything is
// sent, through the run's executor, and asks first (once it has counted what
// would go) when the run has someone to ask.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/upload.h"

namespace kestova {

class Wipe {
 public:
  explicit Wipe(Upload& run) : run_(run) {}
  // Wipes the run's start folder; the run is terminated when the wipe
  // cannot go on or was not confirmed.
  void Run();

 private:
  bool Confirmed();
  // Empties `directory`; true when nothing in it was left behind.
  bool Folder(const std::string& directory);
  void LogListing(const RemoteListing& listing);
  bool Named(const std::string& directory, const std::string& name, bool folder, bool& left_behind);
  bool Subfolder(const std::string& directory, const std::string& name, bool& left_behind);
  bool DeleteListed(const std::string& directory, const std::string& name, bool folder, bool& left_behind);
  // A problem of the wipe, said by the pass that deletes.
  void Problem(const std::string& line);

  Upload& run_;
  int depth_ = 0;
  // The first pass counts what it would delete and changes nothing.
  bool counting_ = false;
  std::int64_t files_ = 0;
  std::int64_t folders_ = 0;
};

}  // namespace kestova

// Keeping the new site in step: after a publish in which every upload
// succeeded, the remote files and folders below the start folder that the
// local folder no longer has are removed. The server's listings are read
// first, with the wipe's rules for names (names are data; links are removed
// as links, never entered; dot-files, the FrontPage folders, excluded names
// and the temporary files of the modern method stay), and nothing is removed
// past a limit without a yes. A test run only lists what would go.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/upload.h"

namespace kestova {

class Removal {
 public:
  explicit Removal(Upload& run) : run_(run) {}
  // Finds and removes what is gone locally; the run is terminated when the
  // server's listings cannot be read.
  void Run();
  std::int64_t Files() const { return files_; }
  std::int64_t Folders() const { return folders_; }

 private:
  struct Gone {
    std::string directory, name;
    bool folder = false;
  };
  // Reads `directory` (the remote counterpart of `local`) and what is gone
  // below it; false when the run cannot go on.
  bool Find(const std::string& directory, const std::string& local, int depth);
  // Everything in a remote folder whose local counterpart is gone; true when
  // all of it can go (nothing in it is kept), so that the folder can too.
  bool FindAll(const std::string& directory, int depth, bool& ok);
  bool Listed(const std::string& directory, RemoteListing& listing);
  bool Kept(const std::string& directory, const RemoteEntry& entry, int depth);
  bool Allowed();
  void RemoveAll();

  Upload& run_;
  std::vector<Gone> gone_;  // in the order they can go: a folder after what it held
  std::int64_t files_ = 0;
  std::int64_t folders_ = 0;
  std::int64_t remote_files_ = 0;  // every remote file listed, for the limit's 10 %
};

}  // namespace kestova

// The classic method's walk, for the new site's files and the old site's
// redirection pages alike: folder by folder and file by file, each file
// judged and sent before the walk goes on, with the commands in the order
// the program always sent them.
#pragma once

#include <string>

#include "engine/upload.h"

namespace kestova {

class ClassicWalk {
 public:
  explicit ClassicWalk(Upload& run) : run_(run) {}
  // Publishes the local folder `local` into `remote`.
  void Folder(const std::string& local, const std::string& remote, const std::string& site_address,
              const std::string& new_address, const std::string& old_address);

 private:
  bool EnterFolder(const std::string& remote);
  // In a test run: the folder, or one above it, is not on the server.
  bool InMissingFolder(const std::string& remote) const;
  void Entry(const std::string& local, const std::string& remote, const Upload::LocalEntry& entry,
             const std::string& site_address, const std::string& new_address, const std::string& old_address);
  void File(const std::string& local, const std::string& remote, const Upload::LocalEntry& entry,
            const std::string& site_address, const std::string& new_address, const std::string& old_address);
  void WriteChangesStep(const std::string& local, const std::string& remote, const Upload::LocalEntry& entry,
                        const std::string& site_address, const std::string& new_address,
                        const std::string& old_address);
  Upload::Verdict JudgeFile(const std::string& local, const std::string& remote, const Upload::LocalEntry& entry);

  Upload& run_;
  std::string missing_root_;  // a test run: the topmost folder of the walk the server does not have
};

}  // namespace kestova

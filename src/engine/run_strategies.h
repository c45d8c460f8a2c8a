// The two ways in which runs of the two methods differ, chosen once when a
// run starts: how a file goes to the server in place of its old copy, and
// how Wrt Changes tells whether the server's copy is current. The walks ask
// these and never the method.
#pragma once

#include <string>
#include <vector>

#include "engine/upload.h"

namespace kestova {

class Upload::ReplaceStrategy {
 public:
  explicit ReplaceStrategy(Upload& run) : run_(run) {}
  virtual ~ReplaceStrategy() = default;
  // The old copy is deleted before the new one is sent.
  virtual bool DeletesFirst() const = 0;
  // A local name this way uses for its own files on the server, which the
  // walk therefore never publishes.
  virtual bool Reserved(const std::string& name) const = 0;
  // Sends the file the operands name as `name` in `remote`, with the "Copy
  // to" line of an Overwrite All or not; false when the run must end.
  virtual bool Send(const std::string& local, const std::string& remote, const std::string& name, const char* label,
                    bool copy_line) = 0;

 protected:
  Upload& run_;
};

class Upload::ChangeStrategy {
 public:
  explicit ChangeStrategy(Upload& run) : run_(run) {}
  virtual ~ChangeStrategy() = default;
  // Before the walk.
  virtual void Prepare() {}
  // The walk has read a local folder, whose remote folder is `remote`, and
  // has left it.
  virtual void FolderRead(const std::string& /*remote*/, const std::vector<LocalEntry>& /*entries*/) {}
  virtual void FolderLeft(const std::string& /*remote*/) {}
  // What the server lists shows the folder there already.
  virtual bool ListedAsFolder(const std::string& /*remote*/) { return false; }
  // Judges a file in a folder the server has: new, changed or unchanged,
  // with the lines that say why; nothing once the run has ended.
  virtual Verdict Judge(const std::string& local, const std::string& remote, const LocalEntry& entry) = 0;
  // For a LIST line: the listed times cannot be trusted (said, and the file
  // is sent); the listed copy is older than the local file (and the time to
  // show for it); it is not older, but within what the server's clock may
  // be off by.
  virtual bool TimesUntrusted(const std::string& /*name*/) { return false; }
  virtual bool ListedOlder(const std::string& line, const ListingTime& listed, const LocalEntry& entry,
                           ListingTime& shown) = 0;
  virtual bool WithinSlack(const std::string& /*name*/, const std::string& /*line*/, const ListingTime& /*listed*/,
                           const LocalEntry& /*entry*/) {
    return false;
  }

 protected:
  Upload& run_;
};

}  // namespace kestova

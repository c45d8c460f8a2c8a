// The two ways in which runs of the two methods differ, chosen once when a
// run starts: how a file goes to the server in place of its old copy, and
// how Wrt Changes tells whether the server's copy is current. The walks ask
// these and never the method.
#pragma once

#include <cstring>

#include <ctime>
#include <map>
#include <set>
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
  // to" line of an Overwrite All or not; false when the run must end. The
  // label "Put" says the server's listing showed no file of that name (a
  // new file), "put" that one is or may be there.
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
  // The walk is in the folder: what a cut run left there, as its listing
  // shows them; and the server does not have the folder at all.
  virtual std::vector<std::string> Leftovers(const std::string& /*remote*/) { return {}; }
  virtual void FolderMissing(const std::string& /*remote*/) {}
  // The most listing entries held at once.
  virtual size_t PeakHeld() const { return 0; }
  // Judges a file in a folder the server has: new, changed or unchanged,
  // with the lines that say why; nothing once the run has ended.
  virtual Verdict Judge(const std::string& local, const std::string& remote, const LocalEntry& entry) = 0;
  // For a long listing's entry: the listed times cannot be trusted (said,
  // and the file is sent); the listed copy is older than the local file (and
  // the time to show for it); it is not older, but within what the server's
  // clock may be off by.
  virtual bool TimesUntrusted(const std::string& /*name*/) { return false; }
  virtual bool ListedOlder(const RemoteEntry& listed, const LocalEntry& entry, ListingTime& shown) = 0;
  virtual bool WithinSlack(const RemoteEntry& /*listed*/, const LocalEntry& /*entry*/) { return false; }

 protected:
  Upload& run_;
};

// The modern method: STOR under a temporary name, then renamed over the old
// copy (modern_replace.cpp).
class Upload::RenameIntoPlace : public ReplaceStrategy {
 public:
  using ReplaceStrategy::ReplaceStrategy;
  bool DeletesFirst() const override { return false; }
  bool Reserved(const std::string& name) const override { return IsTemporaryName(name); }
  bool Send(const std::string& local, const std::string& remote, const std::string& name, const char* label,
            bool copy_line) override {
    // A new file replaces nothing: it goes straight to its name, with no
    // temporary name and no rename.
    if (std::strcmp(label, "Put") == 0 && mode_ != Mode::DeleteAndSend) return SendNew(local, remote, name, copy_line);
    return ReplaceFile(local, remote, name, copy_line);
  }

 private:
  bool SendNew(const std::string& local, const std::string& remote, const std::string& name, bool log_copy_line);
  bool DropFailedUpload(const std::string& local, const std::string& remote, const std::string& name,
                        const std::string& sent_as, const std::string& outcome);
  bool ReplaceFile(const std::string& local, const std::string& remote, const std::string& name, bool log_copy_line);
  bool RenameOver(const std::string& remote, const std::string& temporary, const std::string& name, std::int64_t bytes);
  bool RenamedAfterAll(const std::string& remote, const std::string& temporary, const std::string& name,
                       std::int64_t bytes);
  bool SendUnderOwnName(const std::string& local, const std::string& remote, const std::string& name,
                        bool log_copy_line);

  // How a file replaces its old copy, settled once a run by what the server
  // says to a first attempt: rename over the old copy; delete the old copy,
  // then rename (a server that will not rename onto a name); or delete and
  // send under the name, as the classic method does (a server that cannot
  // rename).
  enum class Mode { Rename, DeleteThenRename, DeleteAndSend };
  Mode mode_ = Mode::Rename;
};

// The modern Wrt Changes: one listing per folder, read once while the walk
// is in it, its times brought to UTC by the offset learnt from a marker file.
class Upload::FolderListing : public ChangeStrategy {
 public:
  using ChangeStrategy::ChangeStrategy;
  void Prepare() override { LearnClockOffset(); }
  void FolderRead(const std::string& remote, const std::vector<LocalEntry>& entries) override {
    index_[remote].local = &entries;
  }
  void FolderLeft(const std::string& remote) override { index_.erase(remote); }
  bool ListedAsFolder(const std::string& remote) override;
  std::vector<std::string> Leftovers(const std::string& remote) override { return IndexedFolder(remote).leftovers; }
  void FolderMissing(const std::string& remote) override { index_[remote].listed = true; }
  size_t PeakHeld() const override { return peak_held_; }
  Verdict Judge(const std::string& local, const std::string& remote, const LocalEntry& entry) override;
  bool TimesUntrusted(const std::string& name) override { return UntrustedTimes(name); }
  bool ListedOlder(const RemoteEntry& listed, const LocalEntry& entry, ListingTime& shown) override {
    return ListedCopyOlder(listed, entry, shown);
  }
  bool WithinSlack(const RemoteEntry& listed, const LocalEntry& entry) override {
    return WithinDaylightHour(listed.name, ListedStart(listed), ListedEnd(listed), entry);
  }

 private:
  // What is kept of a folder's listing: only the entries whose names the
  // local folder has, and the leftovers of a cut run, so that a run holds
  // no more of a listing than the local site has names, however much the
  // server lists.
  struct Index {
    const std::vector<LocalEntry>* local = nullptr;  // the local folder's entries
    bool listed = false;
    std::map<std::string, RemoteEntry> files;   // by the name as listed; the first entry decides
    std::map<std::string, RemoteEntry> folded;  // by FoldCase of the name, for names listed in another case
    std::set<std::string> folders;              // local folders that the listing shows, by name
    std::vector<std::string> leftovers;         // temporary names a cut run left
    size_t Size() const { return files.size() + folded.size() + folders.size() + leftovers.size(); }
  };
  void LearnClockOffset();
  bool MarkerTime(const std::string& folder, ListingTime& listed, std::time_t& ended);
  Index& IndexedFolder(const std::string& remote);
  void IndexEntry(RemoteEntry& listed, Index& index, const std::set<std::string>& names,
                  const std::set<std::string>& folded_names);
  // The listed copy of a file: the entry of exactly that name, else the
  // first one whose name differs only in case.
  const RemoteEntry* ListedFile(const std::string& remote, const std::string& name);
  bool ListedCopyOlder(const RemoteEntry& listed, const LocalEntry& entry, ListingTime& shown) const;
  long long ListedEnd(const RemoteEntry& listed) const;
  long long DaylightSlack() const;
  bool UntrustedTimes(const std::string& name);
  bool WithinDaylightHour(const std::string& name, long long remote_start, long long remote_end,
                          const LocalEntry& entry);
  long long ListedStart(const RemoteEntry& listed) const;
  bool MlsdCopyOutdated(const std::string& local, const LocalEntry& entry, const RemoteEntry& fact);

  long long clock_offset_ = 0;          // UTC minus the server's listed times, in seconds
  bool times_trusted_ = true;           // the marker's listed time was one a time zone explains
  std::map<std::string, Index> index_;  // the folders being walked, by remote path
  size_t peak_held_ = 0;                // the most listing entries held at once
};

}  // namespace kestova

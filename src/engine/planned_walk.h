// The modern method's publish walk: it first walks the local folder and the
// server's listings into a plan (folders to make, files to send and why,
// leftovers of a cut run to remove, and what it skips and why), then carries
// the plan out. A test run carries it out in words and ends with the plan's
// totals. The plan is what later work builds on: removals once everything
// was sent, a fetch the other way, a queue for several connections.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/upload.h"

namespace kestova {

class PlannedWalk {
 public:
  explicit PlannedWalk(Upload& run) : run_(run) {}

  // Plans the walk of `local` into `remote`, then carries the plan out.
  void Run(const std::string& local, const std::string& remote, const std::string& site_address,
           const std::string& new_address, const std::string& old_address);

  using Totals = PlanTotals;
  const Totals& Planned() const { return totals_; }
  // "Would send 12 files (3.4 MiB), make 2 folders, remove 5 files and 1
  // folder; 1,988 files unchanged" (the last part where files were
  // compared)
  static std::string TotalsLine(const Totals& totals);

 private:
  struct Folder;
  struct Item {
    enum class Kind { File, Folder, Back } kind = Kind::Back;  // Back: the walk changes back into its folder
    Upload::LocalEntry entry;
    bool is_new = false;             // a Wrt Changes file the server does not have
    std::unique_ptr<Folder> folder;  // Kind::Folder
  };
  struct Folder {
    std::string local, remote, site_address, new_address, old_address;
    bool make = true;                    // MKD before going in
    bool enter = true;                   // the local folder could be read and holds entries
    bool missing = false;                // the server does not have it: everything in it is new
    bool names_listed = false;           // Overwrite All: the server's names were read
    std::set<std::string> folded_names;  // and these are they, by FoldCase
    std::vector<std::string> leftovers;
    std::vector<Item> items;
  };

  std::unique_ptr<Folder> Plan(const std::string& local, const std::string& remote, const std::string& site_address,
                               const std::string& new_address, const std::string& old_address, bool make);
  void PlanEntries(Folder& folder, const std::vector<Upload::LocalEntry>& entries);
  bool PlanFile(Folder& folder, const Upload::LocalEntry& entry, Item& item);
  void LookInto(Folder& folder);
  void Act(const Folder& folder);
  // The plan as tasks for several sessions: each folder's own (made, its
  // leftovers removed) before its files and folders.
  void Queue(const Folder& folder, size_t after, std::vector<Upload::SharedTask>& tasks);
  void MakeFolder(const Folder& folder);
  void ActFile(const Folder& folder, const Item& item);
  void RemoveLeftovers(const Folder& folder);

  // The folder, or one above it, is not on the server.
  bool InMissingFolder(const std::string& remote) const;

  Upload& run_;
  Totals totals_;
  std::string missing_root_;  // the topmost folder of the walk the server does not have
};

}  // namespace kestova

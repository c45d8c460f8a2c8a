// The classic and the modern ways of replacing a file and of telling
// whether it changed (run_strategies.h); the work itself is the run's.
#include "engine/run_strategies.h"

namespace kestova {

// The classic method: DELE, then STOR under the real name.
class Upload::DeleteAndSend : public ReplaceStrategy {
 public:
  using ReplaceStrategy::ReplaceStrategy;
  bool DeletesFirst() const override { return true; }
  bool Reserved(const std::string&) const override { return false; }
  bool Send(const std::string& local, const std::string& remote, const std::string& name, const char* label,
            bool copy_line) override {
    return copy_line ? run_.UploadFile(local, name) : run_.SendUpload(local, remote, name, label);
  }
};

// The classic Wrt Changes: a LIST of each file, its date read as the
// server's own and compared with the local time as packed DOS times.
class Upload::ListingPerFile : public ChangeStrategy {
 public:
  using ChangeStrategy::ChangeStrategy;
  Verdict Judge(const std::string& local, const std::string&, const LocalEntry& entry) override {
    return run_.ListedVerdict(local, entry);
  }
  bool ListedOlder(const RemoteEntry& listed, const LocalEntry& entry, ListingTime&) override {
    return PackDosTime(listed.time) < entry.dos_time;
  }
};

void Upload::ChooseStrategies() {
  const bool modern = Modern();
  if (modern) {
    replace_ = std::make_unique<RenameIntoPlace>(*this);
    changes_ = std::make_unique<FolderListing>(*this);
  } else {
    replace_ = std::make_unique<DeleteAndSend>(*this);
    changes_ = std::make_unique<ListingPerFile>(*this);
  }
  type_each_file_ = !modern;
  lists_facts_ = modern;
  plans_first_ = modern;
}

}  // namespace kestova

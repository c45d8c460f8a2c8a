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

// The modern method: STOR under a temporary name, then renamed into place.
class Upload::RenameIntoPlace : public ReplaceStrategy {
 public:
  using ReplaceStrategy::ReplaceStrategy;
  bool DeletesFirst() const override { return false; }
  bool Reserved(const std::string& name) const override { return IsTemporaryName(name); }
  bool Send(const std::string& local, const std::string& remote, const std::string& name, const char*,
            bool copy_line) override {
    return run_.ReplaceFile(local, remote, name, copy_line);
  }
};

// The classic Wrt Changes: a LIST of each file, its date read as the
// server's own and compared with the local time as packed DOS times.
class Upload::ListingPerFile : public ChangeStrategy {
 public:
  using ChangeStrategy::ChangeStrategy;
  Verdict Judge(const std::string& local, const std::string& remote, const LocalEntry& entry) override {
    return run_.ListedVerdict(local, remote, entry);
  }
  bool ListedOlder(const std::string&, const ListingTime& listed, const LocalEntry& entry, ListingTime&) override {
    return PackDosTime(listed) < entry.dos_time;
  }
};

// The modern Wrt Changes: one listing per folder, its times brought to UTC
// by the offset learnt from a marker file.
class Upload::FolderListing : public ChangeStrategy {
 public:
  using ChangeStrategy::ChangeStrategy;
  void Prepare() override { run_.LearnClockOffset(); }
  void FolderRead(const std::string& remote, const std::vector<LocalEntry>& entries) override {
    run_.folder_index_[remote].local = &entries;
  }
  void FolderLeft(const std::string& remote) override { run_.folder_index_.erase(remote); }
  bool ListedAsFolder(const std::string& remote) override { return run_.ListedAsFolder(remote); }
  Verdict Judge(const std::string& local, const std::string& remote, const LocalEntry& entry) override {
    return run_.IndexedVerdict(local, remote, entry);
  }
  bool TimesUntrusted(const std::string& name) override { return run_.UntrustedTimes(name); }
  bool ListedOlder(const std::string& line, const ListingTime& listed, const LocalEntry& entry,
                   ListingTime& shown) override {
    return run_.ListedCopyOlder(line, listed, entry, shown);
  }
  bool WithinSlack(const std::string& name, const std::string& line, const ListingTime& listed,
                   const LocalEntry& entry) override {
    return run_.WithinDaylightHour(name, run_.ListedEnd(line, listed), entry);
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

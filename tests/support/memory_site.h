// A site held in memory, for engine tests that need no server: its folders
// and files (bytes and times) answer the typed calls as a server's would,
// every call is recorded, and a failure scripted for an operation comes
// before its effect, as with the fake connection it builds on.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <string>

#include "support/fake_site_connection.h"

namespace kestova::testing {

class MemorySite : public FakeSiteConnection {
 public:
  MemorySite();

  void AddFolder(const std::string& path);
  void AddFile(const std::string& path, const std::string& data, std::time_t modified);
  bool HasFile(const std::string& path) const;
  bool HasFolder(const std::string& path) const;
  // The bytes of a file; "(nothing)" when there is none.
  std::string Data(const std::string& path) const;

  // The time a file sent now gets (the server's clock, in UTC).
  std::function<std::time_t()> clock = [] { return std::time(nullptr); };
  // Lists folders with facts (MLSD), or in the long form.
  bool lists_facts = true;
  // Renames at all; renames onto a name that is there.
  bool renames = true;
  bool renames_onto_names = true;

  Outcome Connect() override;
  Outcome ChangeFolder(const std::string& folder) override;
  Outcome ParentFolder() override;
  Outcome MakeFolder(const std::string& name) override;
  Outcome RemoveFolder(const std::string& name) override;
  Outcome RemoveFile(const std::string& name) override;
  Outcome Rename(const std::string& from, const std::string& to) override;
  RenameRefusal RefusedHalf() const override { return refused_half_; }
  Outcome Send(const std::string& name, const std::string& local_file, DataStream* source) override;
  Outcome Receive(const std::string& name, DataStream& sink) override;
  Outcome List(Listing kind, const std::string& what, RemoteListing& into) override;
  bool ListsFacts() const override { return lists_facts; }
  std::int64_t TransferCount() const override { return sent_; }

 private:
  struct Node {
    bool folder = false;
    std::string data;
    std::time_t modified = 0;
  };
  std::string PathOf(const std::string& name) const;
  bool HasChildren(const std::string& path) const;
  Outcome Refuse(const std::string& reply);
  RemoteEntry EntryOf(const std::string& name, const Node& node, Listing kind) const;

  std::map<std::string, Node> nodes_;
  std::string folder_ = "/";
  RenameRefusal refused_half_ = RenameRefusal::None;
  std::int64_t sent_ = 0;
};

}  // namespace kestova::testing

#include "support/memory_site.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace kestova::testing {

namespace {

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

}  // namespace

MemorySite::MemorySite() {
  nodes_["/"].folder = true;
  working_folder = "/";
}

void MemorySite::AddFolder(const std::string& path) {
  if (path != "/") AddFolder(Parent(path));
  nodes_[path].folder = true;
}

void MemorySite::AddFile(const std::string& path, const std::string& data, std::time_t modified) {
  AddFolder(Parent(path));
  nodes_[path] = Node{false, data, modified};
}

bool MemorySite::HasFile(const std::string& path) const {
  const auto found = nodes_.find(path);
  return found != nodes_.end() && !found->second.folder;
}

bool MemorySite::HasFolder(const std::string& path) const {
  const auto found = nodes_.find(path);
  return found != nodes_.end() && found->second.folder;
}

std::string MemorySite::Data(const std::string& path) const {
  return HasFile(path) ? nodes_.at(path).data : "(nothing)";
}

std::string MemorySite::PathOf(const std::string& name) const {
  if (!name.empty() && name[0] == '/')
    return name.size() > 1 && name.back() == '/' ? name.substr(0, name.size() - 1) : name;
  return (folder_ == "/" ? "/" : folder_ + "/") + name;
}

bool MemorySite::HasChildren(const std::string& path) const {
  const std::string prefix = path == "/" ? "/" : path + "/";
  const auto next = nodes_.upper_bound(prefix);
  return next != nodes_.end() && next->first.rfind(prefix, 0) == 0;
}

Outcome MemorySite::Refuse(const std::string& reply) { return Answer(reply); }

Outcome MemorySite::Connect() {
  const Outcome connected = FakeSiteConnection::Connect();
  folder_ = working_folder;
  return connected;
}

Outcome MemorySite::ChangeFolder(const std::string& folder) {
  if (Outcome scripted = FakeSiteConnection::ChangeFolder(folder); !scripted) return scripted;
  if (!HasFolder(PathOf(folder))) return Refuse("550 " + folder + ": No such directory");
  folder_ = PathOf(folder);
  return Outcome();
}

Outcome MemorySite::ParentFolder() {
  if (Outcome scripted = FakeSiteConnection::ParentFolder(); !scripted) return scripted;
  folder_ = Parent(folder_);
  return Outcome();
}

Outcome MemorySite::MakeFolder(const std::string& name) {
  if (Outcome scripted = FakeSiteConnection::MakeFolder(name); !scripted) return scripted;
  const std::string path = PathOf(name);
  if (nodes_.count(path)) return Refuse("550 " + name + ": File exists");
  if (!HasFolder(Parent(path))) return Refuse("550 " + name + ": No such directory");
  nodes_[path].folder = true;
  return Outcome();
}

Outcome MemorySite::RemoveFolder(const std::string& name) {
  if (Outcome scripted = FakeSiteConnection::RemoveFolder(name); !scripted) return scripted;
  const std::string path = PathOf(name);
  if (!HasFolder(path) || HasChildren(path)) return Refuse("550 " + name + ": Directory not empty");
  nodes_.erase(path);
  return Outcome();
}

Outcome MemorySite::RemoveFile(const std::string& name) {
  if (Outcome scripted = FakeSiteConnection::RemoveFile(name); !scripted) return scripted;
  if (!HasFile(PathOf(name))) return Refuse("550 " + name + ": No such file");
  nodes_.erase(PathOf(name));
  return Outcome();
}

Outcome MemorySite::Rename(const std::string& from, const std::string& to) {
  refused_half_ = RenameRefusal::Source;
  if (Outcome scripted = FakeSiteConnection::Rename(from, to); !scripted) return scripted;
  if (!renames) return Refuse("502 Command not implemented");
  if (!HasFile(PathOf(from))) return Refuse("550 " + from + ": No such file");
  refused_half_ = RenameRefusal::Target;
  if (HasFile(PathOf(to)) && !renames_onto_names) return Refuse("553 Rename: target exists");
  refused_half_ = RenameRefusal::None;
  nodes_[PathOf(to)] = nodes_[PathOf(from)];
  nodes_.erase(PathOf(from));
  return Outcome();
}

Outcome MemorySite::Send(const std::string& name, const std::string& local_file, DataStream* source) {
  sent_ = 0;
  if (Outcome scripted = FakeSiteConnection::Send(name, local_file, source); !scripted) return scripted;
  std::string data;
  if (source) {
    char block[4096];
    for (std::int64_t n; (n = source->Read(block, sizeof block)) > 0;) data.append(block, static_cast<size_t>(n));
  } else {
    std::ifstream in(local_file, std::ios::binary);
    if (!in) return Refuse("426 Cannot read " + local_file);
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (!HasFolder(Parent(PathOf(name)))) return Refuse("553 " + name + ": No such directory");
  sent_ = static_cast<std::int64_t>(data.size());
  nodes_[PathOf(name)] = Node{false, std::move(data), clock()};
  return Answer("");
}

Outcome MemorySite::Receive(const std::string& name, DataStream& sink) {
  if (Outcome scripted = FakeSiteConnection::Receive(name, sink); !scripted) return scripted;
  const auto found = nodes_.find(PathOf(name));
  if (found == nodes_.end() || found->second.folder) return Refuse("550 " + name + ": No such file");
  const std::string& data = found->second.data;
  if (!sink.Write(data.data(), static_cast<std::int64_t>(data.size()))) {
    return {Outcome::Kind::LocalFailure, "Cannot keep the data received"};
  }
  return Answer("");
}

RemoteEntry MemorySite::EntryOf(const std::string& name, const Node& node, Listing kind) const {
  RemoteEntry entry;
  entry.name = name;
  if (kind == Listing::Names) return entry;
  entry.kind = node.folder ? RemoteEntry::Kind::Folder : RemoteEntry::Kind::File;
  entry.size = node.folder ? 4096 : static_cast<std::int64_t>(node.data.size());
  std::tm utc{};
  ::gmtime_r(&node.modified, &utc);
  entry.time = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour,        utc.tm_min,     kind == Listing::Facts ? utc.tm_sec : 0};
  entry.precision = kind == Listing::Facts ? RemoteEntry::Precision::Second : RemoteEntry::Precision::Minute;
  entry.utc = kind == Listing::Facts;
  char line[64];
  std::snprintf(line, sizeof line, "%crw-r--r-- 1 u g %lld %04d-%02d-%02d %02d:%02d ", node.folder ? 'd' : '-',
                static_cast<long long>(entry.size), entry.time.year, entry.time.month, entry.time.day, entry.time.hour,
                entry.time.minute);
  entry.line = line + name;
  return entry;
}

// A folder lists its entries; a file, itself; anything else, nothing.
Outcome MemorySite::List(Listing kind, const std::string& what, RemoteListing& into) {
  if (Outcome scripted = FakeSiteConnection::List(kind, what, into); !scripted) return scripted;
  into = RemoteListing();
  const std::string path = what.empty() ? folder_ : PathOf(what);
  if (HasFile(path)) {
    into.entries.push_back(EntryOf(what, nodes_.at(path), kind));
  } else if (HasFolder(path)) {
    const std::string prefix = path == "/" ? "/" : path + "/";
    for (auto it = nodes_.upper_bound(prefix); it != nodes_.end() && it->first.rfind(prefix, 0) == 0; ++it) {
      const std::string name = it->first.substr(prefix.size());
      if (name.find('/') == std::string::npos) into.entries.push_back(EntryOf(name, it->second, kind));
    }
  }
  for (const RemoteEntry& entry : into.entries) into.lines.push_back(entry.line.empty() ? entry.name : entry.line);
  into.reply = "226 Transfer complete";
  return Answer("");
}

}  // namespace kestova::testing

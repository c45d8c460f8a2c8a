#include "support/listed_tree.h"

namespace kestova::testing {

ListedTree::ListedTree(ScriptedFtpServer& server) {
  for (const char* word : {"CWD", "CDUP", "DELE", "RMD", "MKD"}) {
    server.On(word, [this, word](ScriptedSession& s, const std::string& argument) { Act(s, word, argument); });
  }
  for (const char* word : {"LIST", "NLST"}) {
    server.On(word, [this, word](ScriptedSession& s, const std::string&) { List(s, word); });
  }
  server.On("PWD", [this](ScriptedSession& s, const std::string&) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string reply = "257 \"";
    reply += cwd_;
    reply += "\" is the current directory";
    s.Reply(reply);
  });
  server.On("USER", [this](ScriptedSession& s, const std::string&) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cwd_.assign(1, '/');
    }
    s.Reply("331 Password please");
  });
}

void ListedTree::SetFolder(const std::string& path, const std::string& listing, const std::string& names) {
  std::lock_guard<std::mutex> lock(mutex_);
  folders_[path] = {listing, names};
}

void ListedTree::SetDefault(const std::string& listing, const std::string& names) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = {listing, names};
}

void ListedTree::Refuse(const std::string& word, const std::string& path, const std::string& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  refused_[word + " " + path] = reply;
}

std::vector<std::string> ListedTree::Touched() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return touched_;
}

std::string ListedTree::Resolve(const std::string& cwd, const std::string& path) {
  std::vector<std::string> parts;
  const std::string full = !path.empty() && path[0] == '/' ? path : cwd + "/" + path;
  size_t start = 0;
  while (start <= full.size()) {
    const size_t end = std::min(full.find('/', start), full.size());
    const std::string part = full.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string resolved;
  for (const std::string& part : parts) resolved += "/" + part;
  return resolved.empty() ? "/" : resolved;
}

void ListedTree::Act(ScriptedSession& session, const std::string& word, const std::string& argument) {
  std::string reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string path = Resolve(cwd_, word == "CDUP" ? ".." : argument);
    touched_.push_back(word + " " + path);
    if (const auto found = refused_.find(word + " " + path); found != refused_.end()) {
      reply = found->second;
    } else {
      if (word == "CWD" || word == "CDUP") cwd_ = path;
      reply = word == "MKD" ? "257 \"" + path + "\" created" : "250 Done";
    }
  }
  session.Reply(reply);
}

void ListedTree::List(ScriptedSession& session, const std::string& word) {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = folders_.find(cwd_);
    const auto& [listing, names] = found == folders_.end() ? default_ : found->second;
    text = word == "LIST" ? listing : names;
  }
  session.Reply("150 Here it comes");
  if (!session.OpenData()) return session.Reply("425 No data connection");
  session.SendData(text);
  session.CloseData();
  session.Reply("226 Done");
}

}  // namespace kestova::testing

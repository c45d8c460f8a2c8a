// A remote tree for the scripted server, made of listings a test writes by
// hand, hostile ones included. It keeps the session's working directory and
// records every path the client acted on, resolved as a Unix server would
// resolve it, so that a test can tell whether a run ever left a folder.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/scripted_ftp_server.h"

namespace kestova::testing {

class ListedTree {
 public:
  // Installs itself for CWD, CDUP, PWD, LIST, NLST, DELE, RMD and MKD.
  explicit ListedTree(ScriptedFtpServer& server);

  // The LIST reply and the NLST names of a folder (an absolute path); a
  // folder without its own gets the default ones.
  void SetFolder(const std::string& path, const std::string& listing, const std::string& names);
  void SetDefault(const std::string& listing, const std::string& names);
  // The reply to a command word on a path, instead of success.
  void Refuse(const std::string& word, const std::string& path, const std::string& reply);

  // "WORD /resolved/path" for every CWD, DELE, RMD and MKD received.
  std::vector<std::string> Touched() const;
  // "/a/b/../c" as "/a/c"; ".." never climbs above "/".
  static std::string Resolve(const std::string& cwd, const std::string& path);

 private:
  void Act(ScriptedSession& session, const std::string& word, const std::string& argument);
  void List(ScriptedSession& session, const std::string& word);

  mutable std::mutex mutex_;
  std::string cwd_ = "/";
  std::map<std::string, std::pair<std::string, std::string>> folders_;
  std::pair<std::string, std::string> default_;
  std::map<std::string, std::string> refused_;
  std::vector<std::string> touched_;
};

}  // namespace kestova::testing

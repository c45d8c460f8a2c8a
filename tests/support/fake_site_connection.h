// A site connection without a server, for the executor's tests: each
// connect and each operation answers from a script, and every call is
// recorded.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "common/text_helpers.h"
#include "site/site_connection.h"

namespace kestova::testing {

class FakeSiteConnection : public SiteConnection {
 public:
  // The answer of each Connect in turn: "" logs in, anything else is the
  // refusal (a 530 leaves the connection open, as a real server does). The
  // last answer repeats.
  std::deque<std::string> logins{""};
  enum class Operation { Cwd, CDup, Mkd, Rmd, Dele, Rename, Type, Send, Receive, List, Feat };
  // The answers of an operation in turn: "" succeeds, anything else is the
  // failure line. The last answer repeats; operations not named succeed.
  std::map<Operation, std::deque<std::string>> answers;
  // Every call: "Connect", "Quit", "Drop", or the call with what it names
  // ("Cwd /www", "Dele x").
  std::vector<std::string> calls;

  std::string HostName() const override { return "ftp.test"; }
  bool Connected() const override { return connected_; }
  Outcome Connect() override {
    calls.push_back("Connect");
    const std::string answer = Next(logins);
    connected_ = answer.empty() || answer.rfind("530", 0) == 0;
    return Answer(answer);
  }
  Outcome Quit() override {
    calls.push_back("Quit");
    const bool was = connected_;
    connected_ = false;
    return Answer(was ? "" : "500 Not sent: the control connection is closed");
  }
  void Drop() override {
    calls.push_back("Drop");
    connected_ = false;
  }
  void Interrupt() override { calls.push_back("Interrupt"); }
  Outcome ChangeFolder(const std::string& folder) override { return Call(Operation::Cwd, "Cwd " + folder); }
  Outcome ParentFolder() override { return Call(Operation::CDup, "CDup"); }
  Outcome MakeFolder(const std::string& name) override { return Call(Operation::Mkd, "Mkd " + name); }
  Outcome RemoveFolder(const std::string& name) override { return Call(Operation::Rmd, "Rmd " + name); }
  Outcome RemoveFile(const std::string& name) override { return Call(Operation::Dele, "Dele " + name); }
  Outcome Rename(const std::string& from, const std::string& to) override {
    return Call(Operation::Rename, "Rename " + from + " " + to);
  }
  RenameRefusal RefusedHalf() const override { return RenameRefusal::Target; }
  Outcome SetBinary(bool binary) override {
    binary_ = binary;
    return Call(Operation::Type, binary ? "TypeBinary" : "TypeAscii");
  }
  Outcome Send(const std::string& name, const std::string&, DataStream*) override {
    return Call(Operation::Send, "Send " + name);
  }
  Outcome Receive(const std::string& name, DataStream&) override { return Call(Operation::Receive, "Receive " + name); }
  // What a listing gives, by what it lists ("" for the current folder).
  std::map<std::string, RemoteListing> listings;
  Outcome List(Listing, const std::string& what, RemoteListing& into) override {
    const auto found = listings.find(what);
    into = found == listings.end() ? RemoteListing() : found->second;
    return Call(Operation::List, "List " + what);
  }
  void StartRun(int, int) override {}
  Outcome AskFeatures() override { return Call(Operation::Feat, "Feat"); }
  std::unique_ptr<DataStream> OpenForUpload(const std::string& name, std::string& why) override {
    return FileStream::OpenRead(name, FtpShareMode::ftpShareExclusive, &why);
  }
  const std::string& LastReply() const override { return reply_; }
  bool DataCertificateRefused() const override { return false; }
  // The rules of an FTP server's words, as the FTP connection reads them.
  Refusal ConnectRefusal() const override {
    const std::string text = FoldCase(error_);
    return error_.rfind("530", 0) == 0 && text.find("too many") == std::string::npos ? Refusal::LoginRefused
                                                                                     : Refusal::None;
  }
  std::string SystemReason() const override { return std::string(); }
  bool TooManyConnections() const override {
    return FoldCase(reply_).find("too many connections") != std::string::npos;
  }
  // The login folder, as PWD would name it.
  std::string working_folder = "/home/user";
  std::optional<std::string> WorkingFolder() override {
    calls.push_back("Pwd");
    return working_folder;
  }
  bool ListsFacts() const override { return false; }
  bool TimesInUtc() const override { return false; }
  bool HasTextMode() const override { return true; }
  std::string Endpoint() const override { return "ftp.test port 21"; }
  bool Encrypted() const override { return false; }
  std::string Proxy() const override { return std::string(); }
  std::string SessionLine() const override { return std::string(); }
  void WatchTransfers(std::function<void(std::int64_t)>) override {}
  CertificateCheck Certificate() const override { return CertificateCheck(); }
  bool Binary() const override { return binary_; }
  std::int64_t TransferCount() const override { return 0; }

 protected:
  static std::string Next(std::deque<std::string>& script) {
    if (script.empty()) return std::string();
    const std::string answer = script.front();
    if (script.size() > 1) script.pop_front();
    return answer;
  }
  Outcome Call(Operation operation, const std::string& call) {
    calls.push_back(call);
    const auto found = answers.find(operation);
    return Answer(found == answers.end() ? std::string() : Next(found->second));
  }
  Outcome Answer(const std::string& failure) {
    reply_ = failure.empty() ? "250 OK" : failure;
    error_ = failure;
    if (failure.empty()) return Outcome();
    return {connected_ ? Outcome::Kind::Refused : Outcome::Kind::ConnectionLost, failure};
  }

  bool connected_ = false;
  bool binary_ = true;
  std::string reply_, error_;
};

}  // namespace kestova::testing

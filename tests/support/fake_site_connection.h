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
  // The answers of an operation in turn: "" succeeds, anything else is the
  // failure line. The last answer repeats; operations not named succeed.
  std::map<Operation, std::deque<std::string>> answers;
  // Every call: "Connect", "Quit", "Drop", or the operation with its operand
  // ("Cwd /www", "Dele x").
  std::vector<std::string> calls;

  std::string HostName() const override { return "ftp.test"; }
  bool Connected() const override { return connected_; }
  bool Connect() override {
    calls.push_back("Connect");
    const std::string answer = Next(logins);
    connected_ = answer.empty() || answer.rfind("530", 0) == 0;
    return Answer(answer);
  }
  bool Quit() override {
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
  bool Run(Operation operation) override {
    static const char* const kNames[] = {"Put", "Mkd",  "Rmd", "Cwd",  "Dele", "TypeBinary", "TypeAscii", "Ls",
                                         "Dir", "CDup", "Pwd", "Rnfr", "Rnto", "Feat",       "Mlsd"};
    const bool on_dir = operation == Operation::Cwd;
    calls.push_back(std::string(kNames[static_cast<int>(operation)]) + " " + (on_dir ? dir_ : file_));
    if (operation == Operation::TypeBinary || operation == Operation::TypeAscii) {
      binary_ = operation == Operation::TypeBinary;
    }
    const auto found = answers.find(operation);
    return Answer(found == answers.end() ? std::string() : Next(found->second));
  }
  const std::string& HostFileName() const override { return file_; }
  void SetHostFileName(const std::string& name) override { file_ = name; }
  const std::string& HostDirName() const override { return dir_; }
  void SetHostDirName(const std::string& name) override { dir_ = name; }
  void SetRenameTarget(const std::string& name) override { rename_target = name; }
  std::string rename_target;
  const std::string& LocalFileName() const override { return local_; }
  void SetLocalFileName(const std::string& name) override { local_ = name; }
  DataStream* LocalStream() const override { return stream_; }
  void SetLocalStream(DataStream* stream) override { stream_ = stream; }
  std::unique_ptr<DataStream> OpenForUpload(const std::string& name, std::string& why) override {
    return FileStream::OpenRead(name, FtpShareMode::ftpShareExclusive, &why);
  }
  const std::string& LastReply() const override { return reply_; }
  const std::string& ErrorMessage() const override { return error_; }
  std::string FailureText() const override { return error_.empty() ? reply_ : error_; }
  bool LocalFailure() const override { return false; }
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
  std::string WorkingFolder() override {
    calls.push_back("Pwd");
    return working_folder;
  }
  bool ListsFacts() const override { return false; }
  std::string Endpoint() const override { return "ftp.test port 21"; }
  bool Encrypted() const override { return false; }
  std::string Proxy() const override { return std::string(); }
  std::string SecuritySummary() const override { return std::string(); }
  void WatchUploads(std::function<void(std::int64_t)>) override {}
  CertificateCheck Certificate() const override { return CertificateCheck(); }
  bool Binary() const override { return binary_; }
  std::int64_t TransferCount() const override { return 0; }

 private:
  static std::string Next(std::deque<std::string>& script) {
    if (script.empty()) return std::string();
    const std::string answer = script.front();
    if (script.size() > 1) script.pop_front();
    return answer;
  }
  bool Answer(const std::string& failure) {
    reply_ = failure.empty() ? "250 OK" : failure;
    error_ = failure;
    return failure.empty();
  }

  bool connected_ = false;
  bool binary_ = true;
  std::string file_, dir_, local_, reply_, error_;
  DataStream* stream_ = nullptr;
};

}  // namespace kestova::testing

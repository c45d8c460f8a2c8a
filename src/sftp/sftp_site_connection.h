// The site connection over SFTP: the run's calls become SFTP requests on a
// session over ssh. SFTP has no current folder, so the connection keeps
// one and names every path whole; it lists with facts (sizes, UTC times to
// the second), sends byte for byte, and replaces a file by renaming over it
// where the server allows.
#pragma once

#include <memory>

#include "sftp/sftp_session.h"
#include "site/site_connection.h"
#include "site/site_settings.h"

namespace kestova {

class SftpSiteConnection : public SiteConnection {
 public:
  explicit SftpSiteConnection(const SiteSettings& site);
  // The program ssh runs to be given the password: this program by default
  // (the kestova file beside the running one).
  void SetAskpassProgram(const std::string& path) { askpass_program_ = path; }
  // The same for every connection that is not given one (a program that
  // links the windows without being Kestova, such as their tests).
  static void SetDefaultAskpassProgram(const std::string& path);

  std::string HostName() const override { return site_.HostName; }
  std::string Endpoint() const override;
  bool Encrypted() const override { return false; }
  std::string Proxy() const override { return std::string(); }
  bool Connected() const override { return session_.Connected(); }
  Outcome Connect() override;
  Outcome Quit() override;
  void Drop() override { session_.Close(); }
  void Interrupt() override { session_.Interrupt(); }
  Outcome ChangeFolder(const std::string& folder) override;
  Outcome ParentFolder() override;
  Outcome MakeFolder(const std::string& name) override;
  Outcome RemoveFolder(const std::string& name) override;
  Outcome RemoveFile(const std::string& name) override;
  Outcome Rename(const std::string& from, const std::string& to) override;
  RenameRefusal RefusedHalf() const override { return refused_half_; }
  Outcome SetBinary(bool) override { return Outcome(); }
  Outcome Send(const std::string& name, const std::string& local_file, DataStream* source) override;
  Outcome Receive(const std::string& name, DataStream& sink) override;
  Outcome List(Listing kind, const std::string& what, RemoteListing& into) override;
  void StartRun(int, int) override {}
  Outcome AskFeatures() override { return Outcome(); }
  std::optional<std::string> WorkingFolder() override;
  std::unique_ptr<DataStream> OpenForUpload(const std::string& name, std::string& why) override;
  const std::string& LastReply() const override { return reply_; }
  bool DataCertificateRefused() const override { return false; }
  Refusal ConnectRefusal() const override { return refusal_; }
  std::string RefusedHostKey() const override;
  std::string SystemReason() const override { return std::string(); }
  bool TooManyConnections() const override { return false; }
  bool ListsFacts() const override { return true; }
  bool TimesInUtc() const override { return true; }
  bool HasTextMode() const override { return false; }
  bool Binary() const override { return true; }
  std::string SessionLine() const override;
  CertificateCheck Certificate() const override { return CertificateCheck(); }
  std::int64_t TransferCount() const override { return sent_; }
  void WatchTransfers(std::function<void(std::int64_t bytes)> watcher) override { watcher_ = std::move(watcher); }

 private:
  // The whole path of a name in the current folder, or a path as given.
  std::string PathOf(const std::string& name) const;
  // What a call's status comes to; its words become the reply.
  Outcome Result(std::uint32_t status, const std::string& done_reply = "OK");

  SiteSettings site_;
  SftpSession session_;
  std::string folder_;
  std::string reply_;
  Refusal refusal_ = Refusal::None;
  RenameRefusal refused_half_ = RenameRefusal::None;
  std::int64_t sent_ = 0;
  std::function<void(std::int64_t)> watcher_;
  std::string askpass_program_;
};

}  // namespace kestova

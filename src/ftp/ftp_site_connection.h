// The site connection over FTP and FTPS: the run's operations go to an
// FtpClient set up from the site's settings, and the client's replies are
// read here into the typed answers the engine asks for.
#pragma once

#include <memory>

#include "ftp/ftp_client.h"
#include "site/site_connection.h"
#include "site/site_settings.h"

namespace kestova {

// Sets the client's host, login, proxy, passive mode and security from the
// site's settings, and its transfer tuning from the method: 64 KiB blocks
// and no close pause for the modern one.
void ApplySiteSettings(FtpClient& client, const SiteSettings& site);

class FtpSiteConnection : public SiteConnection {
 public:
  // A client of its own, made from the site's settings.
  explicit FtpSiteConnection(const SiteSettings& site);
  // A client the caller owns and has set up (the tests tune its time limits).
  explicit FtpSiteConnection(FtpClient& client) : client_(client) {}

  FtpClient& Client() { return client_; }

  std::string HostName() const override;
  std::string Endpoint() const override;
  bool Encrypted() const override;
  std::string Proxy() const override;
  bool Connected() const override;
  Outcome Connect() override;
  Outcome Quit() override;
  void Drop() override;
  void Interrupt() override;
  Outcome ChangeFolder(const std::string& folder) override;
  Outcome ParentFolder() override;
  Outcome MakeFolder(const std::string& name) override;
  Outcome RemoveFolder(const std::string& name) override;
  Outcome RemoveFile(const std::string& name) override;
  Outcome Rename(const std::string& from, const std::string& to) override;
  RenameRefusal RefusedHalf() const override { return refused_half_; }
  Outcome SetBinary(bool binary) override;
  Outcome Send(const std::string& name, const std::string& local_file, DataStream* source) override;
  Outcome Receive(const std::string& name, DataStream& sink) override;
  Outcome List(Listing kind, const std::string& what, RemoteListing& into) override;
  void StartRun(int year, int month) override { name_column_ = -1, run_year_ = year, run_month_ = month; }
  // The field where the names of LIST lines begin, once learnt; -1 before.
  int NameColumn() const { return name_column_; }
  Outcome AskFeatures() override;
  std::optional<std::string> WorkingFolder() override;
  std::unique_ptr<DataStream> OpenForUpload(const std::string& name, std::string& why) override;
  const std::string& LastReply() const override;
  bool DataCertificateRefused() const override;
  Refusal ConnectRefusal() const override;
  std::string SystemReason() const override;
  bool TooManyConnections() const override;
  bool ListsFacts() const override;
  bool TimesInUtc() const override { return false; }
  bool HasTextMode() const override { return true; }
  bool Binary() const override;
  std::string SessionLine() const override;
  CertificateCheck Certificate() const override;
  std::int64_t TransferCount() const override;
  void WatchTransfers(std::function<void(std::int64_t bytes)> watcher) override;

 private:
  // Each call starts with nothing failed on this side.
  FtpClient& Begin();
  // What the client's last operation came to.
  Outcome Result(bool done) const;
  // The reply of the listing command just sent, split into lines.
  bool ListLines(bool listed, MemoryStream& stream, RemoteListing& into);
  // Learns where LIST lines put the names by listing the current folder
  // both ways; false when a listing failed.
  bool LearnNameColumn();

  std::unique_ptr<FtpClient> own_client_;
  FtpClient& client_;
  RenameRefusal refused_half_ = RenameRefusal::None;
  // The folder the session is in, as the last change of folder named it.
  std::string folder_;
  int name_column_ = -1;
  int run_year_ = 1980;
  int run_month_ = 1;
};

}  // namespace kestova

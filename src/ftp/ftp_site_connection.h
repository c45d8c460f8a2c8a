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
  bool Connect() override;
  bool Quit() override;
  void Drop() override;
  void Interrupt() override;
  bool Run(Operation operation) override;
  const std::string& HostFileName() const override;
  void SetHostFileName(const std::string& name) override;
  const std::string& HostDirName() const override;
  void SetHostDirName(const std::string& name) override;
  void SetRenameTarget(const std::string& name) override;
  const std::string& LocalFileName() const override;
  void SetLocalFileName(const std::string& name) override;
  DataStream* LocalStream() const override;
  void SetLocalStream(DataStream* stream) override;
  std::unique_ptr<DataStream> OpenForUpload(const std::string& name, std::string& why) override;
  const std::string& LastReply() const override;
  const std::string& ErrorMessage() const override;
  std::string FailureText() const override;
  bool LocalFailure() const override;
  bool DataCertificateRefused() const override;
  Refusal ConnectRefusal() const override;
  std::string SystemReason() const override;
  bool TooManyConnections() const override;
  std::string WorkingFolder() override;
  bool ListsFacts() const override;
  bool Binary() const override;
  std::string SecuritySummary() const override;
  CertificateCheck Certificate() const override;
  std::int64_t TransferCount() const override;
  void WatchUploads(std::function<void(std::int64_t bytes)> watcher) override;

 private:
  std::unique_ptr<FtpClient> own_client_;
  FtpClient& client_;
};

}  // namespace kestova

// The FTP client as the rest of the program sees it. For now it holds the
// connection settings that a site profile fills; the protocol machinery grows
// under this same face.
#pragma once

#include <string>

namespace kestova {

enum class FtpConnectionType { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };

class FtpClient {
 public:
  FtpClient() = default;
  virtual ~FtpClient() = default;
  FtpClient(const FtpClient&) = delete;
  FtpClient& operator=(const FtpClient&) = delete;

  // Connection settings, filled from the site profile.
  std::string HostName;
  std::string Port = "ftp";
  std::string UserName;
  std::string PassWord;
  std::string ProxyServer;
  std::string ProxyPort = "ftp";
  int Timeout = 15;

  FtpConnectionType ConnectionType() const { return connection_type_; }
  // Every type but a direct connection needs passive data connections, so
  // choosing one turns passive mode on; going back to direct leaves it on
  // until it is set again.
  void SetConnectionType(FtpConnectionType type);

  bool Passive() const { return passive_; }
  // Takes the value only for direct connections; stores true otherwise.
  void SetPassive(bool passive);

 private:
  FtpConnectionType connection_type_ = FtpConnectionType::ftpDirect;
  bool passive_ = false;
};

// The class of the two site clients the loaded profile owns; it adds nothing
// to FtpClient.
class FtpController : public FtpClient {};

}  // namespace kestova

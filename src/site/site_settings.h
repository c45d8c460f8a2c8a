// How to reach one site, as plain values: what a profile stores for each of
// its two sites and what a run makes its connection from. Nothing here
// connects; the transport reads these when the run opens the site.
#pragma once

#include <string>
#include <vector>

namespace kestova {

// How a site's transfers are made; the numbers are the ones stored in
// profiles. Classic is the program's first behaviour, kept exactly: 1460-byte
// blocks and a 100 ms pause before an upload's data connection closes.
// Modern sends 64 KiB blocks and closes as soon as the last byte has been
// handed to the system (after close_notify over TLS); the run then also
// lists each folder once and replaces files under a temporary name.
enum class TransferMethod { Classic = 0, Modern = 1 };

// FTP's security modes; the numbers are the ones stored in profiles.
enum class FtpSecurity {
  Plain = 0,     // FTP as it always was: nothing is encrypted
  Explicit = 1,  // AUTH TLS after the greeting, required; no fallback to plain
  Implicit = 2,  // TLS from the first byte (port 990 by custom)
};

// How a site is reached; the numbers are the ones stored in profiles.
enum class SiteProtocol { Ftp = 0, Sftp = 1 };

struct SiteSettings {
  SiteProtocol Protocol = SiteProtocol::Ftp;
  std::string HostName;
  std::string Port = "ftp";
  std::string UserName;
  std::string PassWord;
  // The FTP proxy the site goes through, and its port; no proxy when empty.
  std::string ProxyServer;
  std::string ProxyPort = "ftp";
  FtpSecurity Security = FtpSecurity::Plain;
  // The fingerprint of a certificate the user trusts for this site even
  // though its chain does not verify; empty for none.
  std::string TrustedFingerprint;
  TransferMethod Method = TransferMethod::Classic;
  // SFTP: a private key to offer; empty for the agent and ssh's defaults.
  std::string KeyFile;
  // SFTP: known_hosts files checked beside the user's own.
  std::vector<std::string> KnownHosts;

  // The method a run of this site works by: SFTP always works the modern
  // way (one listing per folder, a temporary name then a rename).
  bool Modern() const { return Method == TransferMethod::Modern || Protocol == SiteProtocol::Sftp; }

  // Passive data connections. A site that went through a proxy keeps them
  // on, as the client that connected through it does: a later setting of
  // off is taken as on until a run goes direct again.
  bool Passive() const { return passive_; }
  void SetPassive(bool passive) { passive_ = through_proxy_ ? true : passive; }
  // Said before each connection: whether it goes through the proxy.
  void SetThroughProxy(bool through_proxy) {
    through_proxy_ = through_proxy;
    if (through_proxy) passive_ = true;
  }
  bool ThroughProxy() const { return through_proxy_; }

 private:
  bool passive_ = false;
  bool through_proxy_ = false;
};

}  // namespace kestova

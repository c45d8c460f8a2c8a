// Real FTP servers (pyftpdlib, vsftpd, proftpd) and an FTP proxy started on
// free loopback ports for the tests, each in its own process group, stopped
// when the object goes; with FTP over TLS when asked, on certificates made
// once per test program with the openssl command.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace kestova::testing {

// A process started in its own group; the group is killed on destruction.
class ChildProcess {
 public:
  // Starts argv; when `first_line` is given, waits up to 10 s for the first
  // line of its standard output and stores it there.
  // `environment` adds NAME=VALUE entries to the child's environment.
  static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv, std::string* first_line = nullptr,
                                             const std::vector<std::string>& environment = {});
  ~ChildProcess();
  pid_t Pid() const { return pid_; }
  bool Running();

 private:
  pid_t pid_ = -1;
};

struct TestCertificate {
  std::string cert, key;    // PEM files
  std::string fingerprint;  // SHA-256, "AB:CD:..." as openssl prints it
};

// A small CA, a certificate it signed for 127.0.0.1 and localhost, and a
// self-signed one for the same names (the "changed" certificate).
struct TestCertificates {
  std::string ca;  // the CA's certificate: point SSL_CERT_FILE here to make `signed_by_ca` verify
  TestCertificate signed_by_ca;
  TestCertificate self_signed;
  // Made on first use; nullptr, with the reason, when openssl failed.
  static const TestCertificates* Get(std::string& why);
};

enum class ServerTls { None, Explicit, Implicit };

struct FtpServerOptions {
  int max_connections_per_ip = 0;
  // pyftpdlib and vsftpd: listen on ::1 instead of 127.0.0.1.
  bool ipv6 = false;
  // A file that gets every command the server receives.
  std::string protocol_log;
  // pyftpdlib speaks explicit TLS only.
  ServerTls tls = ServerTls::None;
  // The self-signed certificate instead of the CA-signed one.
  bool self_signed = false;
  // pyftpdlib: data connections present the other of the two certificates.
  bool other_data_certificate = false;
  // Listings in the local time of this zone (a POSIX TZ string such as
  // "XST-9", nine hours ahead of UTC, which needs no zone files inside a
  // chroot) instead of UTC.
  std::string time_zone;
};

class FtpServerFixture {
 public:
  enum class Kind { Pyftpdlib, Vsftpd, Proftpd };
  static const char* Name(Kind kind) {
    return kind == Kind::Pyftpdlib ? "pyftpdlib" : kind == Kind::Vsftpd ? "vsftpd" : "proftpd";
  }

  // Starts a server serving `root` (created if missing). On failure returns
  // nullptr and says why in `why` (a test then fails with that reason).
  static std::unique_ptr<FtpServerFixture> Start(Kind kind, const std::string& root, std::string& why,
                                                 const FtpServerOptions& options = FtpServerOptions());

  ~FtpServerFixture();
  const std::string& Port() const { return port_; }
  const std::string& User() const { return user_; }
  const std::string& Password() const { return password_; }
  const std::string& Root() const { return root_; }
  Kind ServerKind() const { return kind_; }
  // Hands files a test put below the root to the server's user, so that the
  // server may change them.
  void Own();
  // vsftpd and proftpd: the passive ports the server hands out.
  int FirstPassivePort() const { return pasv_base_; }
  int LastPassivePort() const { return pasv_base_ ? pasv_base_ + 49 : 0; }
  // The certificate served, when TLS is on.
  const TestCertificate* Certificate() const { return certificate_; }
  // Stops the server now (to test what a client sees when it goes away).
  void Stop() { process_.reset(); }

 private:
  Kind kind_ = Kind::Pyftpdlib;
  bool StartPyftpdlib(const FtpServerOptions& options, std::string& why);
  bool StartVsftpd(const FtpServerOptions& options, std::string& why);
  bool StartProftpd(const FtpServerOptions& options, std::string& why);

  std::string port_, user_, password_, root_, config_dir_;
  const TestCertificate* certificate_ = nullptr;
  int pasv_base_ = 0;
  std::unique_ptr<ChildProcess> process_;
};

// ftp-proxy on a free loopback port; clients log in as user@host:port.
class FtpProxyFixture {
 public:
  static std::unique_ptr<FtpProxyFixture> Start(std::string& why);
  ~FtpProxyFixture();
  const std::string& Port() const { return port_; }

 private:
  std::string port_, dir_;
  std::unique_ptr<ChildProcess> process_;
};

// An SFTP server on a free loopback port with its own configuration and
// ED25519 host key, serving the tests' local user, who starts in `root`:
// the start directory "www" is root/www. The user logs in with the password
// or with the client key the fixture made. OpenSSH's sshd runs
// internal-sftp without a chroot, so the server shows root's own path;
// proftpd's mod_sftp locks the user into root, which it shows as "/".
class SshServerFixture {
 public:
  enum class Kind { OpenSsh, Proftpd };
  // `denied`: SFTP requests sshd's internal-sftp refuses although it offers
  // them ("posix-rename", say).
  static std::unique_ptr<SshServerFixture> Start(const std::string& root, std::string& why, Kind kind = Kind::OpenSsh,
                                                 const std::string& denied = std::string());
  ~SshServerFixture();
  Kind Which() const { return kind_; }
  const std::string& Port() const { return port_; }
  const std::string& User() const { return user_; }
  const std::string& Password() const { return password_; }
  const std::string& Root() const { return root_; }
  // The path the server shows for `relative` below the root.
  std::string Shown(const std::string& relative) const;
  // The private key of a client the server lets in.
  const std::string& ClientKey() const { return client_key_; }
  // A known_hosts file that holds the server's host key.
  const std::string& KnownHosts() const { return known_hosts_; }
  // Writes a known_hosts file at `file` that holds the server's key for
  // host:port (a relay in front of it); its path.
  std::string KnownHostsAt(const std::string& host, const std::string& port, const std::string& file) const;
  // The host key's SHA-256 fingerprint, "SHA256:..." as ssh prints it.
  const std::string& Fingerprint() const { return fingerprint_; }
  // Hands files a test put below the root to the server's user.
  void Own();
  void Stop() { process_.reset(); }

 private:
  bool StartSshd(int port, const std::string& host_key, const std::string& denied, std::string& why);
  bool StartProftpd(int port, const std::string& host_key, std::string& why);

  Kind kind_ = Kind::OpenSsh;
  std::string port_, user_, password_, root_, dir_, client_key_, known_hosts_, fingerprint_;
  std::unique_ptr<ChildProcess> process_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();
// Waits up to `ms` until something accepts connections on 127.0.0.1:port.
// On ::1 instead of 127.0.0.1 with `ipv6`.
bool WaitForListener(int port, int ms = 10000, bool ipv6 = false);

}  // namespace kestova::testing

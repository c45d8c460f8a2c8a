// Real FTP servers and an FTP proxy started on free loopback ports for the
// tests, each in its own process group, stopped when the object goes.
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
  static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv, std::string* first_line = nullptr);
  ~ChildProcess();
  pid_t Pid() const { return pid_; }
  bool Running();

 private:
  pid_t pid_ = -1;
};

class FtpServerFixture {
 public:
  enum class Kind { Pyftpdlib, Vsftpd };
  static const char* Name(Kind kind) { return kind == Kind::Pyftpdlib ? "pyftpdlib" : "vsftpd"; }

  // Starts a server serving `root` (created if missing). On failure returns
  // nullptr and says why in `why` (a test then fails with that reason).
  // `protocol_log` (vsftpd only) names a file that gets every command the
  // server receives.
  static std::unique_ptr<FtpServerFixture> Start(Kind kind, const std::string& root, std::string& why,
                                                 int max_connections_per_ip = 0,
                                                 const std::string& protocol_log = std::string());

  ~FtpServerFixture();
  const std::string& Port() const { return port_; }
  const std::string& User() const { return user_; }
  const std::string& Password() const { return password_; }
  const std::string& Root() const { return root_; }
  Kind ServerKind() const { return kind_; }
  // Hands files a test put below the root to the server's user, so that the
  // server may change them.
  void Own();
  // Stops the server now (to test what a client sees when it goes away).
  void Stop() { process_.reset(); }

 private:
  Kind kind_ = Kind::Pyftpdlib;
  std::string port_, user_, password_, root_, config_dir_;
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

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();
// Waits up to `ms` until something accepts connections on 127.0.0.1:port.
bool WaitForListener(int port, int ms = 10000);

}  // namespace kestova::testing

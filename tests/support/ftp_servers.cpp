#include "support/ftp_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#ifndef KESTOVA_TEST_SUPPORT_DIR
#error "KESTOVA_TEST_SUPPORT_DIR names the folder of pyftpd.py"
#endif

namespace kestova::testing {

namespace fs = std::filesystem;

namespace {

const char* const kVsftpdUser = "kestovaftp";
const char* const kVsftpdPassword = "Kestova-test-1";

std::string MakeTempDir(const std::string& name) {
  std::string pattern = (fs::temp_directory_path() / (name + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) return std::string();
  return pattern;
}

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

// vsftpd logs local users in through PAM, so the tests need one with a
// password; it is made once per machine.
bool EnsureVsftpdUser(std::string& why) {
  if (::geteuid() != 0) {
    why = "vsftpd needs root to run and to create its test user";
    return false;
  }
  // vsftpd changes to the user's home before its local_root: "/" always exists.
  const bool exists = Run(std::string("id -u ") + kVsftpdUser + " >/dev/null 2>&1");
  const std::string make = exists ? std::string("usermod --home / ") + kVsftpdUser
                                  : std::string("useradd --no-create-home --home-dir / --shell /bin/sh ") + kVsftpdUser;
  if (!Run(make + " >/dev/null 2>&1")) {
    why = "could not create the user " + std::string(kVsftpdUser);
    return false;
  }
  if (!Run(std::string("echo '") + kVsftpdUser + ":" + kVsftpdPassword + "' | chpasswd")) {
    why = "could not set the password of " + std::string(kVsftpdUser);
    return false;
  }
  return true;
}

// Every process below `root`, found through /proc: servers such as vsftpd run
// each session in a child that may leave the server's process group.
std::vector<pid_t> Descendants(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> parents;  // (pid, ppid)
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2) {
      parents.emplace_back(static_cast<pid_t>(std::stoi(name)), static_cast<pid_t>(ppid));
    }
  }
  std::vector<pid_t> found{root};
  for (size_t i = 0; i < found.size(); ++i) {
    for (const auto& [pid, ppid] : parents) {
      if (ppid == found[i]) found.push_back(pid);
    }
  }
  found.erase(found.begin());
  return found;
}

}  // namespace

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool WaitForListener(int port, int ms, bool ipv6) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_port = htons(static_cast<uint16_t>(port));
    address6.sin6_addr = in6addr_loopback;
    const bool up = ipv6 ? ::connect(fd, reinterpret_cast<sockaddr*>(&address6), sizeof address6) == 0
                         : ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// ---- ChildProcess

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv, std::string* first_line,
                                                  const std::vector<std::string>& environment) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return nullptr;
  const pid_t pid = ::fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    ::setsid();
    // A test program that dies (a crash, a timeout) takes its servers along.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::dup2(out[1], STDOUT_FILENO);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    for (const std::string& entry : environment) ::putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(out[1]);
  auto child = std::unique_ptr<ChildProcess>(new ChildProcess);
  child->pid_ = pid;
  if (first_line) {
    first_line->clear();
    pollfd wanted{out[0], POLLIN, 0};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char c = 0;
    while (std::chrono::steady_clock::now() < end && ::poll(&wanted, 1, 100) >= 0) {
      if (!(wanted.revents & (POLLIN | POLLHUP))) continue;
      if (::read(out[0], &c, 1) != 1 || c == '\n') break;
      *first_line += c;
    }
  }
  ::close(out[0]);
  return child;
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  for (const pid_t child : Descendants(pid_)) ::kill(child, SIGKILL);
  ::kill(-pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (i == 99) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ::kill(-pid_, SIGKILL);  // session processes the server forked
}

bool ChildProcess::Running() { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

// ---- Certificates

namespace {

bool MakeCertificate(const std::string& dir, const std::string& name, const std::string& ca, TestCertificate& made) {
  made.cert = dir + "/" + name + ".pem";
  made.key = dir + "/" + name + ".key";
  const std::string names = "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1";
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout '" + made.key + "'";
  std::string command;
  if (ca.empty()) {
    command = "openssl req -x509 " + key + " -days 30 " + names + " -out '" + made.cert + "'";
  } else {
    const std::string request = dir + "/" + name + ".csr";
    command = "openssl req -new " + key + " " + names + " -out '" + request + "' && openssl x509 -req -in '" + request +
              "' -CA '" + ca + ".pem' -CAkey '" + ca + ".key' -CAcreateserial -days 30 -copy_extensions copy" +
              " -out '" + made.cert + "'";
  }
  if (!Run("(" + command + ") >/dev/null 2>&1")) return false;
  const std::string print = dir + "/" + name + ".sha256";
  if (!Run("openssl x509 -in '" + made.cert + "' -noout -fingerprint -sha256 > '" + print + "'")) return false;
  std::ifstream in(print);
  std::string line;
  std::getline(in, line);
  made.fingerprint = line.substr(line.find('=') + 1);
  return made.fingerprint.size() == 95;
}

}  // namespace

const TestCertificates* TestCertificates::Get(std::string& why) {
  static const std::unique_ptr<TestCertificates> made = [] {
    auto certificates = std::make_unique<TestCertificates>();
    // One folder per test program, removed with the machine's temporary
    // files: servers of later tests in the program still read from it.
    const std::string dir = MakeTempDir("kestova-certificates");
    ::chmod(dir.c_str(), 0755);
    TestCertificate ca;
    const bool ok = !dir.empty() &&
                    Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout '" + dir +
                        "/ca.key' -days 30 -subj '/CN=Kestova Test CA' -out '" + dir + "/ca.pem' >/dev/null 2>&1") &&
                    MakeCertificate(dir, "signed", dir + "/ca", certificates->signed_by_ca) &&
                    MakeCertificate(dir, "self", std::string(), certificates->self_signed);
    certificates->ca = dir + "/ca.pem";
    return ok ? std::move(certificates) : nullptr;
  }();
  if (!made) why = "the openssl command could not make the test certificates";
  return made.get();
}

// ---- FTP servers

namespace {

std::vector<std::string> TimeZone(const FtpServerOptions& options) {
  if (options.time_zone.empty()) return {};
  return {"TZ=" + options.time_zone};
}

}  // namespace

std::unique_ptr<FtpServerFixture> FtpServerFixture::Start(Kind kind, const std::string& root, std::string& why,
                                                          const FtpServerOptions& options) {
  auto fixture = std::unique_ptr<FtpServerFixture>(new FtpServerFixture);
  fixture->kind_ = kind;
  fixture->root_ = root;
  fs::create_directories(root);
  if (options.tls != ServerTls::None) {
    const TestCertificates* certificates = TestCertificates::Get(why);
    if (!certificates) return nullptr;
    fixture->certificate_ = options.self_signed ? &certificates->self_signed : &certificates->signed_by_ca;
  }
  bool started = false;
  switch (kind) {
    case Kind::Pyftpdlib: started = fixture->StartPyftpdlib(options, why); break;
    case Kind::Vsftpd: started = fixture->StartVsftpd(options, why); break;
    case Kind::Proftpd: started = fixture->StartProftpd(options, why); break;
  }
  return started ? std::move(fixture) : nullptr;
}

bool FtpServerFixture::StartPyftpdlib(const FtpServerOptions& options, std::string& why) {
  if (options.tls == ServerTls::Implicit) {
    why = "pyftpdlib has no implicit TLS";
    return false;
  }
  user_ = "kestova";
  password_ = "secret";
  std::vector<std::string> argv = {"/usr/bin/python3", std::string(KESTOVA_TEST_SUPPORT_DIR) + "/pyftpd.py"};
  if (!options.protocol_log.empty()) argv.insert(argv.end(), {"--log", options.protocol_log});
  if (options.ipv6) argv.push_back("--ipv6");
  if (!options.time_zone.empty()) argv.push_back("--local-times");
  if (options.other_data_certificate && certificate_) {
    const TestCertificates* certificates = TestCertificates::Get(why);
    const TestCertificate& other =
        certificate_ == &certificates->self_signed ? certificates->signed_by_ca : certificates->self_signed;
    argv.insert(argv.end(), {"--data-cert", other.cert, other.key});
  }
  argv.insert(argv.end(), {root_, user_, password_, std::to_string(options.max_connections_per_ip)});
  if (certificate_) {
    argv.push_back(certificate_->cert);
    argv.push_back(certificate_->key);
  }
  std::string line;
  process_ = ChildProcess::Start(argv, &line, TimeZone(options));
  if (!process_ || line.rfind("PORT ", 0) != 0) {
    why = "pyftpdlib did not start (are python3-pyftpdlib and python3-openssl installed?): '" + line + "'";
    return false;
  }
  port_ = line.substr(5);
  return true;
}

bool FtpServerFixture::StartVsftpd(const FtpServerOptions& options, std::string& why) {
  if (!EnsureVsftpdUser(why)) return false;
  user_ = kVsftpdUser;
  password_ = kVsftpdPassword;
  config_dir_ = MakeTempDir("kestova-vsftpd");
  const std::string empty = config_dir_ + "/empty";
  fs::create_directories(empty);
  Run("chown -R " + std::string(kVsftpdUser) + " '" + root_ + "'");
  // The user must be able to reach its root through the test's private
  // temporary folder.
  ::chmod(fs::path(root_).parent_path().c_str(), 0755);
  const int port = FreeLoopbackPort();
  std::mt19937 random(static_cast<unsigned>(port) * 7919u + static_cast<unsigned>(::getpid()));
  const int pasv_base = pasv_base_ = 10000 + static_cast<int>(random() % 400) * 50;
  const std::string config = config_dir_ + "/vsftpd.conf";
  std::ofstream out(config);
  out << (options.ipv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n"
                       : "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n")
      << "listen_port=" << port
      << "\nbackground=NO\nanonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\n"
         "chroot_local_user=YES\nallow_writeable_chroot=YES\nlocal_root="
      << root_ << "\nlocal_umask=022\npasv_enable=YES\npasv_address=127.0.0.1\npasv_min_port=" << pasv_base
      << "\npasv_max_port=" << pasv_base + 49
      << "\nport_enable=YES\nconnect_from_port_20=NO\nisolate=NO\nisolate_network=NO\n"
         "seccomp_sandbox=NO\nsecure_chroot_dir="
      << empty << "\nuse_localtime=" << (options.time_zone.empty() ? "NO" : "YES") << "\n";
  if (options.protocol_log.empty()) {
    out << "xferlog_enable=NO\n";
  } else {
    out << "xferlog_enable=YES\nxferlog_std_format=NO\nlog_ftp_protocol=YES\nvsftpd_log_file=" << options.protocol_log
        << "\n";
  }
  if (options.max_connections_per_ip > 0) out << "max_per_ip=" << options.max_connections_per_ip << "\n";
  if (certificate_) {
    // As strict as vsftpd gets: TLS for logins and data, every data
    // connection resuming the control connection's session, and an upload
    // that ends without close_notify counted as broken.
    out << "ssl_enable=YES\nrsa_cert_file=" << certificate_->cert << "\nrsa_private_key_file=" << certificate_->key
        << "\nssl_ciphers=HIGH\nrequire_ssl_reuse=YES\nstrict_ssl_read_eof=YES\nforce_local_logins_ssl=YES\n"
           "force_local_data_ssl=YES\n"
        << (options.tls == ServerTls::Implicit ? "implicit_ssl=YES\n" : "");
  }
  out.close();
  process_ = ChildProcess::Start({"/usr/sbin/vsftpd", config}, nullptr, TimeZone(options));
  if (!process_ || !WaitForListener(port, 10000, options.ipv6)) {
    why = "vsftpd did not start on port " + std::to_string(port) + " (is vsftpd installed?)";
    return false;
  }
  port_ = std::to_string(port);
  return true;
}

bool FtpServerFixture::StartProftpd(const FtpServerOptions& options, std::string& why) {
  // Unpacked by scripts/setup beside the system (it conflicts with vsftpd
  // as a package); an installed one serves as well.
  std::string home = "/opt/kestova-peers/proftpd";
  if (!fs::exists(home + "/usr/sbin/proftpd")) home.clear();
  if (!fs::exists(home + "/usr/sbin/proftpd") || !fs::exists(home + "/usr/lib/proftpd/mod_tls.so")) {
    why = "proftpd is not there (scripts/setup unpacks it into /opt/kestova-peers/proftpd)";
    return false;
  }
  if (::geteuid() == 0 && !EnsureVsftpdUser(why)) return false;
  user_ = "kestova";
  password_ = "secret";
  config_dir_ = MakeTempDir("kestova-proftpd");
  const std::string dir = config_dir_;
  // The user lives in a file of the server's own, with the uid the files
  // below the root belong to.
  const std::string uid = ::geteuid() == 0 ? "$(id -u " + std::string(kVsftpdUser) + ")" : std::to_string(::getuid());
  const std::string gid = ::geteuid() == 0 ? "$(id -g " + std::string(kVsftpdUser) + ")" : std::to_string(::getgid());
  if (!Run("echo \"" + user_ + ":$(openssl passwd -6 " + password_ + "):" + uid + ":" + gid + "::" + root_ +
           ":/bin/sh\" > '" + dir + "/passwd' && echo \"ftp:x:" + gid + ":\" > '" + dir + "/group' && chmod 600 '" +
           dir + "/passwd' '" + dir + "/group'")) {
    why = "could not write proftpd's user file";
    return false;
  }
  if (::geteuid() == 0) Run("chown -R " + std::string(kVsftpdUser) + " '" + root_ + "'");
  ::chmod(fs::path(root_).parent_path().c_str(), 0755);
  const int port = FreeLoopbackPort();
  std::mt19937 random(static_cast<unsigned>(port) * 104729u + static_cast<unsigned>(::getpid()));
  const int pasv_base = pasv_base_ = 30000 + static_cast<int>(random() % 400) * 50;
  std::ofstream out(dir + "/proftpd.conf");
  out << "ServerType standalone\nServerName \"kestova test\"\nServerIdent on \"proftpd ready\"\n"
      << "Port " << port << "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
      << "PidFile " << dir << "/proftpd.pid\nScoreboardFile " << dir << "/proftpd.scoreboard\n"
      << "DelayEngine off\nWtmpLog off\nUseReverseDNS off\nControlsEngine off\n"
      << "AuthOrder mod_auth_file.c\nAuthUserFile " << dir << "/passwd\nAuthGroupFile " << dir << "/group\n"
      << "RequireValidShell off\nDefaultRoot ~\nAllowOverwrite on\nUmask 022\nTransferLog none\n"
      << "PassivePorts " << pasv_base << " " << pasv_base + 49 << "\nSystemLog " << dir << "/system.log\n";
  if (!options.protocol_log.empty()) {
    out << "LogFormat commands \"%m %J\"\nExtendedLog " << options.protocol_log << " ALL commands\n";
  }
  if (!options.time_zone.empty()) out << "TimesGMT off\n";
  if (options.max_connections_per_ip > 0) out << "MaxClientsPerHost " << options.max_connections_per_ip << "\n";
  if (certificate_) {
    // TLS required for logins and data; every data connection must resume
    // the control connection's session (proftpd's default).
    out << "ModulePath " << home << "/usr/lib/proftpd\nLoadModule mod_tls.c\nTLSEngine on\n"
        << "TLSProtocol TLSv1.2 TLSv1.3\nTLSECCertificateFile " << certificate_->cert << "\nTLSECCertificateKeyFile "
        << certificate_->key << "\nTLSRequired on\nTLSVerifyClient off\n"
        << "TLSLog " << dir << "/tls.log\n"
        << (options.tls == ServerTls::Implicit ? "TLSOptions UseImplicitSSL\n" : "");
  }
  out.close();
  process_ = ChildProcess::Start({home + "/usr/sbin/proftpd", "-n", "-q", "-c", dir + "/proftpd.conf"}, nullptr,
                                 TimeZone(options));
  if (!process_ || !WaitForListener(port)) {
    why = "proftpd did not start on port " + std::to_string(port) + "; see " + dir + "/system.log";
    return false;
  }
  port_ = std::to_string(port);
  return true;
}

void FtpServerFixture::Own() {
  if (kind_ != Kind::Pyftpdlib && ::geteuid() == 0) Run("chown -R " + std::string(kVsftpdUser) + " '" + root_ + "'");
}

FtpServerFixture::~FtpServerFixture() {
  process_.reset();
  std::error_code ignored;
  // KESTOVA_KEEP_SERVER_FILES=1 keeps configs and logs for a look after a failure.
  if (!config_dir_.empty() && !std::getenv("KESTOVA_KEEP_SERVER_FILES")) fs::remove_all(config_dir_, ignored);
}

// ---- ftp-proxy

std::unique_ptr<FtpProxyFixture> FtpProxyFixture::Start(std::string& why) {
  auto fixture = std::unique_ptr<FtpProxyFixture>(new FtpProxyFixture);
  fixture->dir_ = MakeTempDir("kestova-ftp-proxy");
  const int port = FreeLoopbackPort();
  const std::string config = fixture->dir_ + "/ftp-proxy.conf";
  std::ofstream(config) << "[-Global-]\nListen 127.0.0.1\nPort " << port
                        << "\nServerType standalone\nAllowMagicUser yes\nDestinationTransferMode client\n"
                           "User root\nGroup root\nPidFile "
                        << fixture->dir_ << "/ftp-proxy.pid\nLogDestination " << fixture->dir_ << "/ftp-proxy.log\n";
  fixture->process_ = ChildProcess::Start({"/usr/sbin/ftp-proxy", "-n", "-d", "-f", config});
  if (!fixture->process_ || !WaitForListener(port)) {
    why = "ftp-proxy did not start on port " + std::to_string(port) + " (is ftp-proxy installed?)";
    return nullptr;
  }
  fixture->port_ = std::to_string(port);
  return fixture;
}

FtpProxyFixture::~FtpProxyFixture() {
  process_.reset();
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

// sshd would chroot only below folders that belong to root and no one else
// may write (no temporary folder is such), so the user starts in the root
// instead: a relative start directory ("www") lies below it.
std::unique_ptr<SshServerFixture> SshServerFixture::Start(const std::string& root, std::string& why, Kind kind,
                                                          const std::string& denied) {
  if (!EnsureVsftpdUser(why)) return nullptr;
  auto fixture = std::unique_ptr<SshServerFixture>(new SshServerFixture);
  fixture->kind_ = kind;
  fixture->user_ = kVsftpdUser;
  fixture->password_ = kVsftpdPassword;
  fixture->root_ = root;
  fs::create_directories(root);
  const std::string dir = fixture->dir_ = MakeTempDir("kestova-sshd");
  fixture->client_key_ = dir + "/client_key";
  const std::string host_key = dir + "/host_key";
  if (!Run("ssh-keygen -q -t ed25519 -N '' -f '" + host_key + "' && ssh-keygen -q -t ed25519 -N '' -f '" +
           fixture->client_key_ + "'")) {
    why = "ssh-keygen could not make the keys (is openssh-client installed?)";
    return nullptr;
  }
  ::chmod(fs::path(root).parent_path().c_str(), 0755);
  ::chmod(dir.c_str(), 0755);
  ::chmod((fixture->client_key_ + ".pub").c_str(), 0644);
  const int port = FreeLoopbackPort();
  if (!(kind == Kind::OpenSsh ? fixture->StartSshd(port, host_key, denied, why)
                              : fixture->StartProftpd(port, host_key, why))) {
    return nullptr;
  }
  fixture->port_ = std::to_string(port);
  // The host key as a known_hosts line for [127.0.0.1]:port, and its
  // fingerprint as ssh shows it.
  std::ifstream public_key(host_key + ".pub");
  std::string type, key;
  public_key >> type >> key;
  fixture->known_hosts_ = dir + "/known_hosts";
  std::ofstream(fixture->known_hosts_) << "[127.0.0.1]:" << port << " " << type << " " << key << "\n";
  const std::string printed = dir + "/fingerprint";
  Run("ssh-keygen -l -E sha256 -f '" + host_key + ".pub' > '" + printed + "'");
  std::ifstream fingerprint(printed);
  std::string bits;
  fingerprint >> bits >> fixture->fingerprint_;
  fixture->Own();
  return fixture;
}

bool SshServerFixture::StartSshd(int port, const std::string& host_key, const std::string& denied, std::string& why) {
  fs::create_directories("/run/sshd");  // sshd's privilege separation folder
  const std::string config = dir_ + "/sshd_config";
  std::ofstream(config) << "ListenAddress 127.0.0.1\nPort " << port << "\nHostKey " << host_key << "\nPidFile " << dir_
                        << "/sshd.pid\nUsePAM no\nPasswordAuthentication yes\nKbdInteractiveAuthentication no\n"
                           "PubkeyAuthentication yes\nAuthorizedKeysFile "
                        << client_key_ << ".pub\nStrictModes no\nPermitRootLogin no\nAllowUsers " << kVsftpdUser
                        << "\nForceCommand internal-sftp -d " << root_ << (denied.empty() ? "" : " -P " + denied)
                        << "\nSubsystem sftp internal-sftp\nMaxStartups 50\n"
                           "LogLevel ERROR\n";
  process_ = ChildProcess::Start({"/usr/sbin/sshd", "-D", "-E", dir_ + "/sshd.log", "-f", config});
  if (!process_ || !WaitForListener(port)) {
    why = "sshd did not start on port " + std::to_string(port) + " (is openssh-server installed?)";
    return false;
  }
  return true;
}

// proftpd's SFTP module, from the same unpacked proftpd as the FTP fixture,
// with a user file of its own that names the test user's uid and the root
// as its home.
bool SshServerFixture::StartProftpd(int port, const std::string& host_key, std::string& why) {
  const std::string home = "/opt/kestova-peers/proftpd";
  if (!fs::exists(home + "/usr/lib/proftpd/mod_sftp.so")) {
    why = "proftpd's mod_sftp is not there (scripts/setup unpacks proftpd into " + home + ")";
    return false;
  }
  // mod_sftp reads a user's keys in RFC 4716's form.
  if (!Run("ssh-keygen -e -f '" + client_key_ + ".pub' > '" + dir_ + "/authorized_keys' && echo \"" + user_ +
           ":$(openssl passwd -6 '" + password_ + "'):$(id -u " + user_ + "):$(id -g " + user_ + ")::" + root_ +
           ":/bin/sh\" > '" + dir_ + "/passwd' && echo \"sftp:x:$(id -g " + user_ + "):\" > '" + dir_ +
           "/group' && chmod 600 '" + dir_ + "/passwd' '" + dir_ + "/group'")) {
    why = "could not write proftpd's user and key files";
    return false;
  }
  std::ofstream(dir_ + "/proftpd.conf")
      << "ServerType standalone\nServerName \"kestova test\"\nPort " << port
      << "\nDefaultAddress 127.0.0.1\nSocketBindTight on\nUseIPv6 off\n"
      << "PidFile " << dir_ << "/proftpd.pid\nScoreboardFile " << dir_ << "/proftpd.scoreboard\n"
      << "DelayEngine off\nWtmpLog off\nUseReverseDNS off\nControlsEngine off\n"
      << "AuthOrder mod_auth_file.c\nAuthUserFile " << dir_ << "/passwd\nAuthGroupFile " << dir_ << "/group\n"
      << "RequireValidShell off\nDefaultRoot ~\nAllowOverwrite on\nUmask 022\nTransferLog none\n"
      << "SystemLog " << dir_ << "/system.log\nMaxInstances 50\n"
      << "ModulePath " << home << "/usr/lib/proftpd\nLoadModule mod_sftp.c\nSFTPEngine on\nSFTPLog " << dir_
      << "/sftp.log\nSFTPHostKey " << host_key << "\nSFTPAuthMethods publickey password\n"
      << "SFTPAuthorizedUserKeys file:" << dir_ << "/authorized_keys\nSFTPCompression off\n";
  process_ = ChildProcess::Start({home + "/usr/sbin/proftpd", "-n", "-q", "-c", dir_ + "/proftpd.conf"});
  if (!process_ || !WaitForListener(port)) {
    why = "proftpd's mod_sftp did not start on port " + std::to_string(port) + "; see " + dir_ + "/system.log";
    return false;
  }
  return true;
}

std::string SshServerFixture::Shown(const std::string& relative) const {
  const std::string top = kind_ == Kind::OpenSsh ? root_ : std::string();
  return relative.empty() ? (top.empty() ? "/" : top) : top + "/" + relative;
}

std::string SshServerFixture::KnownHostsAt(const std::string& host, const std::string& port,
                                           const std::string& file) const {
  std::string type, key, ignored;
  std::ifstream(known_hosts_) >> ignored >> type >> key;
  std::ofstream(file) << "[" << host << "]:" << port << " " << type << " " << key << "\n";
  return file;
}

void SshServerFixture::Own() { Run("chown -R " + std::string(kVsftpdUser) + " '" + root_ + "'"); }

SshServerFixture::~SshServerFixture() {
  process_.reset();
  std::error_code ignored;
  if (!std::getenv("KESTOVA_KEEP_SERVER_FILES")) fs::remove_all(dir_, ignored);
}

}  // namespace kestova::testing

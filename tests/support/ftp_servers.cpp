#include "support/ftp_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
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

bool WaitForListener(int port, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    if (up) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// ---- ChildProcess

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv, std::string* first_line) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return nullptr;
  const pid_t pid = ::fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    ::setsid();
    ::dup2(out[1], STDOUT_FILENO);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
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

// ---- FTP servers

std::unique_ptr<FtpServerFixture> FtpServerFixture::Start(Kind kind, const std::string& root, std::string& why,
                                                          int max_connections_per_ip, const std::string& protocol_log) {
  auto fixture = std::unique_ptr<FtpServerFixture>(new FtpServerFixture);
  fixture->kind_ = kind;
  fixture->root_ = root;
  fs::create_directories(root);
  if (kind == Kind::Pyftpdlib) {
    fixture->user_ = "kestova";
    fixture->password_ = "secret";
    std::vector<std::string> argv = {"/usr/bin/python3", std::string(KESTOVA_TEST_SUPPORT_DIR) + "/pyftpd.py", root,
                                     fixture->user_, fixture->password_};
    if (max_connections_per_ip > 0) argv.push_back(std::to_string(max_connections_per_ip));
    std::string line;
    fixture->process_ = ChildProcess::Start(argv, &line);
    if (!fixture->process_ || line.rfind("PORT ", 0) != 0) {
      why = "pyftpdlib did not start (is python3-pyftpdlib installed?): '" + line + "'";
      return nullptr;
    }
    fixture->port_ = line.substr(5);
    return fixture;
  }

  if (!EnsureVsftpdUser(why)) return nullptr;
  fixture->user_ = kVsftpdUser;
  fixture->password_ = kVsftpdPassword;
  fixture->config_dir_ = MakeTempDir("kestova-vsftpd");
  const std::string empty = fixture->config_dir_ + "/empty";
  fs::create_directories(empty);
  Run("chown -R " + std::string(kVsftpdUser) + " '" + root + "'");
  // The user must be able to reach its root through the test's private
  // temporary folder.
  ::chmod(fs::path(root).parent_path().c_str(), 0755);
  const int port = FreeLoopbackPort();
  std::mt19937 random(static_cast<unsigned>(port) * 7919u + static_cast<unsigned>(::getpid()));
  const int pasv_base = 10000 + static_cast<int>(random() % 400) * 50;
  const std::string config = fixture->config_dir_ + "/vsftpd.conf";
  std::ofstream(config) << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port
                        << "\nbackground=NO\nanonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\n"
                           "chroot_local_user=YES\nallow_writeable_chroot=YES\nlocal_root="
                        << root
                        << "\nlocal_umask=022\npasv_enable=YES\npasv_address=127.0.0.1\npasv_min_port=" << pasv_base
                        << "\npasv_max_port=" << pasv_base + 49
                        << "\nport_enable=YES\nconnect_from_port_20=NO\nisolate=NO\nisolate_network=NO\n"
                           "seccomp_sandbox=NO\nsecure_chroot_dir="
                        << empty << "\nuse_localtime=NO\n"
                        << (protocol_log.empty() ? std::string("xferlog_enable=NO\n")
                                                 : "xferlog_enable=YES\nxferlog_std_format=NO\nlog_ftp_protocol=YES\n"
                                                   "vsftpd_log_file=" +
                                                       protocol_log + "\n")
                        << (max_connections_per_ip > 0 ? "max_per_ip=" + std::to_string(max_connections_per_ip) + "\n"
                                                       : std::string());
  fixture->process_ = ChildProcess::Start({"/usr/sbin/vsftpd", config});
  if (!fixture->process_ || !WaitForListener(port)) {
    why = "vsftpd did not start on port " + std::to_string(port) + " (is vsftpd installed?)";
    return nullptr;
  }
  fixture->port_ = std::to_string(port);
  return fixture;
}

void FtpServerFixture::Own() {
  if (kind_ == Kind::Vsftpd) Run("chown -R " + user_ + " '" + root_ + "'");
}

FtpServerFixture::~FtpServerFixture() {
  process_.reset();
  std::error_code ignored;
  if (!config_dir_.empty()) fs::remove_all(config_dir_, ignored);
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

}  // namespace kestova::testing

#include "sftp/askpass.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace kestova {

namespace {

// An address in the abstract namespace: a NUL, then the name.
socklen_t AbstractAddress(const std::string& name, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  const size_t size = std::min(name.size(), sizeof address.sun_path - 1);
  std::memcpy(address.sun_path + 1, name.data(), size);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + size);
}

std::string RandomName() {
  unsigned char bytes[16] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return std::string();
  std::string name = "kestova-askpass-";
  static const char* const kHex = "0123456789abcdef";
  for (const unsigned char b : bytes) {
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

// "user@host's password: ", or a keyboard-interactive "Password:".
bool IsPasswordPrompt(const std::string& prompt) {
  std::string lower = prompt;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("password") != std::string::npos && lower.find("passphrase") == std::string::npos;
}

}  // namespace

AskpassServer::AskpassServer(std::string password, int answers)
    : password_(std::move(password)), name_(RandomName()), answers_(answers) {
  if (name_.empty()) return;
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return;
  sockaddr_un address;
  const socklen_t size = AbstractAddress(name_, address);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(fd_, 4) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { Serve(); });
}

AskpassServer::~AskpassServer() {
  notifier_.reset();
  if (fd_ >= 0) ::close(fd_);
  // The password leaves memory with the server.
  std::fill(password_.begin(), password_.end(), '\0');
}

// Only a process of this user is answered: a password prompt with the
// password, as often as allowed; a yes/no question (a host key ssh does not
// know) with no. Any other prompt (the passphrase of a key, say) gets no
// answer, so that the site's password never goes where it was not meant
// to, and ssh goes on without that key.
void AskpassServer::Serve() {
  for (;;) {
    const int peer = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) return;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    const bool ours =
        ::getsockopt(peer, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 && credentials.uid == ::getuid();
    // The helper sends its question at once; a peer that does not is not
    // waited for long.
    timeval limit{2, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string prompt;
    char block[512];
    for (ssize_t n; ours && prompt.size() < 8192 && (n = ::recv(peer, block, sizeof block, 0)) > 0;) {
      prompt.append(block, static_cast<size_t>(n));
    }
    std::string answer;
    if (!ours) {
    } else if (prompt.find("(yes/no") != std::string::npos) {
      host_key_question_ = prompt;
      answer = "no\n";
    } else if (!password_.empty() && answered_ < answers_ && IsPasswordPrompt(prompt)) {
      ++answered_;
      answer = password_ + "\n";
    }
    for (size_t sent = 0; sent < answer.size();) {
      const ssize_t n = ::send(peer, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    std::fill(answer.begin(), answer.end(), '\0');
    ::close(peer);
  }
}

int RunAskpassHelper(const std::string& name, const std::string& prompt) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 1;
  sockaddr_un address;
  const socklen_t size = AbstractAddress(name, address);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), size) != 0) {
    ::close(fd);
    return 1;
  }
  for (size_t sent = 0; sent < prompt.size();) {
    const ssize_t n = ::send(fd, prompt.data() + sent, prompt.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  std::string line;
  char block[256];
  for (ssize_t n; (n = ::read(fd, block, sizeof block)) > 0;) line.append(block, static_cast<size_t>(n));
  ::close(fd);
  if (line.empty()) return 1;  // nothing to give: ssh stops asking
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fill(line.begin(), line.end(), '\0');
  return 0;
}

}  // namespace kestova

#include "support/scripted_ftp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace kestova::testing {

namespace {

int ListenOnLoopback(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(fd, 8);
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  port = ntohs(address.sin_port);
  return fd;
}

// Waits at most 5 s for a readable handle.
bool WaitReadable(int fd, int ms = 5000) {
  pollfd wanted{fd, POLLIN, 0};
  return ::poll(&wanted, 1, ms) == 1;
}

void CloseHandle(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string Upper(std::string word) {
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return word;
}

}  // namespace

// ---- Session

ScriptedSession::~ScriptedSession() {
  CloseHandle(data_);
  CloseHandle(pasv_listener_);
  CloseHandle(control_);
}

void ScriptedSession::Send(const std::string& raw) {
  if (control_ >= 0 && !raw.empty()) ::send(control_, raw.data(), raw.size(), MSG_NOSIGNAL);
}

void ScriptedSession::Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void ScriptedSession::Drop() {
  server_.current_ = -1;
  CloseHandle(control_);
}

bool ScriptedSession::ReadLine(std::string& line) {
  for (;;) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      line = pending_.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      pending_.erase(0, end + 1);
      return true;
    }
    if (control_ < 0) return false;
    char buffer[4096];
    const ssize_t got = ::recv(control_, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(got));
  }
}

bool ScriptedSession::OpenData() {
  CloseHandle(data_);
  if (pasv_listener_ >= 0) {
    if (!WaitReadable(pasv_listener_)) return false;
    data_ = ::accept4(pasv_listener_, nullptr, nullptr, SOCK_CLOEXEC);
    CloseHandle(pasv_listener_);
    return data_ >= 0;
  }
  if (port_port_ == 0) return false;
  data_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_port_));
  address.sin_addr.s_addr = ::inet_addr(port_address_.c_str());
  if (::connect(data_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    CloseHandle(data_);
    return false;
  }
  return true;
}

bool ScriptedSession::ConnectPort(const std::string& argument) {
  int h1, h2, h3, h4, p1, p2;
  if (std::sscanf(argument.c_str(), "%d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2) != 6) return false;
  CloseHandle(pasv_listener_);
  port_address_ = std::to_string(h1) + "." + std::to_string(h2) + "." + std::to_string(h3) + "." + std::to_string(h4);
  port_port_ = p1 * 256 + p2;
  return OpenData();
}

int ScriptedSession::ListenPassive() {
  CloseHandle(pasv_listener_);
  int port = 0;
  pasv_listener_ = ListenOnLoopback(port);
  return port;
}

bool ScriptedSession::SendData(const std::string& bytes) {
  if (data_ < 0) return false;
  return bytes.empty() || ::send(data_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

int ScriptedSession::ConnectPortFrom(const std::string& source) const {
  if (port_port_ == 0) return -1;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = ::inet_addr(source.c_str());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_port_));
  address.sin_addr.s_addr = ::inet_addr(port_address_.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string ScriptedSession::ReceiveData() {
  std::string received;
  char buffer[65536];
  while (data_ >= 0 && WaitReadable(data_)) {
    const ssize_t got = ::recv(data_, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    received.append(buffer, static_cast<size_t>(got));
  }
  return received;
}

void ScriptedSession::CloseData() { CloseHandle(data_); }

void ScriptedSession::Default(const std::string& word, const std::string& argument) {
  if (word == "USER") return Reply("331 Password required for " + argument);
  if (word == "PASS") return Reply("230 Logged in");
  if (word == "PWD") return Reply("257 \"/\" is the current directory");
  if (word == "CWD" || word == "CDUP") return Reply("250 Directory changed");
  if (word == "MKD") return Reply("257 \"" + argument + "\" created");
  if (word == "RMD") return Reply("250 Directory removed");
  if (word == "DELE") return Reply("250 File deleted");
  if (word == "TYPE") return Reply("200 Type set to " + argument);
  if (word == "QUIT") {
    Reply("221 Goodbye");
    return Drop();
  }
  if (word == "PASV") {
    const int port = ListenPassive();
    return Reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(port >> 8) + "," +
                 std::to_string(port & 0xFF) + ")");
  }
  if (word == "PORT") {
    int h1, h2, h3, h4, p1, p2;
    if (std::sscanf(argument.c_str(), "%d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2) != 6) {
      return Reply("501 Bad PORT");
    }
    CloseHandle(pasv_listener_);
    port_address_ = std::to_string(h1) + "." + std::to_string(h2) + "." + std::to_string(h3) + "." + std::to_string(h4);
    port_port_ = p1 * 256 + p2;
    return Reply("200 PORT command successful");
  }
  if (word == "LIST" || word == "NLST") {
    Reply("150 Here comes the listing");
    if (!OpenData()) return Reply("425 Cannot open data connection");
    std::string listing;
    {
      std::lock_guard<std::mutex> lock(server_.mutex_);
      listing = server_.listing_;
    }
    SendData(listing);
    CloseData();
    return Reply("226 Transfer complete");
  }
  if (word == "STOR") {
    Reply("150 Ok to send data");
    if (!OpenData()) return Reply("425 Cannot open data connection");
    const std::string data = ReceiveData();
    CloseData();
    {
      std::lock_guard<std::mutex> lock(server_.mutex_);
      server_.stored_[argument] = data;
    }
    return Reply("226 Transfer complete");
  }
  Reply("502 Command not implemented");
}

// ---- Server

ScriptedFtpServer::ScriptedFtpServer() {
  listener_ = ListenOnLoopback(port_);
  thread_ = std::thread([this] { Serve(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  const int current = current_.exchange(-1);
  if (current >= 0) ::shutdown(current, SHUT_RDWR);
  thread_.join();
  ::close(listener_);
}

void ScriptedFtpServer::SetGreeting(const std::string& raw) {
  std::lock_guard<std::mutex> lock(mutex_);
  greeting_ = raw;
}

void ScriptedFtpServer::SetGreeting(std::function<std::string(int connection)> greeting) {
  std::lock_guard<std::mutex> lock(mutex_);
  greeting_function_ = std::move(greeting);
}

void ScriptedFtpServer::On(const std::string& word, const std::string& raw_reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[Upper(word)] = raw_reply;
}

void ScriptedFtpServer::On(const std::string& word, Action action) {
  std::lock_guard<std::mutex> lock(mutex_);
  actions_[Upper(word)] = std::move(action);
}

void ScriptedFtpServer::SetListing(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  listing_ = text;
}

std::vector<std::string> ScriptedFtpServer::Commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::vector<std::string> ScriptedFtpServer::Words() const {
  std::vector<std::string> words;
  for (const std::string& line : Commands()) words.push_back(Upper(line.substr(0, line.find(' '))));
  return words;
}

std::string ScriptedFtpServer::Stored(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = stored_.find(name);
  return found == stored_.end() ? std::string("(nothing stored)") : found->second;
}

void ScriptedFtpServer::Record(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  commands_.push_back(line);
}

bool ScriptedFtpServer::Find(const std::string& word, Action& action, std::string& raw) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const auto found = actions_.find(word); found != actions_.end()) {
    action = found->second;
    return true;
  }
  if (const auto found = replies_.find(word); found != replies_.end()) {
    raw = found->second;
    return true;
  }
  return false;
}

void ScriptedFtpServer::Serve() {
  while (!stopping_) {
    if (!WaitReadable(listener_, 200)) continue;
    const int control = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (control < 0) continue;
    // Replies go out at once: a reply held back for the client's delayed
    // acknowledgement of the one before costs 40 ms a command.
    const int on = 1;
    ::setsockopt(control, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ++connections_;
    RunSession(control);
  }
}

void ScriptedFtpServer::RunSession(int control) {
  current_ = control;
  ScriptedSession session(*this, control);
  std::string greeting;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    greeting = greeting_function_ ? greeting_function_(connections_) : greeting_;
  }
  session.Send(greeting);
  std::string line;
  while (!stopping_ && !session.Dropped() && session.ReadLine(line)) {
    Record(line);
    const size_t space = line.find(' ');
    const std::string word = Upper(line.substr(0, space));
    const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
    Action action;
    std::string raw;
    if (!Find(word, action, raw)) {
      session.Default(word, argument);
    } else if (action) {
      action(session, argument);
    } else {
      session.Send(raw);
    }
  }
  current_ = -1;
}

}  // namespace kestova::testing

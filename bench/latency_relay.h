// A relay on loopback that holds every byte back for a set time in each
// direction, as a long network link would, for the control and the data
// connections of FTP (passive replies, 227 and 229, are rewritten to lead
// through a listener of its own that is delayed the same way) and for any
// other TCP stream (SFTP's SSH connection). It runs on a thread of its own
// and blocks in poll().
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace kestova::bench {

class LatencyRelay {
 public:
  using Clock = std::chrono::steady_clock;

  // Relays a listener of its own to 127.0.0.1:target, `delay` each way;
  // `ftp` rewrites passive replies on the connections it relays.
  LatencyRelay(int target, std::chrono::milliseconds delay, bool ftp) : delay_(delay), ftp_(ftp) {
    port_ = Listen(target, true);
    thread_ = std::thread([this] { Loop(); });
  }
  ~LatencyRelay() {
    stop_ = true;
    thread_.join();
    for (Listener& listener : listeners_) ::close(listener.fd);
    for (auto& link : links_) {
      ::close(link->client);
      ::close(link->server);
    }
  }
  int Port() const { return port_; }

 private:
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
  };
  struct Direction {
    std::deque<Chunk> queue;
    std::string line;  // a reply line not yet complete (control, server to client)
    bool ended = false;
  };
  struct Link {
    int client = -1, server = -1;
    bool control = false;
    Direction up, down;  // client to server, server to client
  };
  struct Listener {
    int fd = -1;
    int target = 0;
    bool control = false;
    bool used = false;  // a data listener that has had its connection
  };

  int Listen(int target, bool control) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 64);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    listeners_.push_back({fd, target, control, false});
    return ntohs(address.sin_port);
  }

  static int ConnectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
  }

  // A passive reply names a port of the relay's, in front of the server's.
  std::string Rewrite(const std::string& line) {
    static const std::regex pasv(R"(^227 .*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\))");
    static const std::regex epsv(R"(^229 .*\(\|\|\|(\d+)\|\))");
    std::smatch match;
    if (std::regex_search(line, match, pasv)) {
      const int port = Listen(std::stoi(match[5]) * 256 + std::stoi(match[6]), false);
      return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
             ").\r\n";
    }
    if (std::regex_search(line, match, epsv)) {
      const int port = Listen(std::stoi(match[1]), false);
      return "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)\r\n";
    }
    return line;
  }

  void Take(Link& link, bool up) {
    char block[65536];
    const int from = up ? link.client : link.server;
    Direction& direction = up ? link.up : link.down;
    if (direction.ended) return;
    const ssize_t got = ::recv(from, block, sizeof block, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (got <= 0) {
      direction.ended = true;
      direction.queue.push_back({Clock::now() + delay_, std::string()});
      return;
    }
    std::string bytes(block, static_cast<size_t>(got));
    if (ftp_ && link.control && !up) {
      direction.line += bytes;
      bytes.clear();
      for (size_t end; (end = direction.line.find('\n')) != std::string::npos;) {
        bytes += Rewrite(direction.line.substr(0, end + 1));
        direction.line.erase(0, end + 1);
      }
      if (bytes.empty()) return;
    }
    direction.queue.push_back({Clock::now() + delay_, std::move(bytes)});
  }

  // Sends what is due; an empty chunk is the end of that direction.
  static void Deliver(Direction& direction, int to, Clock::time_point now) {
    while (!direction.queue.empty() && direction.queue.front().due <= now) {
      Chunk& chunk = direction.queue.front();
      if (chunk.bytes.empty()) {
        ::shutdown(to, SHUT_WR);
        direction.queue.pop_front();
        continue;
      }
      const ssize_t sent = ::send(to, chunk.bytes.data(), chunk.bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) return;
      chunk.bytes.erase(0, static_cast<size_t>(sent));
      if (!chunk.bytes.empty()) return;
      direction.queue.pop_front();
    }
  }

  void Loop() {
    while (!stop_) {
      std::vector<pollfd> polls;
      for (const Listener& listener : listeners_) polls.push_back({listener.fd, POLLIN, 0});
      for (const auto& link : links_) {
        polls.push_back({link->client, static_cast<short>(link->up.ended ? 0 : POLLIN), 0});
        polls.push_back({link->server, static_cast<short>(link->down.ended ? 0 : POLLIN), 0});
      }
      // Wake when the soonest held chunk is due.
      Clock::time_point soonest = Clock::now() + std::chrono::milliseconds(50);
      for (const auto& link : links_) {
        for (const Direction* direction : {&link->up, &link->down}) {
          if (!direction->queue.empty() && direction->queue.front().due < soonest)
            soonest = direction->queue.front().due;
        }
      }
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(soonest - Clock::now()).count();
      ::poll(polls.data(), polls.size(), static_cast<int>(std::max<long long>(0, wait)));
      size_t at = 0;
      const size_t listeners = listeners_.size();
      for (size_t i = 0; i < listeners; ++i, ++at) {
        if (!(polls[at].revents & POLLIN)) continue;
        const int client = ::accept4(listeners_[i].fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) continue;
        listeners_[i].used = !listeners_[i].control;
        const int server = ConnectTo(listeners_[i].target);
        if (server < 0) {
          ::close(client);
          continue;
        }
        for (const int fd : {client, server}) {
          const int on = 1;
          ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        auto link = std::make_unique<Link>();
        link->client = client;
        link->server = server;
        link->control = listeners_[i].control;
        links_.push_back(std::move(link));
      }
      const size_t known = (polls.size() - listeners) / 2;
      for (size_t i = 0; i < known; ++i) {
        Link& link = *links_[i];
        if (polls[listeners + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) Take(link, true);
        if (polls[listeners + 2 * i + 1].revents & (POLLIN | POLLHUP | POLLERR)) Take(link, false);
      }
      const Clock::time_point now = Clock::now();
      for (auto& link : links_) {
        Deliver(link->up, link->server, now);
        Deliver(link->down, link->client, now);
      }
      // Links whose both directions ended and were delivered go.
      for (size_t i = 0; i < links_.size();) {
        Link& link = *links_[i];
        if (link.up.ended && link.down.ended && link.up.queue.empty() && link.down.queue.empty()) {
          ::close(link.client);
          ::close(link.server);
          links_.erase(links_.begin() + static_cast<long>(i));
        } else {
          ++i;
        }
      }
      // Data listeners serve one connection each: closed once it came.
      std::erase_if(listeners_, [](const Listener& listener) {
        if (listener.used) ::close(listener.fd);
        return listener.used;
      });
    }
  }

  std::chrono::milliseconds delay_;
  bool ftp_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<Listener> listeners_;
  std::vector<std::unique_ptr<Link>> links_;
  std::thread thread_;
};

}  // namespace kestova::bench

#include "support/fault_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <list>
#include <mutex>
#include <random>
#include <thread>

namespace kestova::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes a direction may hold before the relay stops reading its source.
constexpr size_t kBufferLimit = 1 << 20;

// The second loopback address, where a blind relay stands in for the server.
constexpr std::uint32_t kBlindHost = 0x7F000002;

int ListenOnLoopback(int& port, std::uint32_t host = INADDR_LOOPBACK) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(host);
  // A port of an earlier test's connections may still be in TIME_WAIT.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

// The relay passes on what it gets at once: a reply line held back for
// coalescing would add the peer's delayed acknowledgement to every command.
void NoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A blocking connect (loopback answers at once), then non-blocking use.
int ConnectTo(std::uint32_t host, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(host);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  NoDelay(fd);
  return fd;
}

void ResetClose(int fd) {
  if (fd < 0) return;
  linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd);
}

// One relayed connection: the client's end and the server's end.
struct Link {
  int id = 0;
  int client = -1;
  int server = -1;
  bool control = false;
  std::string to_client, to_server;
  std::string pending;  // control: server bytes not yet released as whole lines
  std::string command;  // control: client bytes of a command line not yet whole
  bool client_eof = false, server_eof = false;
  bool client_shut = false, server_shut = false;
  bool dead = false;
  short revents = 0;  // what poll reported on either end
  // Control faults.
  bool head_decided = false;
  Clock::time_point stalled_until{};
  bool hang_up_when_sent = false;
  // Data fault: reset after this many bytes in either direction (-1: never).
  long long cut_after = -1;
  long long relayed = 0;
};

struct DataListener {
  int fd = -1;
  int owner = 0;  // the control link whose 227 made it; 0 for a blind relay's, which stay
  std::uint32_t host = 0;
  int port = 0;
};

}  // namespace

struct FaultRelay::State {
  int server_port = 0;
  int listener = -1;
  int port = 0;
  int wake[2] = {-1, -1};
  std::thread thread;
  bool stop = false;  // guarded by mutex

  mutable std::mutex mutex;
  FaultPlan plan;
  Counts counts;
  std::vector<std::string> journal;
  std::vector<std::string> commands;
  std::mt19937 random;

  std::list<Link> links;
  std::list<DataListener> data_listeners;
  int next_id = 1;

  double Roll() {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    return unit(random);
  }
  bool MayFault() const { return counts.Faults() < plan.max_faults; }
  void Note(const std::string& line) { journal.push_back(line); }

  void Run();
  int Watch(std::vector<pollfd>& fds, std::vector<Link*>& owners);
  void Tidy();
  void Accept();
  void AcceptData(DataListener& listener);
  void Pump(Link& link);
  void ReleaseReplies(Link& link);
  bool Read(Link& link, bool from_client);
  void Flush(Link& link);
  void Kill(Link& link);
  std::string Rewrite227(Link& link, const std::string& line);
};

std::unique_ptr<FaultRelay> FaultRelay::Start(int server_port, const FaultPlan& plan, std::string& why) {
  auto relay = std::unique_ptr<FaultRelay>(new FaultRelay);
  relay->state_ = std::make_unique<State>();
  State& state = *relay->state_;
  state.server_port = server_port;
  state.plan = plan;
  state.random.seed(plan.seed);
  state.listener = ListenOnLoopback(state.port, plan.blind ? kBlindHost : INADDR_LOOPBACK);
  if (state.listener < 0 || ::pipe2(state.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    why = "the fault relay could not listen on loopback";
    return nullptr;
  }
  for (int port = plan.first_data_port; plan.blind && port > 0 && port <= plan.last_data_port; ++port) {
    DataListener data;
    data.host = INADDR_LOOPBACK;
    data.port = port;
    int own_port = port;
    data.fd = ListenOnLoopback(own_port, kBlindHost);
    if (data.fd < 0) {
      why = "the fault relay could not listen on 127.0.0.2:" + std::to_string(port);
      return nullptr;
    }
    state.data_listeners.push_back(data);
  }
  state.thread = std::thread([&state] { state.Run(); });
  return relay;
}

FaultRelay::~FaultRelay() {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop = true;
  }
  const char byte = 1;
  [[maybe_unused]] const auto written = ::write(state_->wake[1], &byte, 1);
  if (state_->thread.joinable()) state_->thread.join();
  for (Link& link : state_->links) {
    if (link.client >= 0) ::close(link.client);
    if (link.server >= 0) ::close(link.server);
  }
  for (DataListener& listener : state_->data_listeners) ::close(listener.fd);
  ::close(state_->listener);
  ::close(state_->wake[0]);
  ::close(state_->wake[1]);
}

std::string FaultRelay::Port() const { return std::to_string(state_->port); }

std::string FaultRelay::Host() const { return state_->plan.blind ? "127.0.0.2" : "127.0.0.1"; }

void FaultRelay::SetPlan(const FaultPlan& plan) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (plan.seed != state_->plan.seed) state_->random.seed(plan.seed);
  state_->plan = plan;
}

FaultRelay::Counts FaultRelay::Injected() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->counts;
}

std::vector<std::string> FaultRelay::Journal() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->journal;
}

std::vector<std::string> FaultRelay::Commands() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->commands;
}

// ---- The relay's thread

void FaultRelay::State::Run() {
  std::vector<pollfd> fds;
  std::vector<Link*> owners;  // per entry of fds: the link, or nullptr
  while (true) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stop) return;
    }
    const int timeout = Watch(fds, owners);
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;

    std::lock_guard<std::mutex> lock(mutex);
    if (fds[0].revents) {
      char drain[64];
      while (::read(wake[0], drain, sizeof drain) > 0) {
      }
    }
    if (stop) return;
    if (fds[1].revents & POLLIN) Accept();
    size_t index = 2;
    for (DataListener& data : data_listeners) {
      if (fds[index++].revents & POLLIN) AcceptData(data);
    }
    for (Link& link : links) link.revents = 0;
    for (; index < fds.size(); ++index) owners[index]->revents |= fds[index].revents;
    for (Link& link : links) {
      if (!link.dead) Pump(link);
    }
    Tidy();
  }
}

// What to wait for: the wake-up pipe, the listeners, and each link's two
// ends as far as their buffers allow. The poll timeout ends the first stall.
int FaultRelay::State::Watch(std::vector<pollfd>& fds, std::vector<Link*>& owners) {
  fds.clear();
  owners.clear();
  fds.push_back({wake[0], POLLIN, 0});
  fds.push_back({listener, POLLIN, 0});
  owners.resize(2, nullptr);
  for (DataListener& data : data_listeners) {
    fds.push_back({data.fd, POLLIN, 0});
    owners.push_back(nullptr);
  }
  const Clock::time_point now = Clock::now();
  int timeout = -1;
  for (Link& link : links) {
    short client_events = 0, server_events = 0;
    if (!link.client_eof && link.to_server.size() < kBufferLimit) client_events |= POLLIN;
    if (!link.to_client.empty()) client_events |= POLLOUT;
    const size_t held = link.to_client.size() + link.pending.size();
    if (!link.server_eof && held < kBufferLimit) server_events |= POLLIN;
    if (!link.to_server.empty()) server_events |= POLLOUT;
    fds.push_back({link.client, client_events, 0});
    owners.push_back(&link);
    fds.push_back({link.server, server_events, 0});
    owners.push_back(&link);
    if (link.stalled_until > now) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(link.stalled_until - now).count() + 1;
      timeout = timeout < 0 ? static_cast<int>(left) : std::min(timeout, static_cast<int>(left));
    }
  }
  return timeout;
}

// Listeners used once or orphaned by their session go; so do finished links.
void FaultRelay::State::Tidy() {
  data_listeners.remove_if([this](const DataListener& data) {
    const bool owner_alive = data.owner == 0 || std::any_of(links.begin(), links.end(), [&](const Link& link) {
                               return link.id == data.owner && !link.dead;
                             });
    if (data.fd >= 0 && owner_alive) return false;
    if (data.fd >= 0) ::close(data.fd);
    return true;
  });
  links.remove_if([](const Link& link) { return link.dead; });
}

void FaultRelay::State::Accept() {
  const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (client < 0) return;
  NoDelay(client);
  ++counts.sessions;
  const bool refuse = Roll() < plan.refuse_login && MayFault();
  if (refuse) {
    ++counts.refused_logins;
    Note("session " + std::to_string(next_id) + ": answered 421 at login");
    ++next_id;
    const char line[] = "421 There are too many connections from your internet address.\r\n";
    [[maybe_unused]] const auto sent = ::send(client, line, sizeof line - 1, MSG_NOSIGNAL);
    ::close(client);
    return;
  }
  const int server = ConnectTo(INADDR_LOOPBACK, server_port);
  if (server < 0) {
    ::close(client);
    return;
  }
  Link link;
  link.id = next_id++;
  link.client = client;
  link.server = server;
  link.control = true;
  if (plan.blind && Roll() < plan.drop_control && MayFault()) {
    const int first = std::max(1, plan.min_control_cut);
    std::uniform_int_distribution<long long> where(first, std::max(first, plan.max_control_cut));
    link.cut_after = where(random);
    ++counts.dropped_control;
    Note("session " + std::to_string(link.id) + ": reset after " + std::to_string(link.cut_after) + " bytes");
  }
  links.push_back(std::move(link));
}

void FaultRelay::State::AcceptData(DataListener& data) {
  const int client = ::accept4(data.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (client < 0) return;
  NoDelay(client);
  if (data.owner != 0) {
    ::close(data.fd);
    data.fd = -1;  // one connection per 227
  }
  const int server = ConnectTo(data.host, data.port);
  if (server < 0) {
    ResetClose(client);
    return;
  }
  ++counts.data_connections;
  Link link;
  link.id = next_id++;
  link.client = client;
  link.server = server;
  if (Roll() < plan.drop_data && MayFault()) {
    std::uniform_int_distribution<long long> where(1, std::max(1, plan.max_data_cut));
    link.cut_after = where(random);
    ++counts.dropped_data;
    Note("data connection " + std::to_string(link.id) + " of session " + std::to_string(data.owner) + ": reset after " +
         std::to_string(link.cut_after) + " bytes");
  }
  links.push_back(std::move(link));
}

void FaultRelay::State::Kill(Link& link) {
  ResetClose(link.client);
  ResetClose(link.server);
  link.client = link.server = -1;
  link.dead = true;
}

bool FaultRelay::State::Read(Link& link, bool from_client) {
  char buffer[65536];
  const int fd = from_client ? link.client : link.server;
  const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
    Kill(link);  // a reset on one side is passed on to the other
    return false;
  }
  if (got == 0) {
    (from_client ? link.client_eof : link.server_eof) = true;
    return true;
  }
  size_t keep = static_cast<size_t>(got);
  bool cut = false;
  if (link.cut_after >= 0 && link.relayed + got >= link.cut_after) {
    keep = static_cast<size_t>(link.cut_after - link.relayed);
    cut = true;
  }
  link.relayed += static_cast<long long>(keep);
  if (from_client && link.control && !plan.blind) {
    link.command.append(buffer, keep);
    for (size_t end; (end = link.command.find("\r\n")) != std::string::npos; link.command.erase(0, end + 2)) {
      commands.push_back(link.command.substr(0, end));
    }
  }
  std::string& out = from_client ? link.to_server : (link.control && !plan.blind ? link.pending : link.to_client);
  out.append(buffer, keep);
  if (cut) {
    Flush(link);  // what came before the cut, as far as the socket takes it at once
    Kill(link);
    return false;
  }
  return true;
}

std::string FaultRelay::State::Rewrite227(Link& link, const std::string& line) {
  unsigned h[4], p[2];
  const size_t open = line.find('(');
  if (open == std::string::npos ||
      std::sscanf(line.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &h[0], &h[1], &h[2], &h[3], &p[0], &p[1]) != 6) {
    return line;  // not one the relay can follow; passed on untouched
  }
  DataListener data;
  data.owner = link.id;
  data.host = (h[0] << 24) | (h[1] << 16) | (h[2] << 8) | h[3];
  data.port = static_cast<int>(p[0] * 256 + p[1]);
  int own_port = 0;
  data.fd = ListenOnLoopback(own_port);
  if (data.fd < 0) return line;
  data_listeners.push_back(data);
  return "227 Entering Passive Mode (127,0,0,1," + std::to_string(own_port / 256) + "," +
         std::to_string(own_port % 256) + ").\r\n";
}

// Moves whole reply lines from `pending` to the client, rolling each line's
// fault once.
void FaultRelay::State::ReleaseReplies(Link& link) {
  while (!link.dead && !link.hang_up_when_sent) {
    size_t end = link.pending.find('\n');
    if (end == std::string::npos) {
      if (!link.server_eof || link.pending.empty()) return;
      end = link.pending.size() - 1;  // the server's last words, without a line end
    }
    if (Clock::now() < link.stalled_until) return;
    const std::string line = link.pending.substr(0, end + 1);
    const bool eligible = plan.only_replies.empty() || line.rfind(plan.only_replies, 0) == 0;
    if (!link.head_decided && eligible) {
      link.head_decided = true;
      const double roll = Roll();
      const std::string what = "session " + std::to_string(link.id) + ": ";
      std::string shown = line.substr(0, line.find_first_of("\r\n"));
      if (MayFault() && roll < plan.drop_control) {
        ++counts.dropped_control;
        Note(what + "reset instead of '" + shown + "'");
        Kill(link);
        return;
      }
      if (MayFault() && roll < plan.drop_control + plan.truncate_reply && line.size() > 1) {
        ++counts.truncated_replies;
        const std::string half = line.substr(0, line.size() / 2);
        Note(what + "sent '" + half + "' of '" + shown + "' and hung up");
        link.to_client += half;
        link.pending.clear();
        link.hang_up_when_sent = true;
        return;
      }
      if (MayFault() && roll < plan.drop_control + plan.truncate_reply + plan.stall) {
        ++counts.stalls;
        Note(what + "held '" + shown + "' back for " + std::to_string(plan.stall_ms) + " ms");
        link.stalled_until = Clock::now() + std::chrono::milliseconds(plan.stall_ms);
        return;
      }
    }
    link.head_decided = false;
    link.pending.erase(0, end + 1);
    link.to_client += line.rfind("227", 0) == 0 ? Rewrite227(link, line) : line;
  }
}

void FaultRelay::State::Flush(Link& link) {
  for (const bool to_client : {true, false}) {
    std::string& out = to_client ? link.to_client : link.to_server;
    const int fd = to_client ? link.client : link.server;
    while (!out.empty() && fd >= 0) {
      const ssize_t sent = ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        out.clear();  // the reader has gone; its reset reaches the other side through poll
        break;
      }
      if (sent <= 0) break;
      out.erase(0, static_cast<size_t>(sent));
    }
  }
}

void FaultRelay::State::Pump(Link& link) {
  if (link.revents & POLLERR) {
    Kill(link);  // a reset on one side is passed on to the other
    return;
  }
  // Both ends are read whenever the relay wakes (`revents` merges the two);
  // a non-blocking read that finds nothing costs one call.
  if (!link.client_eof && link.to_server.size() < kBufferLimit && !Read(link, true)) return;
  if (!link.server_eof && link.to_client.size() + link.pending.size() < kBufferLimit && !Read(link, false)) return;
  if (link.control && !plan.blind) ReleaseReplies(link);
  if (link.dead) return;
  Flush(link);
  if (link.hang_up_when_sent && link.to_client.empty()) {
    Kill(link);
    return;
  }
  // An orderly end travels on once what came before it is delivered.
  if (link.client_eof && link.to_server.empty() && !link.server_shut) {
    ::shutdown(link.server, SHUT_WR);
    link.server_shut = true;
  }
  const bool replies_left = !link.pending.empty();
  if (link.server_eof && link.to_client.empty() && !replies_left && !link.client_shut) {
    ::shutdown(link.client, SHUT_WR);
    link.client_shut = true;
  }
  // A control session ends with either side; a data connection once both
  // directions are done.
  const bool finished = link.control ? ((link.client_eof && link.server_shut) || (link.server_eof && link.client_shut))
                                     : (link.client_shut && link.server_shut);
  if (finished) {
    ::close(link.client);
    ::close(link.server);
    link.client = link.server = -1;
    link.dead = true;
  }
}

}  // namespace kestova::testing

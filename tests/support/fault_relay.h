// A TCP relay on loopback that sits between an FTP client and a real server
// and injects network faults from a seeded random plan: it cuts the control
// or a data connection, holds a reply back for longer than the client waits,
// sends half a reply and hangs up, or answers a new session with a 421
// too-many-connections line. Passive data connections go through it too: it
// rewrites each 227 reply to name a port of its own.
//
// The relay runs on its own thread and blocks in poll(); it stops injecting
// after `max_faults` faults, and never holds a reply longer than `stall_ms`.
//
// A blind relay (for FTP over TLS, whose replies it cannot read) listens on
// 127.0.0.2 and passes bytes on unread: it cuts a control connection after a
// random count of bytes, and relays passive data connections on 127.0.0.2 at
// the ports the server hands out (the client connects to the control
// connection's host, whatever the encrypted 227 names).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestova::testing {

struct FaultPlan {
  std::uint32_t seed = 1;
  // The chance, from 0 to 1, that one event meets the fault.
  double refuse_login = 0;    // per new control connection: "421 ... too many connections" and close
  double drop_control = 0;    // per reply line: both ends of the control connection are reset instead
  double truncate_reply = 0;  // per reply line: half of it goes out, then the connection is reset
  double stall = 0;           // per reply line: it is held back for stall_ms first
  double drop_data = 0;       // per data connection: reset after a random count of bytes
  int stall_ms = 3000;
  // A dropped data connection is cut after 1 to this many bytes.
  int max_data_cut = 16384;
  int max_faults = 40;
  // When set, the reply-line faults hit only lines that start with it.
  std::string only_replies;
  // Blind relaying: drop_control is then the chance per control connection
  // that it is cut after 1 to max_control_cut bytes; data_ports are the
  // server's passive ports.
  bool blind = false;
  int min_control_cut = 1, max_control_cut = 4096;
  int first_data_port = 0, last_data_port = 0;
};

class FaultRelay {
 public:
  // Listens on a free loopback port and relays to 127.0.0.1:server_port. On
  // failure returns nullptr and says why.
  static std::unique_ptr<FaultRelay> Start(int server_port, const FaultPlan& plan, std::string& why);
  ~FaultRelay();
  FaultRelay(const FaultRelay&) = delete;
  FaultRelay& operator=(const FaultRelay&) = delete;

  std::string Port() const;
  // The address clients connect to: 127.0.0.1, or 127.0.0.2 when blind.
  std::string Host() const;
  // Replaces the plan for the events that come after. The fault count goes
  // on; so does the random sequence, unless the new plan has another seed.
  void SetPlan(const FaultPlan& plan);

  struct Counts {
    int sessions = 0;
    int data_connections = 0;
    int refused_logins = 0;
    int dropped_control = 0;
    int truncated_replies = 0;
    int stalls = 0;
    int dropped_data = 0;
    int Faults() const { return refused_logins + dropped_control + truncated_replies + stalls + dropped_data; }
  };
  Counts Injected() const;
  // One line per fault injected, in order, for a failing test's report.
  std::vector<std::string> Journal() const;
  // Every command line clients sent on control connections (not blind), in
  // the order the relay read them, without the line end.
  std::vector<std::string> Commands() const;

 private:
  struct State;
  FaultRelay() = default;
  std::unique_ptr<State> state_;
};

}  // namespace kestova::testing

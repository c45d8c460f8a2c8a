// A loopback FTP server that answers from a small script per test and
// records every command it received. Built on plain blocking sockets on a
// thread of its own, not on the program's socket layer, so that a fault
// there cannot hide itself.
//
// Every command has a default answer (USER 331, PASS 230, PWD 257, PASV with
// a real listener, LIST and NLST sending the listing, STOR storing what
// arrives, QUIT 221 and close, ...). A test names only what differs: a raw
// reply for a command word, or an action that can delay, drop the
// connection, send partial or malformed lines and open or refuse data
// connections.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestova::testing {

class ScriptedFtpServer;

// One control connection, as an action sees it.
class ScriptedSession {
 public:
  ScriptedSession(ScriptedFtpServer& server, int control) : server_(server), control_(control) {}
  ~ScriptedSession();

  // Sends bytes exactly as given.
  void Send(const std::string& raw);
  // Sends one line with CR LF.
  void Reply(const std::string& line) { Send(line + "\r\n"); }
  void Sleep(int ms);
  // Closes the control connection at once.
  void Drop();
  bool Dropped() const { return control_ < 0; }

  // The data connection: connects to the PORT address, or accepts on the
  // PASV listener. False when it cannot.
  bool OpenData();
  // Opens the listener a PASV reply announces; its port.
  int ListenPassive();
  // Connects the data connection to the address of a PORT argument at once,
  // as some servers do before they answer PORT.
  bool ConnectPort(const std::string& argument);
  // Connects to the PORT address from another local address (such as
  // 127.0.0.2), as a third host would; the handle, or -1.
  int ConnectPortFrom(const std::string& source) const;
  bool DataOpen() const { return data_ >= 0; }
  // False when the client has gone.
  bool SendData(const std::string& bytes);
  std::string ReceiveData();
  void CloseData();

  // Runs the default handling of a command.
  void Default(const std::string& word, const std::string& argument);

 private:
  friend class ScriptedFtpServer;
  bool ReadLine(std::string& line);

  ScriptedFtpServer& server_;
  int control_ = -1;
  std::string pending_;
  int pasv_listener_ = -1;
  int data_ = -1;
  std::string port_address_;
  int port_port_ = 0;
};

class ScriptedFtpServer {
 public:
  using Action = std::function<void(ScriptedSession& session, const std::string& argument)>;

  ScriptedFtpServer();
  ~ScriptedFtpServer();
  ScriptedFtpServer(const ScriptedFtpServer&) = delete;
  ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

  std::string Port() const { return std::to_string(port_); }
  // Raw bytes sent when a client connects; empty means say nothing.
  void SetGreeting(const std::string& raw);
  // The greeting for the n-th connection (counting from 1).
  void SetGreeting(std::function<std::string(int connection)> greeting);
  // A raw reply (sent as given) or an action for a command word.
  void On(const std::string& word, const std::string& raw_reply);
  void On(const std::string& word, Action action);
  void SetListing(const std::string& text);

  // Every command line received, in order, over all connections.
  std::vector<std::string> Commands() const;
  // The command words alone ("USER", "PASS", ...).
  std::vector<std::string> Words() const;
  std::string Stored(const std::string& name) const;
  int Connections() const { return connections_; }

 private:
  friend class ScriptedSession;
  void Serve();
  void RunSession(int control);
  void Record(const std::string& line);
  bool Find(const std::string& word, Action& action, std::string& raw) const;

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> current_{-1};
  mutable std::mutex mutex_;
  std::string greeting_ = "220 Scripted server ready\r\n";
  std::function<std::string(int)> greeting_function_;
  std::map<std::string, Action> actions_;
  std::map<std::string, std::string> replies_;
  std::string listing_;
  std::vector<std::string> commands_;
  std::map<std::string, std::string> stored_;
  std::thread thread_;
};

}  // namespace kestova::testing

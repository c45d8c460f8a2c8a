// Handing a stored password to ssh without a terminal: ssh runs its askpass
// program (SSH_ASKPASS with SSH_ASKPASS_REQUIRE=force), which is Kestova
// itself started with KESTOVA_ASKPASS naming a socket. ssh closes every
// descriptor but the standard three before it starts the helper, so the
// password comes over that socket: a Unix socket in the abstract namespace
// (no file), served by the run for its own user only, one answer per
// connect. It is never on a command line, in an environment or on disk.
#pragma once

#include <memory>
#include <string>

class QSocketNotifier;

namespace kestova {

// The environment variable that makes the program the askpass helper.
constexpr const char* kAskpassVariable = "KESTOVA_ASKPASS";

class AskpassServer {
 public:
  // Listens for the helper; `answers` is how many prompts it answers (ssh
  // asks once per attempt at a password). Listening() is false when it
  // could not.
  AskpassServer(std::string password, int answers);
  ~AskpassServer();
  AskpassServer(const AskpassServer&) = delete;
  AskpassServer& operator=(const AskpassServer&) = delete;

  bool Listening() const { return fd_ >= 0; }
  // The socket's name, for KESTOVA_ASKPASS.
  const std::string& Name() const { return name_; }
  // How many times a helper was answered.
  int Answered() const { return answered_; }

 private:
  void Serve();

  std::string password_;
  std::string name_;
  int fd_ = -1;
  int answers_ = 0;
  int answered_ = 0;
  std::unique_ptr<QSocketNotifier> notifier_;
};

// The helper's side: answers ssh's `prompt` on standard output. A password
// prompt gets the password from the socket `name`; a yes/no question (a
// host key ssh does not know) gets "no". The exit status is 0 when it
// answered.
int RunAskpassHelper(const std::string& name, const std::string& prompt);

}  // namespace kestova

// Answering ssh without a terminal: ssh runs its askpass program
// (SSH_ASKPASS with SSH_ASKPASS_REQUIRE=force), which is Kestova itself
// started with KESTOVA_ASKPASS naming a socket. ssh closes every descriptor
// but the standard three before it starts the helper, so the helper hands
// ssh's question to the run over that socket and prints the run's answer: a
// Unix socket in the abstract namespace (no file), served for this user's
// processes only. A stored password goes that way, at most once per
// connect, never on a command line, in an environment or on disk; a
// question about a host key ssh does not know is answered no, and kept.
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
  // How many times the password was given.
  int Answered() const { return answered_; }
  // ssh's question about a host key it does not know, when it asked one.
  const std::string& HostKeyQuestion() const { return host_key_question_; }

 private:
  void Serve();

  std::string password_;
  std::string name_;
  int fd_ = -1;
  int answers_ = 0;
  int answered_ = 0;
  std::string host_key_question_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

// The helper's side: sends ssh's `prompt` to the socket `name` and prints
// the answer for ssh. The exit status is 0 when there was one.
int RunAskpassHelper(const std::string& name, const std::string& prompt);

}  // namespace kestova

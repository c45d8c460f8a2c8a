// An SFTP session over the user's OpenSSH: `ssh -x -T -s host sftp` runs as
// a child whose standard input and output carry the packets, on the event
// loop (no thread, no busy waiting). OpenSSH brings the user's
// ~/.ssh/config, agent, keys and known_hosts; the session speaks SFTP
// version 3 over it, with ids on every request and several requests in
// flight at once where a transfer wants them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sftp/askpass.h"
#include "sftp/sftp_packet.h"
#include "site/data_stream.h"

class QProcess;

namespace kestova {

// Where and how ssh connects.
struct SshTarget {
  std::string host;
  std::string port;  // empty: ssh's own choice (the config's, else 22)
  std::string user;  // empty: ssh's own choice
  // A private key to offer first; empty for the agent and ssh's defaults.
  std::string key_file;
  // Host keys are checked strictly against these files beside the
  // user's own known_hosts; empty: the user's alone.
  std::vector<std::string> known_hosts;
  // A password to log in with where keys and the agent do not, handed to
  // ssh through the askpass helper (`askpass_program`, this program); empty:
  // ssh may not ask anything, keys and the agent only.
  std::string password;
  std::string askpass_program;
  // Added to ssh's environment (the askpass helper's settings).
  std::vector<std::pair<std::string, std::string>> environment;
  std::string program = "ssh";
  // How long a request may go unanswered.
  std::chrono::milliseconds limit{30000};
};

class SftpSession {
 public:
  SftpSession();
  ~SftpSession();
  SftpSession(const SftpSession&) = delete;
  SftpSession& operator=(const SftpSession&) = delete;

  // Starts ssh and agrees on version 3; false with the reason.
  bool Open(const SshTarget& target);
  // Ends ssh (its input closed, then the process ended).
  void Close();
  bool Connected() const;
  // Why the session ended or the last call failed, for people: the server's
  // status message, or ssh's own last words.
  const std::string& Failure() const { return failure_; }
  // Why the last Open stopped before logging in, when the host's key was
  // the reason: a key ssh does not know, or one that changed.
  struct HostKey {
    enum class Problem { None, Unknown, Changed };
    Problem problem = Problem::None;
    std::string type;         // "ED25519"
    std::string fingerprint;  // "SHA256:..."
  };
  const HostKey& HostKeyRefused() const { return host_key_; }
  // Who the session reached, as ssh told: the server's software
  // ("SSH-2.0-OpenSSH_9.2p1"), its host key, and the known_hosts file that
  // holds the key.
  struct Peer {
    std::string software, key_type, fingerprint, known_in;
  };
  const Peer& Reached() const { return peer_; }
  // The extensions the server named in its VERSION, with their data.
  bool HasExtension(const std::string& name) const { return extensions_.count(name) > 0; }
  // The user stopped: the call under way stops waiting.
  void Interrupt() { interrupted_ = true; }
  bool Interrupted() const { return interrupted_; }
  // The last call failed on this side (a local file that could not be read).
  bool LocalFailure() const { return local_failure_; }

  // A fresh request id.
  std::uint32_t NextId() { return ++last_id_; }
  // Sends a request and waits for its reply; nothing when the session ended.
  std::optional<sftp::Reply> Call(sftp::Request request, std::uint32_t id);
  // Sends without waiting, and waits for the reply of an id sent before.
  bool Send(sftp::Request request, std::uint32_t id);
  std::optional<sftp::Reply> Await(std::uint32_t id);

  // ---- Calls built on those; each answers its status, kOk when done
  // (failure() says why not). A lost session answers kConnectionLost.
  std::uint32_t RealPath(const std::string& path, std::string& resolved);
  std::uint32_t Stat(const std::string& path, sftp::Attributes& attrs);
  std::uint32_t MakeFolder(const std::string& path);
  std::uint32_t RemoveFolder(const std::string& path);
  std::uint32_t Remove(const std::string& path);
  // posix-rename@openssh.com (which replaces the target) where the server
  // offers it and `replace` is asked, else RENAME (which refuses to).
  std::uint32_t Rename(const std::string& from, const std::string& to, bool replace);
  // Every name in a folder.
  std::uint32_t List(const std::string& path, std::vector<sftp::Reply::Name>& names);
  // Writes `source` to `path` (created or emptied), `depth` writes of
  // `block` bytes in flight; `progress` hears the bytes acknowledged.
  std::uint32_t Write(const std::string& path, DataStream& source,
                      const std::function<void(std::int64_t)>& progress = nullptr, int depth = 16,
                      std::size_t block = 32768);
  // Reads `path` into `sink`, `depth` reads of `block` bytes in flight, in
  // the file's order whatever order the replies take; `progress` hears the
  // bytes written. A sink that refuses data fails the call on this side.
  std::uint32_t Read(const std::string& path, DataStream& sink,
                     const std::function<void(std::int64_t)>& progress = nullptr, int depth = 16,
                     std::size_t block = 32768);

 private:
  // Reads what ssh wrote; a stream out of step ends the session.
  void ReadOutput();
  bool TakeReply(const std::string& body);
  void Lost(const std::string& why);
  void JudgeHostKey(const std::string& question, const std::string& host);
  void ReadDiagnostics(const std::string& text);
  std::uint32_t StatusOf(const std::optional<sftp::Reply>& reply, sftp::Type wanted);
  std::uint32_t Simple(sftp::Type type, const std::string& path);
  bool CloseHandle(const std::string& handle);

  std::unique_ptr<QProcess> process_;
  std::unique_ptr<AskpassServer> askpass_;
  sftp::PacketReader reader_;
  std::set<std::uint32_t> pending_;               // sent, not yet answered
  std::map<std::uint32_t, sftp::Reply> replies_;  // arrived, not yet taken
  std::map<std::string, std::string> extensions_;
  std::string failure_;
  std::string ssh_words_;    // what ssh wrote to its standard error, its debug lines left out
  std::string diagnostics_;  // a line of it not ended yet
  Peer peer_;
  std::chrono::milliseconds limit_{30000};
  std::uint32_t last_id_ = 0;
  bool lost_ = true;
  bool version_ = false;  // VERSION came
  bool interrupted_ = false;
  bool local_failure_ = false;
  HostKey host_key_;
};

}  // namespace kestova

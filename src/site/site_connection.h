// What a run needs from a site: typed calls that each name what they work
// on and answer what they came to, listings as typed entries, and no more.
// A transport serves it (FtpSiteConnection for FTP and FTPS); the engine's
// tests use a fake and a site held in memory, which need no server.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/certificate_check.h"
#include "site/data_stream.h"
#include "site/remote_entry.h"

namespace kestova {

// What a call to a site came to, for the retry rule and for people.
struct Outcome {
  enum class Kind {
    Done,
    Refused,         // the server answered no; `reason` holds its words
    ConnectionLost,  // the session went on the way: unknown what reached the server
    LocalFailure,    // it failed on this side, for a reason another attempt cannot mend
    Stopped,         // the user stopped it
  };
  Kind kind = Kind::Done;
  std::string reason;  // why not, for people
  bool Done() const { return kind == Kind::Done; }
  explicit operator bool() const { return Done(); }
};

class SiteConnection {
 public:
  // What a listing asks for: the names alone, the server's long form, or
  // each entry with its facts (type, size, time in UTC).
  enum class Listing { Names, Long, Facts };
  // Which half of a rename the server refused.
  enum class RenameRefusal { None, Source, Target };

  virtual ~SiteConnection() = default;

  // ---- The connection.
  virtual std::string HostName() const = 0;
  // Where it connects to, for people: "host port 21", or the proxy's.
  virtual std::string Endpoint() const = 0;
  // The site is set to an encrypted session (FTP over TLS).
  virtual bool Encrypted() const = 0;
  // The FTP proxy the site goes through; empty for none.
  virtual std::string Proxy() const = 0;
  // The control connection is not closed.
  virtual bool Connected() const = 0;
  // Connects and logs in, through the proxy when one is set.
  virtual Outcome Connect() = 0;
  virtual Outcome Quit() = 0;
  // Drops the connection without sending anything.
  virtual void Drop() = 0;
  // The user stopped the run: the call under way stops waiting.
  virtual void Interrupt() = 0;

  // ---- Calls. Each names what it works on, relative to the current folder
  // unless it is a path, and answers what it came to.
  virtual Outcome ChangeFolder(const std::string& folder) = 0;
  virtual Outcome ParentFolder() = 0;
  virtual Outcome MakeFolder(const std::string& name) = 0;
  virtual Outcome RemoveFolder(const std::string& name) = 0;
  virtual Outcome RemoveFile(const std::string& name) = 0;
  // Renames `from` to `to`; when refused, RefusedHalf says which name the
  // server would not take.
  virtual Outcome Rename(const std::string& from, const std::string& to) = 0;
  virtual RenameRefusal RefusedHalf() const = 0;
  // Whether the files sent next go byte for byte or as text.
  virtual Outcome SetBinary(bool binary) = 0;
  // Sends `source`, or the local file when there is no source, as `name`.
  virtual Outcome Send(const std::string& name, const std::string& local_file, DataStream* source) = 0;
  // Receives the file `name` into `sink`: over FTP in the session's type
  // (binary for a copy byte for byte), over SFTP as it is. A sink that will
  // not take the data fails the call on this side, with why.
  virtual Outcome Receive(const std::string& name, DataStream& sink) = 0;
  // Lists `what` (a name or a folder; the current folder when empty) into
  // `into`: its lines and the entries they name.
  virtual Outcome List(Listing kind, const std::string& what, RemoteListing& into) = 0;
  // A run starts, in the given year and month: listings are read afresh
  // (what was learnt of their layout is forgotten), and a listing that shows
  // recent times without their year is read against that date.
  virtual void StartRun(int year, int month) = 0;
  // Asks what the server can do (ListsFacts tells after it).
  virtual Outcome AskFeatures() = 0;
  // The folder the session is in, as the server names it (empty when its
  // answer names none); nothing when the server refused to say.
  virtual std::optional<std::string> WorkingFolder() = 0;
  // Opens a local file as Send would; nothing, with the reason, when it
  // cannot.
  virtual std::unique_ptr<DataStream> OpenForUpload(const std::string& name, std::string& why) = 0;

  // ---- What the last calls left to be read.
  // The server's last words, for the log.
  virtual const std::string& LastReply() const = 0;
  // It failed because a data connection presented another certificate than
  // the server's: the run must not go on.
  virtual bool DataCertificateRefused() const = 0;
  // Why the last connect failed, where the retry rule must know: another
  // attempt cannot mend a refused login, a server that wants TLS, a host
  // name that does not exist, or a host key that is not known or changed.
  // HostKeyUnknown, HostKeyChanged: the host's key is not one the user
  // trusts (none is known for it, or another one is); nothing was sent.
  enum class Refusal { None, LoginRefused, TlsRequired, HostNotFound, HostKeyUnknown, HostKeyChanged };
  virtual Refusal ConnectRefusal() const = 0;
  // The host key the last connect refused, "ED25519 SHA256:...", empty when
  // none was (and for transports without host keys).
  virtual std::string RefusedHostKey() const { return std::string(); }
  // The system's own words for the socket or resolver error of the last
  // connect ("Connection refused"), empty when the server answered.
  virtual std::string SystemReason() const = 0;
  // The last reply said the server has too many connections.
  virtual bool TooManyConnections() const = 0;
  // The server lists folders with facts (over FTP: MLSD, as its last FEAT
  // said).
  virtual bool ListsFacts() const = 0;
  // Listed times are UTC by the protocol's own definition (SFTP's file
  // times), so no offset to the server's clock needs learning.
  virtual bool TimesInUtc() const = 0;
  // Files can go as text, their line ends changed (FTP's type A); without
  // it every file goes byte for byte.
  virtual bool HasTextMode() const = 0;
  virtual bool Binary() const = 0;
  // After a connect, the log's line on how the session is protected ("Encrypted
  // with TLSv1.3 ...", "Connected over SFTP ..."); empty for plain FTP.
  virtual std::string SessionLine() const = 0;
  // How the server's certificate was judged on the last connect.
  virtual CertificateCheck Certificate() const = 0;
  // Bytes the last transfer moved.
  virtual std::int64_t TransferCount() const = 0;
  // Called with the bytes a file's upload or download has moved so far,
  // while it moves; nothing to stop watching.
  virtual void WatchTransfers(std::function<void(std::int64_t bytes)> watcher) = 0;
};

}  // namespace kestova

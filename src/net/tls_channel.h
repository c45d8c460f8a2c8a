// TLS on one connected socket, as a client, on OpenSSL 3: the handshake, the
// records each way and close_notify, all without blocking. The socket layer
// maps "want read" and "want write" onto its notifiers. A data connection
// resumes the session of its control connection, as FTP servers that check
// it (vsftpd's require_ssl_reuse) ask.
#pragma once

#include <deque>
#include <memory>
#include <string>

struct ssl_ctx_st;
struct ssl_st;
struct ssl_session_st;
struct x509_st;

namespace kestova {

using TlsSession = std::shared_ptr<ssl_session_st>;

// One OpenSSL context: the system's CA store, the versions allowed, and the
// sessions the server hands out, kept so that later connections resume them.
class TlsContext {
 public:
  // `min_version` and `max_version` are OpenSSL's TLS1_2_VERSION and the
  // like; 0 leaves the library's choice (TLS 1.2 and 1.3).
  static std::shared_ptr<TlsContext> Create(int min_version = 0, int max_version = 0);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  ssl_ctx_st* Get() const { return ctx_; }

  // Every session a server hands out on a connection of this context is
  // kept here. Take gives one to resume: a TLS 1.3 session only once (a
  // server may refuse its second use, and vsftpd and proftpd then refuse the
  // data connection), a TLS 1.2 one as often as asked. With none left it
  // gives the last one again, which is still worth a try.
  void Keep(TlsSession session, const void* origin);
  TlsSession Take();
  // A connection that ended without close_notify (cut, reset): servers drop
  // its sessions, and the one it resumed, from their cache, so they are not
  // offered again.
  void Forget(const void* origin, const TlsSession& resumed);

 private:
  struct Kept {
    TlsSession session;
    const void* origin;  // the connection it came on
  };
  TlsContext() = default;
  ssl_ctx_st* ctx_ = nullptr;
  std::deque<Kept> sessions_;  // the newest last
  TlsSession last_taken_;
};

// What the server's certificate says, and whether it verified.
struct CertificateInfo {
  std::string fingerprint;  // SHA-256 of the certificate, "AB:CD:..."
  std::string subject;
  std::string issuer;
  std::string not_before;
  std::string not_after;
  bool verified = false;     // the chain verifies against the system's CA store, for this host
  std::string verify_error;  // why not, in OpenSSL's words
};

// The fingerprint, names and validity of a certificate, as text fit for a
// log line (control characters escaped); `verified` left false.
CertificateInfo ReadCertificate(x509_st* certificate);

struct TlsSettings {
  std::shared_ptr<TlsContext> context;
  // The host the connection is for: sent as SNI (a name) and checked
  // against the certificate (a name or an IPv4 address).
  std::string host;
  // A session to resume (a data connection resumes one its control
  // connection's server handed out); empty for a new one.
  TlsSession resume;
};

class TlsChannel {
 public:
  enum class Result { Done, WantRead, WantWrite, Closed, Failed };

  TlsChannel(int fd, const TlsSettings& settings);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  Result Handshake();
  // At most `size` bytes of plaintext; `got` is how many.
  Result Read(char* buffer, int size, int& got);
  // Writes `size` bytes (or as many records as fit); `put` is how many.
  Result Write(const char* data, int size, int& put);
  // Sends close_notify.
  Result Shutdown();
  // Plaintext already decrypted and waiting inside, which the socket's
  // notifier cannot know of.
  bool Pending() const;

  // The last failure, in words.
  const std::string& Error() const { return error_; }
  std::string Version() const;
  std::string Cipher() const;
  bool Resumed() const;
  CertificateInfo Certificate() const;

 private:
  friend class TlsContext;
  Result Outcome(int code, const char* what);

  ssl_st* ssl_ = nullptr;
  std::shared_ptr<TlsContext> context_;
  TlsSession resumed_;      // the kept session this connection offered
  bool clean_end_ = false;  // close_notify went one way or the other
  std::string host_;
  std::string error_;
};

}  // namespace kestova

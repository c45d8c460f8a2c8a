#include "net/tls_channel.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <csignal>
#include <mutex>

namespace kestova {

namespace {

// A session the server handed out (in TLS 1.3 after the handshake, in its
// own message) is kept by the context of the connection it came on.
int NewSession(SSL* ssl, SSL_SESSION* session);

std::string OpenSslErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

std::string NameText(X509_NAME* name) {
  if (!name) return std::string();
  BIO* bio = BIO_new(BIO_s_mem());
  // RFC 2253 with its escapes for control characters, but UTF-8 left as
  // it is, so that a name in another script reads as written.
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(size));
  BIO_free(bio);
  return text;
}

std::string TimeText(const ASN1_TIME* time) {
  BIO* bio = BIO_new(BIO_s_mem());
  ASN1_TIME_print(bio, time);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<size_t>(size));
  BIO_free(bio);
  return text;
}

std::string Fingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  X509_digest(certificate, EVP_sha256(), digest, &size);
  static const char* const kHex = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    if (i > 0) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

// The address of an IPv4 or IPv6 literal (in brackets or bare), which the
// certificate must name among its IP addresses and which is never sent as
// a server name; empty for a host name.
std::string IpLiteral(const std::string& host) {
  const std::string bare =
      host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, bare.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, bare.c_str(), &v6) == 1) return bare;
  return std::string();
}

}  // namespace

// ---- Context

std::shared_ptr<TlsContext> TlsContext::Create(int min_version, int max_version) {
  // OpenSSL writes to the socket with write(): a peer that has reset the
  // connection would raise SIGPIPE and end the program.
  static std::once_flag ignore_sigpipe;
  std::call_once(ignore_sigpipe, [] { std::signal(SIGPIPE, SIG_IGN); });
  auto context = std::shared_ptr<TlsContext>(new TlsContext);
  context->ctx_ = SSL_CTX_new(TLS_client_method());
  if (!context->ctx_) return nullptr;
  SSL_CTX* ctx = context->ctx_;
  SSL_CTX_set_default_verify_paths(ctx);
  // The certificate is judged after the handshake (verified, or trusted by
  // its fingerprint), so the handshake itself does not stop at it.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_min_proto_version(ctx, min_version ? min_version : TLS1_2_VERSION);
  if (max_version) SSL_CTX_set_max_proto_version(ctx, max_version);
  // A data connection that ends without close_notify is not a truncation
  // attack: its end is confirmed on the protected control connection.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, NewSession);
  SSL_CTX_set_app_data(ctx, context.get());
  return context;
}

void TlsContext::Keep(TlsSession session, const void* origin) {
  constexpr size_t kMostKept = 16;
  sessions_.push_back(Kept{std::move(session), origin});
  if (sessions_.size() > kMostKept) sessions_.pop_front();
}

TlsSession TlsContext::Take() {
  if (sessions_.empty()) return last_taken_;
  last_taken_ = sessions_.back().session;
  if (SSL_SESSION_get_protocol_version(last_taken_.get()) >= TLS1_3_VERSION) sessions_.pop_back();
  return last_taken_;
}

void TlsContext::Forget(const void* origin, const TlsSession& resumed) {
  std::erase_if(sessions_,
                [&](const Kept& kept) { return kept.origin == origin || (resumed && kept.session == resumed); });
  if (resumed && last_taken_ == resumed) last_taken_.reset();
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

namespace {

int NewSession(SSL* ssl, SSL_SESSION* session) {
  auto* context = static_cast<TlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (!context) return 0;
  context->Keep(TlsSession(session, SSL_SESSION_free), ssl);
  return 1;  // the reference is ours now
}

}  // namespace

// ---- Channel

TlsChannel::TlsChannel(int fd, const TlsSettings& settings)
    : context_(settings.context), resumed_(settings.resume), host_(settings.host) {
  ssl_ = SSL_new(settings.context->Get());
  if (!ssl_) {
    error_ = OpenSslErrors();
    return;
  }
  SSL_set_fd(ssl_, fd);
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
  if (const std::string ip = IpLiteral(host_); !ip.empty()) {
    X509_VERIFY_PARAM_set1_ip_asc(param, ip.c_str());
  } else if (!host_.empty()) {
    SSL_set_tlsext_host_name(ssl_, host_.c_str());
    X509_VERIFY_PARAM_set1_host(param, host_.c_str(), 0);
  }
  if (settings.resume) {
    // A copy: the connection that resumes a session writes into it, and the
    // kept one must stay as the server issued it for its next use.
    SSL_SESSION* copy = SSL_SESSION_dup(settings.resume.get());
    if (copy) {
      SSL_set_session(ssl_, copy);
      SSL_SESSION_free(copy);
    }
  }
}

TlsChannel::~TlsChannel() {
  if (ssl_ && context_ && !clean_end_) context_->Forget(ssl_, resumed_);
  if (ssl_) SSL_free(ssl_);
}

TlsChannel::Result TlsChannel::Outcome(int code, const char* what) {
  const int error = SSL_get_error(ssl_, code);
  switch (error) {
    case SSL_ERROR_WANT_READ: return Result::WantRead;
    case SSL_ERROR_WANT_WRITE: return Result::WantWrite;
    case SSL_ERROR_ZERO_RETURN: return Result::Closed;
    default: break;
  }
  const std::string details = OpenSslErrors();
  error_ = std::string(what) + " failed" + (details.empty() ? std::string() : ": " + details);
  return Result::Failed;
}

TlsChannel::Result TlsChannel::Handshake() {
  if (!ssl_) return Result::Failed;
  ERR_clear_error();
  const int code = SSL_connect(ssl_);
  return code == 1 ? Result::Done : Outcome(code, "TLS handshake");
}

TlsChannel::Result TlsChannel::Read(char* buffer, int size, int& got) {
  got = 0;
  ERR_clear_error();
  size_t read = 0;
  const int code = SSL_read_ex(ssl_, buffer, static_cast<size_t>(size), &read);
  if (code == 1) {
    got = static_cast<int>(read);
    return Result::Done;
  }
  const Result result = Outcome(code, "TLS read");
  if (result == Result::Closed) clean_end_ = true;
  return result;
}

TlsChannel::Result TlsChannel::Write(const char* data, int size, int& put) {
  put = 0;
  ERR_clear_error();
  size_t written = 0;
  const int code = SSL_write_ex(ssl_, data, static_cast<size_t>(size), &written);
  if (code == 1) {
    put = static_cast<int>(written);
    return Result::Done;
  }
  return Outcome(code, "TLS write");
}

TlsChannel::Result TlsChannel::Shutdown() {
  ERR_clear_error();
  const int code = SSL_shutdown(ssl_);
  // 0: close_notify went out; the peer's is not awaited.
  if (code >= 0) clean_end_ = true;
  return code >= 0 ? Result::Done : Outcome(code, "TLS close");
}

bool TlsChannel::Pending() const { return ssl_ && SSL_pending(ssl_) > 0; }

std::string TlsChannel::Version() const { return ssl_ ? SSL_get_version(ssl_) : std::string(); }

std::string TlsChannel::Cipher() const { return ssl_ ? SSL_get_cipher_name(ssl_) : std::string(); }

bool TlsChannel::Resumed() const { return ssl_ && SSL_session_reused(ssl_) == 1; }

CertificateInfo ReadCertificate(X509* certificate) {
  CertificateInfo info;
  info.fingerprint = Fingerprint(certificate);
  info.subject = NameText(X509_get_subject_name(certificate));
  info.issuer = NameText(X509_get_issuer_name(certificate));
  info.not_before = TimeText(X509_get0_notBefore(certificate));
  info.not_after = TimeText(X509_get0_notAfter(certificate));
  return info;
}

CertificateInfo TlsChannel::Certificate() const {
  X509* certificate = ssl_ ? SSL_get1_peer_certificate(ssl_) : nullptr;
  if (!certificate) {
    CertificateInfo info;
    info.verify_error = "the server sent no certificate";
    return info;
  }
  CertificateInfo info = ReadCertificate(certificate);
  const long result = SSL_get_verify_result(ssl_);
  info.verified = result == X509_V_OK;
  if (!info.verified) info.verify_error = X509_verify_cert_error_string(result);
  X509_free(certificate);
  return info;
}

}  // namespace kestova

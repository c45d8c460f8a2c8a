// The client's session: the control connection from the host lookup to the
// greeting, the login steps, TLS on the control connection, and how the
// session ends. The requests that run on it are ftp_client_core.cpp's.
#include "common/text_helpers.h"
#include "ftp/ftp_client_core.h"
#include "ftp/ftp_reply.h"
#include "platform/socket_errors.h"

namespace kestova {

namespace {

std::string WinsockLine(const std::string& prefix, int error) {
  return prefix + SocketErrorText(error) + " (Winsock error #" + std::to_string(error) + ")";
}

}  // namespace

// ---- Control connection

bool FtpClientCore::OpenStep() {
  if (!CheckReady()) return false;
  if (control_.Open()) return ReportError("FTP component already connected");
  if (!in_combined_) RequestCode = FtpRequest::ftpOpen;
  RequestResult = 0;
  ChangeState(FtpClientState::ftpStResolving);
  multiline_code_ = 0;
  ConnectError = 0;
  const bool proxy = connection_type_ == FtpConnectionType::ftpProxy;
  certificate_ = CertificateCheck();
  tls_summary_.clear();
  if (Secure()) {
    // The proxy's login form (USER user@host) goes to the proxy, which
    // cannot pass a TLS session through to the server.
    if (proxy) return ReportError("FTP over TLS cannot go through an FTP proxy");
    tls_context_ = TlsContext::Create(TlsMinVersion, TlsMaxVersion);
    if (!tls_context_) return ReportError("TLS is not available: OpenSSL could not make a context");
  }
  control_.AcceptBareLf = (Options & ftpAcceptLF) != 0;
  try {
    control_.Lookup(proxy ? ProxyServer : HostName);
  } catch (const std::exception& error) {
    FailRequest({.line = std::string("500 ESocketException: ") + error.what()});
  }
  return true;
}

bool FtpClientCore::AuthStep() { return StartCommand(FtpRequest::ftpConnect, "AUTH TLS", {234}, Answer::StartsTls); }

bool FtpClientCore::UserStep() {
  if (UserName.empty()) return ReportError("UserName empty");
  std::string command = "USER " + UserName;
  if (connection_type_ == FtpConnectionType::ftpProxy) {
    // The proxy learns where to go from the user name.
    command += "@" + HostName;
    if (!SameText(Port, "ftp") && Port != "21") command += ":" + Port;
  }
  return StartCommand(FtpRequest::ftpUser, command, {331, 230});
}

bool FtpClientCore::PassStep() {
  if (PassWord.empty()) return ReportError("Password empty");
  return StartCommand(FtpRequest::ftpPass, "PASS " + PassWord, {230});
}

bool FtpClientCore::PortStep() {
  const Step next = pending_steps_.empty() ? Step::List : pending_steps_.front();
  const auto kind = next == Step::Stor ? DataTransfer::Kind::Upload : DataTransfer::Kind::Receive;
  return StartCommand(FtpRequest::ftpPort, transfer_.Prepare(kind), {200, 227, 229});
}

void FtpClientCore::ControlLookupDone(int error) {
  if (state_ != FtpClientState::ftpStResolving) return;
  if (error != 0) {
    ConnectError = error;
    return FailRequest({.line = WinsockLine("500 ", error), .finish = error});
  }
  const bool proxy = connection_type_ == FtpConnectionType::ftpProxy;
  try {
    ChangeState(FtpClientState::ftpStConnecting);
    control_.Connect(proxy && !ProxyPort.empty() ? ProxyPort : Port, LocalAddr);
  } catch (const std::exception& exception) {
    ConnectError = 500;
    FailRequest({.line = std::string("500 ESocketException: ") + exception.what()});
  }
}

void FtpClientCore::ControlConnected(int error) {
  if (state_ != FtpClientState::ftpStConnecting) return;
  // Implicit TLS: the handshake comes first, the greeting after it.
  if (error == 0 && Security == FtpSecurity::Implicit) return StartControlTls();
  if (error == 0) return;
  ConnectError = error;
  FailRequest({.line = WinsockLine("500 ", error), .finish = error});
  control_.Close();
  ChangeState(FtpClientState::ftpStReady);
}

// Bytes that can never make a reply line fail the request and end the
// session, rather than stall it.
void FtpClientCore::ControlUnreadable(const std::string& why) {
  Trace("< 500 Invalid reply from the server: " + why);
  FailRequest({.line = "500 Invalid reply from the server: " + why, .end_session = true});
}

// Whether a line ends the reply it belongs to. A reply whose first line is
// "NNN-" ends only at a line that begins with the same code followed by a
// space (RFC 959, 4.2): the lines between are its text, whatever they begin
// with, so that a banner line such as "100 MB quota" cannot end it early.
bool FtpClientCore::EndsReply(const ReplyCodeInfo& info) {
  if (multiline_code_ != 0) {
    const std::string code = std::to_string(multiline_code_);
    if (LastReply.compare(0, code.size(), code) != 0 ||
        (LastReply.size() > code.size() && LastReply[code.size()] != ' ')) {
      return false;
    }
    multiline_code_ = 0;
    return true;
  }
  const bool coded = !LastReply.empty() && info.has_digits;
  if (coded && info.intermediate) multiline_code_ = info.code;
  return coded && !info.intermediate;
}

void FtpClientCore::ControlLine(std::string line) {
  LastReply = std::move(line);
  if (const auto handler = OnResponse) handler(*this);
  const ReplyCodeInfo info = ParseReplyCode(LastReply);
  const bool last = EndsReply(info);
  if (state_ == FtpClientState::ftpStConnecting) return Greeting(info, last);
  if (state_ != FtpClientState::ftpStAwaitingReply) return Trace("< " + LastReply);
  if (!last) {
    // The body of a multi-line reply (at most a few hundred lines kept).
    if (expected_ == Reply::Command && FeatureLines.size() < 500 && !info.has_digits) FeatureLines.push_back(LastReply);
    return Trace("< " + LastReply);
  }
  ReplyCode = info.code;
  switch (expected_) {
    case Reply::Command: return EvaluateCommandReply();
    case Reply::TransferFirst: return transfer_.FirstReply();
    case Reply::TransferSecond: return transfer_.SecondReply();
    case Reply::None: break;
  }
  Trace("< " + LastReply);
  try {
    ReportError("Program error: no reply handler");
  } catch (const FtpException&) {
  }
}

void FtpClientCore::Greeting(const ReplyCodeInfo& info, bool last) {
  Trace("< " + LastReply);
  if (!last) return;
  ReplyCode = info.code;
  if (ReplyCode != 220) {
    // The close finishes the request with this code (too many connections,
    // for instance).
    KeepErrorMessage();
    RequestResult = ReplyCode;
    control_.Close();
    return;
  }
  ChangeState(FtpClientState::ftpStGreeted);
  if (const auto handler = OnSessionConnected) handler(*this, 0);
  FinishRequest(0);
}

void FtpClientCore::ControlClosed(int error, bool was_open) {
  const FtpClientState before = state_;
  multiline_code_ = 0;
  if (was_open) {
    if (state_ != FtpClientState::ftpStAborting) ChangeState(FtpClientState::ftpStClosed);
    if (const auto handler = OnSessionClosed) handler(*this, error);
  }
  if (state_ != FtpClientState::ftpStAborting) ChangeState(FtpClientState::ftpStStepReady);
  if (error != 0) {
    SetComposedReply(WinsockLine("500 Control connection closed. ", error));
    RequestResult = 500;
    KeepErrorMessage();
  } else if (before == FtpClientState::ftpStAwaitingReply && !closing_ && !done_once_) {
    // The server went away while a reply was still owed.
    SetComposedReply("500 Control connection closed.");
    RequestResult = 500;
    KeepErrorMessage();
  }
  Expect(Reply::None);
  FinishRequest(RequestResult);
}

// ---- TLS on the control connection

void FtpClientCore::StartControlTls() {
  Expect(Reply::None);
  try {
    control_.StartTls(TlsSettings{tls_context_, HostName, nullptr});
  } catch (const std::exception& error) {
    FailSecurity(std::string("500 TLS could not start: ") + error.what(), false);
  }
}

// The handshake has ended: the certificate decides whether the session goes
// on. Nothing else (no USER, no PASS) is sent before it is accepted.
void FtpClientCore::ControlSecured(int error) {
  const TlsChannel* tls = control_.Socket().Tls();
  if (error != 0 || !tls) {
    // Worth another attempt: a connection cut during the handshake looks
    // the same.
    return FailSecurity("500 TLS handshake failed: " + control_.Socket().TlsError(), false);
  }
  certificate_ = JudgeCertificate(tls->Certificate(), TrustedFingerprint);
  if (!certificate_.Accepted()) {
    for (const std::string& line : DescribeCertificate(certificate_)) Trace("! " + line);
    return FailSecurity("500 " + RefusalLine(certificate_), true);
  }
  tls_summary_ = SecuritySummary(tls->Version(), tls->Cipher(), certificate_);
  Trace("! " + tls_summary_);
  // Explicit TLS: the AUTH step is done. Implicit: the greeting follows.
  if (Security == FtpSecurity::Explicit) FinishRequest(0);
}

// The connect fails and the connection closes without another word; when
// `for_good`, another attempt could only fail the same way.
void FtpClientCore::FailSecurity(const std::string& line, bool for_good) {
  Trace("! " + line);
  FailRequest({.line = line, .code = ParseReplyCode(line).code, .local = for_good, .end_session = true});
}

// The server refused AUTH TLS, PBSZ or PROT P. A refusal for good (5xx)
// ends the connect, and no attempt falls back to plain FTP.
void FtpClientCore::AuthRefused() {
  if (ReplyCode < 500) return;
  LocalFailure = true;
  ErrorMessage += sent_command_ == "AUTH TLS"
                      ? " (the server refused AUTH TLS: it does not offer FTP over TLS, and Kestova does not fall "
                        "back to plain FTP)"
                      : " (the server refused " + sent_command_ +
                            ": it does not protect data connections, and Kestova sends no data in clear on a "
                            "TLS site)";
}

TlsSettings FtpClientCore::DataTlsSettings() const {
  return TlsSettings{tls_context_, HostName, tls_context_ ? tls_context_->Take() : nullptr};
}

}  // namespace kestova

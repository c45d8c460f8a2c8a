#include "ftp/ftp_client_core.h"

#include <algorithm>
#include <cstring>

#include "common/text_helpers.h"
#include "ftp/ftp_reply.h"
#include "net/resolve.h"

namespace kestova {

namespace {

std::string WinsockLine(const std::string& prefix, int error) {
  return prefix + SocketErrorText(error) + " (Winsock error #" + std::to_string(error) + ")";
}

}  // namespace

const char* FtpStateName(FtpClientState state) {
  switch (state) {
    case FtpClientState::ftpStClosed: return "ftpStClosed";
    case FtpClientState::ftpStReady: return "ftpStReady";
    case FtpClientState::ftpStStepReady: return "ftpStStepReady";
    case FtpClientState::ftpStResolving: return "ftpStResolving";
    case FtpClientState::ftpStGreeted: return "ftpStGreeted";
    case FtpClientState::ftpStAborting: return "ftpStAborting";
    case FtpClientState::ftpStConnecting: return "ftpStConnecting";
    case FtpClientState::ftpStAwaitingReply: return "ftpStAwaitingReply";
    case FtpClientState::ftpStPassiveReady: return "ftpStPassiveReady";
  }
  return "?";
}

FtpClientCore::FtpClientCore() {
  control_.OnDnsLookupDone = [this](AsyncSocket&, int error) { ControlLookupDone(error); };
  control_.OnSessionConnected = [this](AsyncSocket&, int error) { ControlConnected(error); };
  control_.OnDataAvailable = [this](AsyncSocket&, int) { ControlDataAvailable(); };
  control_.OnSessionClosed = [this](AsyncSocket&, int error) { ControlClosed(error); };
}

FtpClientCore::~FtpClientCore() {
  control_.OnDnsLookupDone = nullptr;
  control_.OnSessionConnected = nullptr;
  control_.OnDataAvailable = nullptr;
  control_.OnSessionClosed = nullptr;
  ClearDataHandlers();
  ReleaseLocalStream();
}

// ---- Settings

void FtpClientCore::SetConnectionType(FtpConnectionType type) {
  if (control_open_) {
    ReportError("FTP component connected");
    return;
  }
  connection_type_ = type;
  if (type != FtpConnectionType::ftpDirect) passive_ = true;
}

void FtpClientCore::SetPassive(bool passive) {
  passive_ = connection_type_ == FtpConnectionType::ftpDirect ? passive : true;
}

FtpShareMode FtpClientCore::ShareMode() const {
  switch (share_flags_) {
    case 0x00: return FtpShareMode::ftpShareCompat;
    case 0x20: return FtpShareMode::ftpShareDenyWrite;
    case 0x30: return FtpShareMode::ftpShareDenyRead;
    case 0x40: return FtpShareMode::ftpShareDenyNone;
    default: return FtpShareMode::ftpShareExclusive;
  }
}

void FtpClientCore::SetShareMode(FtpShareMode mode) {
  switch (mode) {
    case FtpShareMode::ftpShareCompat: share_flags_ = 0x00; break;
    case FtpShareMode::ftpShareDenyWrite: share_flags_ = 0x20; break;
    case FtpShareMode::ftpShareDenyRead: share_flags_ = 0x30; break;
    case FtpShareMode::ftpShareDenyNone: share_flags_ = 0x40; break;
    default: share_flags_ = 0x10; break;
  }
}

void FtpClientCore::SetLocalFileName(const std::string& name) {
  local_file_name_ = name;
  if (!name.empty() && caller_stream_) {
    caller_stream_ = false;
    local_stream_ = nullptr;
  }
}

void FtpClientCore::SetLocalStream(DataStream* stream) {
  owned_stream_.reset();
  local_stream_ = stream;
  caller_stream_ = stream != nullptr;
  if (stream) local_file_name_.clear();
}

void FtpClientCore::ReleaseLocalStream() {
  if (local_stream_ && !caller_stream_) {
    owned_stream_.reset();
    local_stream_ = nullptr;
  }
}

// ---- Request machinery

bool FtpClientCore::CheckReady() {
  if (state_ == FtpClientState::ftpStReady || state_ == FtpClientState::ftpStStepReady ||
      state_ == FtpClientState::ftpStPassiveReady) {
    return true;
  }
  return ReportError("FTP component not ready");
}

bool FtpClientCore::ReportError(const std::string& message) {
  last_report_ = message;
  if (const auto handler = OnError) {
    std::string text = message;
    handler(*this, text);
    return false;
  }
  throw FtpException(message);
}

void FtpClientCore::KeepErrorMessage() {
  if (ErrorMessage.empty()) ErrorMessage = LastReply;
}

void FtpClientCore::ChangeState(FtpClientState state) {
  if (state_ == state) return;
  state_ = state;
  if (const auto handler = OnStateChange) handler(*this);
}

void FtpClientCore::Trace(const std::string& line) {
  if (const auto handler = OnDisplay) {
    std::string text = line;
    handler(*this, text);
  }
}

void FtpClientCore::SetComposedReply(const std::string& line) {
  LastReply = line;
  ReplyCode = ParseReplyCode(line).code;
}

bool FtpClientCore::SendCommand(const std::string& command) {
  std::string text = command;
  if (const auto handler = OnCommand) handler(*this, text);
  // Every command is one line ended by CR LF (RFC 959, section 4.1.3): a CR,
  // LF or NUL inside it would end it early and let the rest, a file name
  // for instance, be read by the server as further commands.
  if (HoldsLineBreak(text)) {
    Trace("! Refused to send \"" + EscapeControls(text) + "\": a command line cannot hold CR, LF or NUL");
    return false;
  }
  Trace("> " + text);
  // Commands on a connection that is not up are traced but not sent; the
  // request then waits for the blocking layer's timeout.
  if (control_.State() == SocketState::wsConnected) control_.SendText(text + "\r\n");
  return true;
}

// A command that could not be sent ends its request at once, and no retry
// can send it either.
void FtpClientCore::RefuseCommand() {
  LocalFailure = true;
  reply_handler_ = nullptr;
  after_reply_ = nullptr;
  ReleaseLocalStream();
  FailRequest("500 Command not sent: it holds a line break or NUL", 500);
}

bool FtpClientCore::StartCommand(FtpRequest code, const std::string& command, std::vector<int> accepted,
                                 Handler after_reply) {
  if (command != "ABOR" && command != "STAT" && command != "QUIT") {
    if (!CheckReady()) return false;
    if (!control_open_) return ReportError("FTP component not connected");
  }
  if (!in_combined_) {
    RequestCode = code;
    LocalFailure = false;
  }
  if (accepted.size() > 16) accepted.resize(16);
  accepted_ = std::move(accepted);
  done_once_ = false;
  reply_handler_ = &FtpClientCore::EvaluateCommandReply;
  after_reply_ = after_reply;
  pending_command_ = command;
  ErrorMessage.clear();
  ChangeState(FtpClientState::ftpStAwaitingReply);
  if (!SendCommand(command)) RefuseCommand();
  return true;
}

void FtpClientCore::EvaluateCommandReply() {
  Trace("< " + LastReply);
  reply_handler_ = nullptr;
  const bool accepted = accepted_.empty()
                            ? ReplyCode < 500
                            : std::find(accepted_.begin(), accepted_.end(), ReplyCode) != accepted_.end();
  if (accepted) {
    RequestResult = 0;
  } else {
    RequestResult = ReplyCode;
    KeepErrorMessage();
  }
  if (passive_ && ReplyCode == 227) {
    ChangeState(FtpClientState::ftpStPassiveReady);
    PasvReply = LastReply;
  }
  const std::string word = FoldCase(pending_command_.substr(0, pending_command_.find(' ')));
  if (RequestResult == 0 && (word == "cwd" || word == "mkd" || word == "pwd" || word == "cdup")) {
    ReplyPath = ParseReplyPath(LastReply);
  }
  if (after_reply_) {
    const Handler after = after_reply_;
    after_reply_ = nullptr;
    (this->*after)();
    return;
  }
  FinishRequest(RequestResult);
}

void FtpClientCore::QuitReplied() {
  // The client ends the session whatever the reply; the close finishes the
  // request.
  control_.Close();
  if (!done_once_) FinishRequest(RequestResult);
}

bool FtpClientCore::StartCombined(FtpRequest code, std::vector<Step> steps) {
  if (control_open_ && std::find(steps.begin(), steps.end(), Step::Open) != steps.end()) {
    return ReportError("FTP component already connected");
  }
  if (!CheckReady()) return false;
  saved_reply_ = LastReply;
  saved_code_ = -1;
  RequestCode = code;
  RequestResult = 0;
  LocalFailure = false;
  pending_steps_ = std::move(steps);
  step_running_ = false;
  combined_result_ = 0;
  in_combined_ = true;
  LastReply.clear();
  ErrorMessage.clear();
  continuation_ = false;
  bool started = false;
  try {
    started = NextStep(true);
  } catch (...) {
    started = false;
    AbandonStart();
    throw;
  }
  if (!started) AbandonStart();
  return started;
}

// The first step of a combined request was refused before anything was
// sent: the request never started, and nothing it prepared stays open.
void FtpClientCore::AbandonStart() {
  in_combined_ = false;
  continuation_ = false;
  pending_steps_.clear();
  if (data_.State() != SocketState::wsClosed) data_.Close();
  ClearDataHandlers();
}

bool FtpClientCore::NextStep(bool starting) {
  if (state_ == FtpClientState::ftpStAborting) {
    pending_steps_.clear();
    combined_result_ = 426;
    ErrorMessage = "426 Operation aborted.";
  }
  continuation_ = true;
  const bool had_step = step_running_;
  const Step previous = current_step_;
  if (RequestResult != 0) {
    combined_result_ = RequestResult;
    const bool quit_pending =
        std::find(pending_steps_.begin(), pending_steps_.end(), Step::Quit) != pending_steps_.end();
    pending_steps_.clear();
    if (quit_pending && previous != Step::Quit) pending_steps_.push_back(Step::Quit);
  }
  while (!pending_steps_.empty()) {
    const Step step = pending_steps_.front();
    pending_steps_.erase(pending_steps_.begin());
    // After 230 to USER there is no password to send.
    if (step == Step::Pass && had_step && previous == Step::User && ReplyCode != 331) continue;
    if (step == Step::Cwd && HostDirName.empty()) continue;
    if (step == Step::Quit) {
      saved_reply_ = LastReply;
      saved_code_ = ReplyCode;
    }
    current_step_ = step;
    step_running_ = true;
    bool started = false;
    try {
      started = StartStep(step);
    } catch (const std::exception& error) {
      if (starting) throw;
      last_report_ = error.what();
    }
    if (started) return true;
    if (starting) return false;
    // A later step refused as it starts ends the request at once, as a
    // failure whose reason is in ErrorMessage.
    continuation_ = false;
    pending_steps_.clear();
    ErrorMessage = last_report_;
    RequestResult = 500;
    done_once_ = false;
    FinishRequest(500);
    return true;
  }
  continuation_ = false;
  done_once_ = false;
  FinishRequest(combined_result_);
  return true;
}

bool FtpClientCore::StartStep(Step step) {
  switch (step) {
    case Step::Open: return OpenStep();
    case Step::User: return UserStep();
    case Step::Pass: return PassStep();
    case Step::Cwd: return StartCommand(FtpRequest::ftpCwd, "CWD " + HostDirName, {200, 250, 257});
    case Step::Port: return PortStep();
    case Step::Stor: return UploadStep();
    case Step::List: return ReceiveStep("LIST");
    case Step::Nlst: return ReceiveStep("NLST");
    case Step::Quit:
      return StartCommand(FtpRequest::ftpQuit, "QUIT", {221}, &FtpClientCore::QuitReplied);
  }
  return false;
}

void FtpClientCore::FinishRequest(int error) {
  if (done_once_) return;
  done_once_ = true;
  if (error == 0 && continuation_) {
    if (state_ != FtpClientState::ftpStAborting && state_ != FtpClientState::ftpStPassiveReady) {
      ChangeState(FtpClientState::ftpStStepReady);
    }
    NextStep(false);
    return;
  }
  ChangeState(FtpClientState::ftpStReady);
  if (data_.State() != SocketState::wsClosed) data_.Close();
  // The QUIT that ends a combined request does not hide the reply that
  // mattered.
  if (in_combined_ && saved_code_ >= 0) {
    LastReply = saved_reply_;
    ReplyCode = saved_code_;
  }
  in_combined_ = false;
  continuation_ = false;
  PostRequestDone(error);
}

void FtpClientCore::FailRequest(const std::string& composed, int code) {
  SetComposedReply(composed);
  ReplyCode = code;
  RequestResult = code;
  KeepErrorMessage();
  continuation_ = false;
  FinishRequest(code);
}

void FtpClientCore::PostRequestDone(int error) {
  QMetaObject::invokeMethod(
      &notices_,
      [this, error] {
        const auto handler = OnRequestDone;
        if (!handler) return;
        try {
          handler(*this, RequestCode, error);
        } catch (const std::exception& exception) {
          bool can_close = true;
          if (const auto bg = OnBgException) {
            try {
              bg(*this, exception, can_close);
            } catch (...) {
            }
          }
        }
      },
      Qt::QueuedConnection);
}

// ---- Operations

bool FtpClientCore::StartConnect() { return StartCombined(FtpRequest::ftpConnect, {Step::Open, Step::User, Step::Pass}); }

bool FtpClientCore::StartQuit() {
  ReleaseLocalStream();
  return StartCommand(FtpRequest::ftpQuit, "QUIT", {221}, &FtpClientCore::QuitReplied);
}

bool FtpClientCore::StartCwd() {
  if (HostDirName.empty()) return ReportError("HostDirName empty");
  return StartCommand(FtpRequest::ftpCwd, "CWD " + HostDirName, {200, 250, 257});
}

bool FtpClientCore::StartCDup() { return StartCommand(FtpRequest::ftpCDup, "CDUP", {250, 257}); }
bool FtpClientCore::StartPwd() { return StartCommand(FtpRequest::ftpPwd, "PWD", {250, 257}); }
bool FtpClientCore::StartMkd() { return StartCommand(FtpRequest::ftpMkd, "MKD " + HostFileName, {250, 257}); }
bool FtpClientCore::StartRmd() { return StartCommand(FtpRequest::ftpRmd, "RMD " + HostFileName, {250, 257}); }
bool FtpClientCore::StartDele() { return StartCommand(FtpRequest::ftpDele, "DELE " + HostFileName, {250, 257}); }

bool FtpClientCore::StartTypeBinary() {
  type_ = 'I';
  return StartCommand(FtpRequest::ftpTypeSet, "TYPE I", {200});
}

bool FtpClientCore::StartTypeAscii() {
  type_ = 'A';
  return StartCommand(FtpRequest::ftpTypeSet, "TYPE A", {200});
}

bool FtpClientCore::StartPut() { return StartCombined(FtpRequest::ftpPut, {Step::Port, Step::Stor}); }
bool FtpClientCore::StartDir() { return StartCombined(FtpRequest::ftpDir, {Step::Port, Step::List}); }
bool FtpClientCore::StartLs() { return StartCombined(FtpRequest::ftpLs, {Step::Port, Step::Nlst}); }

void FtpClientCore::Abort() {
  const bool resolving = state_ == FtpClientState::ftpStResolving;
  ChangeState(FtpClientState::ftpStAborting);
  ReleaseLocalStream();
  ++transfer_id_;
  if (resolving) control_.CancelLookup();
  if (control_.State() != SocketState::wsClosed) control_.Close();
  if (data_.State() != SocketState::wsClosed) data_.Close();
  ReleaseLocalStream();
  control_open_ = false;
  reader_.Clear();
  reply_handler_ = nullptr;
  ChangeState(FtpClientState::ftpStReady);
}

// ---- Control connection

bool FtpClientCore::OpenStep() {
  if (!CheckReady()) return false;
  if (control_open_) return ReportError("FTP component already connected");
  if (!in_combined_) RequestCode = FtpRequest::ftpOpen;
  done_once_ = false;
  reader_.Clear();
  RequestResult = 0;
  // A control socket left half-open by an earlier failure is dropped.
  if (control_.State() != SocketState::wsClosed) control_.Abort();
  ChangeState(FtpClientState::ftpStResolving);
  const bool proxy = connection_type_ == FtpConnectionType::ftpProxy;
  try {
    control_.DnsLookup(proxy ? ProxyServer : HostName);
  } catch (const std::exception& error) {
    FailRequest(std::string("500 ESocketException: ") + error.what(), 500);
  }
  return true;
}

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

void FtpClientCore::ControlLookupDone(int error) {
  if (state_ != FtpClientState::ftpStResolving) return;
  if (error != 0) {
    SetComposedReply(WinsockLine("500 ", error));
    RequestResult = 500;
    KeepErrorMessage();
    FinishRequest(error);
    return;
  }
  const bool proxy = connection_type_ == FtpConnectionType::ftpProxy;
  try {
    control_.SetAddr(control_.DnsResult());
    control_.SetLocalAddr(LocalAddr);
    control_.SetProto("tcp");
    control_.SetPort(proxy && !ProxyPort.empty() ? ProxyPort : Port);
    ChangeState(FtpClientState::ftpStConnecting);
    control_.Connect();
  } catch (const std::exception& exception) {
    SetComposedReply(std::string("500 ESocketException: ") + exception.what());
    RequestResult = 500;
    KeepErrorMessage();
    FinishRequest(500);
  }
}

void FtpClientCore::ControlConnected(int error) {
  if (state_ != FtpClientState::ftpStConnecting) return;
  if (error != 0) {
    SetComposedReply(WinsockLine("500 ", error));
    RequestResult = 500;
    KeepErrorMessage();
    continuation_ = false;
    FinishRequest(error);
    control_.Close();
    ChangeState(FtpClientState::ftpStReady);
    return;
  }
  control_open_ = true;
}

void FtpClientCore::ControlDataAvailable() {
  char chunk[ReplyReader::kCapacity];
  const int got = control_.Receive(chunk, static_cast<int>(reader_.Room()));
  if (got <= 0) return;
  if (reader_.Append(chunk, static_cast<size_t>(got)) == ReplyReader::Status::ZeroByte) {
    return RejectReplyBuffer("a zero byte");
  }
  for (;;) {
    std::optional<std::string> line = reader_.NextLine((Options & ftpAcceptLF) != 0);
    if (!line) {
      if (reader_.Check() == ReplyReader::Status::TooLong) RejectReplyBuffer("a line longer than 4095 bytes");
      return;
    }
    LastReply = std::move(*line);
    if (const auto handler = OnResponse) handler(*this);
    HandleReplyLine();
    if (control_.State() != SocketState::wsConnected) {
      reader_.Clear();
      return;
    }
  }
}

void FtpClientCore::RejectReplyBuffer(const std::string& why) {
  reader_.Clear();
  SetComposedReply("500 Invalid reply from the server: " + why);
  Trace("< " + LastReply);
  RequestResult = 500;
  KeepErrorMessage();
  continuation_ = false;
  reply_handler_ = nullptr;
  pending_command_ = "QUIT";  // the close below is ours, not a lost connection
  FinishRequest(500);
  control_.Close();
}

void FtpClientCore::HandleReplyLine() {
  if (state_ == FtpClientState::ftpStConnecting) return Greeting();
  if (state_ != FtpClientState::ftpStAwaitingReply) return Trace("< " + LastReply);
  const ReplyCodeInfo info = ParseReplyCode(LastReply);
  if (LastReply.empty() || !info.has_digits || info.intermediate) return Trace("< " + LastReply);
  ReplyCode = info.code;
  if (!reply_handler_) {
    Trace("< " + LastReply);
    try {
      ReportError("Program error: no reply handler");
    } catch (const FtpException&) {
    }
    return;
  }
  const Handler handler = reply_handler_;
  (this->*handler)();
}

void FtpClientCore::Greeting() {
  Trace("< " + LastReply);
  const ReplyCodeInfo info = ParseReplyCode(LastReply);
  if (LastReply.empty() || !info.has_digits || info.intermediate) return;
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

void FtpClientCore::ControlClosed(int error) {
  const FtpClientState before = state_;
  if (control_open_) {
    control_open_ = false;
    if (state_ != FtpClientState::ftpStAborting) ChangeState(FtpClientState::ftpStClosed);
    if (const auto handler = OnSessionClosed) handler(*this, error);
  }
  if (state_ != FtpClientState::ftpStAborting) ChangeState(FtpClientState::ftpStStepReady);
  if (error != 0) {
    SetComposedReply(WinsockLine("500 Control connection closed. ", error));
    RequestResult = 500;
    KeepErrorMessage();
  } else if (before == FtpClientState::ftpStAwaitingReply && pending_command_ != "QUIT" && !done_once_) {
    // The server went away while a reply was still owed.
    SetComposedReply("500 Control connection closed.");
    RequestResult = 500;
    KeepErrorMessage();
  }
  reply_handler_ = nullptr;
  reader_.Clear();
  FinishRequest(RequestResult);
}

bool FtpClientCore::Progress() {
  bool abort = false;
  if (const auto handler = OnProgress) handler(*this, transfer_count_, abort);
  if (!abort) return true;
  Trace("! Abort requested");
  data_.Close();
  return false;
}

}  // namespace kestova

#include "ftp/ftp_client_core.h"

#include <QLoggingCategory>
#include <algorithm>

#include "common/text_helpers.h"
#include "ftp/ftp_reply.h"

namespace kestova {

namespace {

Q_LOGGING_CATEGORY(lcFtp, "kestova.ftp", QtWarningMsg)

}  // namespace

const char* FtpClientCore::ReplyName(Reply reply) {
  switch (reply) {
    case Reply::None: return "none";
    case Reply::Command: return "command reply";
    case Reply::TransferFirst: return "first transfer reply";
    case Reply::TransferSecond: return "final transfer reply";
  }
  return "?";
}

// ---- What the data transfer sees of the client

class FtpClientCore::TransferView : public TransferHost {
 public:
  explicit TransferView(FtpClientCore& client) : client_(client) {}
  bool Passive() const override { return client_.Passive(); }
  bool SecureData() const override { return client_.Secure(); }
  const TransferTuning& DataTuning() const override { return client_.Tuning; }
  std::int64_t ListingLimit() const override { return client_.MaxListingBytes; }
  const std::string& DataLocalAddress() const override { return client_.LocalAddr; }
  AsyncSocket& ControlSocket() override { return client_.ControlSocket(); }
  const std::string& KeptPasvReply() const override { return client_.PasvReply; }
  const std::string& TransferName() const override { return client_.HostFileName; }
  TlsSettings DataTlsSettings() const override { return client_.DataTlsSettings(); }
  const CertificateCheck& Certificate() const override { return client_.Certificate(); }
  bool HasLocalSide(Direction direction) const override;
  DataStream* OpenLocalSide(Direction direction, std::string& why) override;
  DataStream* LocalSide() const override { return client_.local_stream_; }
  const std::string& LocalName() const override { return client_.local_file_name_; }
  void ReleaseLocalSide() override { client_.ReleaseLocalStream(); }
  bool Displays() const override { return client_.DisplayFileFlag; }
  void Display(const std::string& block) override { client_.DisplayLines(block); }
  bool TransmitCancelled() override;
  void Trace(const std::string& line) override { client_.Trace(line); }
  bool ReportError(const std::string& message) override { return client_.ReportError(message); }
  bool ControlOpen() const override { return client_.ControlOpen(); }
  bool SendTransferCommand(const std::string& word, const std::string& line) override;
  bool ReplyOwed() const override {
    return client_.expected_ == Reply::TransferFirst || client_.expected_ == Reply::TransferSecond;
  }
  void AwaitFinalReply() override { client_.Expect(Reply::TransferSecond); }
  void AwaitNoReply() override { client_.Expect(Reply::None); }
  const std::string& ReplyText() const override { return client_.LastReply; }
  int Code() const override { return client_.ReplyCode; }
  void EndRequest(int code) override { client_.EndRequest(code); }
  void FailRequest(const RequestFailure& failure) override { client_.FailRequest(failure); }
  void RefuseDataCertificate() override { client_.DataCertificateRefused = true; }
  void DataConnectionFailed() override { client_.DataCut = true; }
  bool Progress() override { return client_.Progress(); }

 private:
  FtpClientCore& client_;
};

FtpClientCore::FtpClientCore() : view_(std::make_unique<TransferView>(*this)), transfer_(*view_) {
  control_.OnLookupDone = [this](int error) { ControlLookupDone(error); };
  control_.OnConnected = [this](int error) { ControlConnected(error); };
  control_.OnLine = [this](std::string line) { ControlLine(std::move(line)); };
  control_.OnUnreadable = [this](const std::string& why) { ControlUnreadable(why); };
  control_.OnSecured = [this](int error) { ControlSecured(error); };
  control_.OnClosed = [this](int error, bool was_open) { ControlClosed(error, was_open); };
}

FtpClientCore::~FtpClientCore() {
  control_.OnLookupDone = nullptr;
  control_.OnConnected = nullptr;
  control_.OnLine = nullptr;
  control_.OnUnreadable = nullptr;
  control_.OnSecured = nullptr;
  control_.OnClosed = nullptr;
  ReleaseLocalStream();
}

// ---- Settings

void FtpClientCore::SetConnectionType(FtpConnectionType type) {
  if (control_.Open()) {
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

std::unique_ptr<DataStream> FtpClientCore::OpenForUpload(const std::string& name, std::string& why) {
  if (OpenLocalFile) return OpenLocalFile(name, why);
  return FileStream::OpenRead(name, ShareMode(), &why);
}

// ---- The local side of a transfer

bool FtpClientCore::TransferView::HasLocalSide(Direction direction) const {
  if (client_.caller_stream_ || !client_.local_file_name_.empty()) return true;
  return direction == Direction::Receive && client_.DisplayFileFlag;
}

// A caller's stream is used as it is; a file is opened now: created for a
// receive, read (with the sharing mode) for an upload.
DataStream* FtpClientCore::TransferView::OpenLocalSide(Direction direction, std::string& why) {
  FtpClientCore& c = client_;
  c.ReleaseLocalStream();
  if (c.local_stream_) return c.local_stream_;
  c.owned_stream_ = direction == Direction::Upload ? c.OpenForUpload(c.local_file_name_, why)
                                                   : FileStream::Create(c.local_file_name_, c.ShareMode());
  c.local_stream_ = c.owned_stream_.get();
  return c.local_stream_;
}

bool FtpClientCore::TransferView::TransmitCancelled() {
  bool cancel = false;
  if (const auto handler = client_.OnReadyToTransmit) handler(client_, cancel);
  return cancel;
}

// Received data cut into lines at CR or LF (runs of them between lines are
// skipped), each handed to OnDisplayFile.
void FtpClientCore::DisplayLines(const std::string& block) {
  size_t start = 0;
  while (start < block.size()) {
    const size_t end = block.find_first_of("\r\n", start);
    std::string line = block.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (const auto handler = OnDisplayFile) handler(*this, line);
    if (end == std::string::npos) break;
    start = block.find_first_not_of("\r\n", end);
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

// Every change of state goes through here, so that one trace line shows it
// (QT_LOGGING_RULES="kestova.ftp.debug=true").
void FtpClientCore::ChangeState(FtpClientState state) {
  if (state_ == state) return;
  qCDebug(lcFtp, "%s -> %s", FtpStateName(state_), FtpStateName(state));
  state_ = state;
  if (const auto handler = OnStateChange) handler(*this);
}

void FtpClientCore::Expect(Reply reply) {
  if (expected_ == reply) return;
  qCDebug(lcFtp, "waiting for: %s -> %s", ReplyName(expected_), ReplyName(reply));
  expected_ = reply;
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
  switch (control_.Send(text)) {
    case ControlConnection::Sent::Sent: Trace("> " + text); return true;
    case ControlConnection::Sent::Refused:
      // A CR, LF or NUL would end the line early and let the rest, a file
      // name for instance, be read by the server as further commands.
      Trace("! Refused to send \"" + EscapeControls(text) + "\": a command line cannot hold CR, LF or NUL");
      FailRequest({.line = "500 Command not sent: it holds a line break or NUL", .local = true});
      return false;
    case ControlConnection::Sent::NotConnected:
      // No answer can come: the command fails now, not at the timeout.
      Trace("> " + text);
      FailRequest({.line = "500 Not sent: the control connection is closed"});
      return false;
  }
  return false;
}

bool FtpClientCore::TransferView::SendTransferCommand(const std::string& word, const std::string& line) {
  client_.ChangeState(FtpClientState::ftpStAwaitingReply);
  client_.Expect(Reply::TransferFirst);
  client_.sent_command_ = word;
  client_.closing_ = false;
  return client_.SendCommand(line);
}

bool FtpClientCore::StartCommand(FtpRequest code, const std::string& command, std::vector<int> accepted,
                                 Answer answer) {
  if (answer != Answer::Quit) {
    if (!CheckReady()) return false;
    if (!control_.Open()) return ReportError("FTP component not connected");
  }
  if (!in_combined_) {
    RequestCode = code;
    LocalFailure = false;
    DataCut = false;
    DataCertificateRefused = false;
  }
  if (accepted.size() > 16) accepted.resize(16);
  accepted_ = std::move(accepted);
  done_once_ = false;
  answer_ = answer;
  sent_command_ = command;
  closing_ = answer == Answer::Quit;
  FeatureLines.clear();
  ErrorMessage.clear();
  ChangeState(FtpClientState::ftpStAwaitingReply);
  Expect(Reply::Command);
  SendCommand(command);
  return true;
}

void FtpClientCore::EvaluateCommandReply() {
  Trace("< " + LastReply);
  Expect(Reply::None);
  const bool accepted =
      accepted_.empty() ? ReplyCode < 500 : std::find(accepted_.begin(), accepted_.end(), ReplyCode) != accepted_.end();
  if (accepted) {
    RequestResult = 0;
  } else {
    RequestResult = ReplyCode;
    KeepErrorMessage();
  }
  if (passive_ && (ReplyCode == 227 || ReplyCode == 229)) {
    ChangeState(FtpClientState::ftpStPassiveReady);
    PasvReply = LastReply;
  }
  const Answer answer = answer_;
  answer_ = Answer::Result;
  switch (answer) {
    case Answer::StartsTls:
      if (RequestResult == 0) return StartControlTls();
      AuthRefused();
      break;
    case Answer::Protects:
      if (RequestResult != 0) AuthRefused();
      break;
    case Answer::NamesPath:
      if (RequestResult == 0) ReplyPath = ParseReplyPath(LastReply);
      break;
    case Answer::Quit:
      // The client ends the session whatever the reply; the close finishes
      // the request.
      control_.Close();
      if (!done_once_) FinishRequest(RequestResult);
      return;
    case Answer::Result: break;
  }
  FinishRequest(RequestResult);
}

bool FtpClientCore::StartCombined(FtpRequest code, std::vector<Step> steps) {
  if (control_.Open() && std::find(steps.begin(), steps.end(), Step::Open) != steps.end()) {
    return ReportError("FTP component already connected");
  }
  if (!CheckReady()) return false;
  RequestCode = code;
  RequestResult = 0;
  LocalFailure = false;
  DataCut = false;
  DataCertificateRefused = false;
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
  transfer_.CloseSocket();
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
    pending_steps_.clear();
  }
  while (!pending_steps_.empty()) {
    const Step step = pending_steps_.front();
    pending_steps_.erase(pending_steps_.begin());
    // After 230 to USER there is no password to send.
    if (step == Step::Pass && had_step && previous == Step::User && ReplyCode != 331) continue;
    current_step_ = step;
    step_running_ = true;
    done_once_ = false;
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
    case Step::Auth: return AuthStep();
    case Step::User: return UserStep();
    case Step::Pass: return PassStep();
    // After the login: no buffer (TLS does not need one), and protected data.
    case Step::Pbsz: return StartCommand(FtpRequest::ftpConnect, "PBSZ 0", {200}, Answer::Protects);
    case Step::Prot: return StartCommand(FtpRequest::ftpConnect, "PROT P", {200}, Answer::Protects);
    case Step::Port: return PortStep();
    case Step::Stor: return transfer_.StartUpload();
    case Step::Retr: return transfer_.StartReceive("RETR");
    case Step::List: return transfer_.StartReceive("LIST");
    case Step::Nlst: return transfer_.StartReceive("NLST");
    case Step::Mlsd: return transfer_.StartReceive("MLSD");
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
  transfer_.CloseSocket();
  in_combined_ = false;
  continuation_ = false;
  PostRequestDone(error);
}

void FtpClientCore::FailRequest(const Failure& failure) {
  if (failure.local) LocalFailure = true;
  ReleaseLocalStream();
  if (failure.keeps_reply) {
    ErrorMessage = failure.line;
    ReplyCode = failure.code;
  } else if (!failure.line.empty()) {
    SetComposedReply(failure.line);
  }
  RequestResult = failure.code;
  if (failure.replaces_error) ErrorMessage.clear();
  KeepErrorMessage();
  Expect(Reply::None);
  continuation_ = false;
  if (failure.end_session) closing_ = true;  // the close below is ours, not a lost connection
  FinishRequest(failure.finish < 0 ? failure.code : failure.finish);
  if (failure.end_session) control_.Close();
}

void FtpClientCore::EndRequest(int code) {
  if (code != 0) DataCut = true;
  RequestResult = code;
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

bool FtpClientCore::StartConnect() {
  switch (Security) {
    case FtpSecurity::Plain: break;
    case FtpSecurity::Explicit:
      return StartCombined(FtpRequest::ftpConnect,
                           {Step::Open, Step::Auth, Step::User, Step::Pass, Step::Pbsz, Step::Prot});
    case FtpSecurity::Implicit:
      return StartCombined(FtpRequest::ftpConnect, {Step::Open, Step::User, Step::Pass, Step::Pbsz, Step::Prot});
  }
  return StartCombined(FtpRequest::ftpConnect, {Step::Open, Step::User, Step::Pass});
}

bool FtpClientCore::StartProbe() {
  if (!Secure()) return ReportError("The site uses plain FTP: there is no certificate to look at");
  const bool implicit = Security == FtpSecurity::Implicit;
  return StartCombined(FtpRequest::ftpConnect,
                       implicit ? std::vector<Step>{Step::Open} : std::vector<Step>{Step::Open, Step::Auth});
}

bool FtpClientCore::StartQuit() {
  ReleaseLocalStream();
  return StartCommand(FtpRequest::ftpQuit, "QUIT", {221}, Answer::Quit);
}

bool FtpClientCore::StartCwd() {
  if (HostDirName.empty()) return ReportError("HostDirName empty");
  return StartCommand(FtpRequest::ftpCwd, "CWD " + HostDirName, {200, 250, 257}, Answer::NamesPath);
}

bool FtpClientCore::StartCDup() { return StartCommand(FtpRequest::ftpCDup, "CDUP", {250, 257}, Answer::NamesPath); }
bool FtpClientCore::StartPwd() { return StartCommand(FtpRequest::ftpPwd, "PWD", {250, 257}, Answer::NamesPath); }
bool FtpClientCore::StartMkd() {
  return StartCommand(FtpRequest::ftpMkd, "MKD " + HostFileName, {250, 257}, Answer::NamesPath);
}
bool FtpClientCore::StartRmd() { return StartCommand(FtpRequest::ftpRmd, "RMD " + HostFileName, {250, 257}); }
bool FtpClientCore::StartDele() { return StartCommand(FtpRequest::ftpDele, "DELE " + HostFileName, {250, 257}); }
bool FtpClientCore::StartFeat() { return StartCommand(FtpRequest::ftpFeat, "FEAT", {211}); }
bool FtpClientCore::StartMlsd() { return StartCombined(FtpRequest::ftpMlsd, {Step::Port, Step::Mlsd}); }
bool FtpClientCore::StartRnfr() { return StartCommand(FtpRequest::ftpRenFrom, "RNFR " + HostFileName, {350}); }
bool FtpClientCore::StartRnto() { return StartCommand(FtpRequest::ftpRenTo, "RNTO " + RenameTarget, {250}); }

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
bool FtpClientCore::StartGet() { return StartCombined(FtpRequest::ftpGet, {Step::Port, Step::Retr}); }
bool FtpClientCore::StartLs() { return StartCombined(FtpRequest::ftpLs, {Step::Port, Step::Nlst}); }

void FtpClientCore::Abort() {
  ChangeState(FtpClientState::ftpStAborting);
  ReleaseLocalStream();
  control_.Abort();
  transfer_.Abort();
  ReleaseLocalStream();
  Expect(Reply::None);
  ChangeState(FtpClientState::ftpStReady);
}

bool FtpClientCore::Progress() {
  bool abort = false;
  if (const auto handler = OnProgress) handler(*this, TransferCount(), abort);
  if (!abort) return true;
  Trace("! Abort requested");
  transfer_.Socket().Close();
  return false;
}

}  // namespace kestova

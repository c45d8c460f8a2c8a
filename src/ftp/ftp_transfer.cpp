#include "ftp/ftp_transfer.h"

#include <algorithm>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLoggingCategory>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "ftp/ftp_reply.h"
#include "ftp/ftp_types.h"
#include "platform/socket_errors.h"

namespace kestova {

namespace {

Q_LOGGING_CATEGORY(lcTransfer, "kestova.ftp.transfer", QtWarningMsg)

// Milliseconds on a monotonic clock; never 0, which means "not started".
std::int64_t Now() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + 1;
}

std::string ClassName(const std::exception& error) {
  if (dynamic_cast<const ESocketException*>(&error)) return "ESocketException";
  if (dynamic_cast<const FtpException*>(&error)) return "FtpException";
  return "Exception";
}

}  // namespace

const char* DataTransfer::StateName(State state) {
  switch (state) {
    case State::Idle: return "Idle";
    case State::Waiting: return "Waiting";
    case State::Connected: return "Connected";
    case State::Accepted: return "Accepted";
    case State::Starting: return "Starting";
    case State::Securing: return "Securing";
    case State::Moving: return "Moving";
    case State::Draining: return "Draining";
    case State::DataClosed: return "DataClosed";
    case State::ReplyDone: return "ReplyDone";
  }
  return "?";
}

DataTransfer::DataTransfer(TransferHost& client) : client_(client) {
  socket_.OnSessionConnected = [this](AsyncSocket&, int error) { SocketConnected(error); };
  socket_.OnSessionAvailable = [this](AsyncSocket&, int) { SessionAvailable(); };
  socket_.OnDataAvailable = [this](AsyncSocket&, int) { DataAvailable(); };
  socket_.OnDataSent = [this](AsyncSocket&, int error) { DataSent(error); };
  socket_.OnSessionClosed = [this](AsyncSocket&, int error) { SessionClosed(error); };
  socket_.OnTlsDone = [this](AsyncSocket&, int error) { Secured(error); };
}

DataTransfer::~DataTransfer() {
  socket_.OnSessionConnected = nullptr;
  socket_.OnSessionAvailable = nullptr;
  socket_.OnDataAvailable = nullptr;
  socket_.OnDataSent = nullptr;
  socket_.OnSessionClosed = nullptr;
  socket_.OnTlsDone = nullptr;
}

void DataTransfer::SetState(State state) {
  if (state == state_) return;
  qCDebug(lcTransfer, "%s: %s -> %s", word_.c_str(), StateName(state_), StateName(state));
  state_ = state;
}

void DataTransfer::CloseSocket() {
  SetState(State::Idle);
  if (socket_.State() != SocketState::wsClosed) socket_.Close();
}

void DataTransfer::Abort() {
  ++serial_;
  CloseSocket();
}

// ---- The PORT step

std::string DataTransfer::Prepare(Kind kind) {
  // A transfer begins here, not at its transfer command: servers such as
  // pyftpdlib connect in active mode as soon as they get PORT, before the
  // client has sent STOR or LIST.
  ++serial_;
  SetState(State::Idle);
  if (socket_.State() != SocketState::wsClosed) socket_.Abort();
  kind_ = kind;
  word_ = kind == Kind::Upload ? "STOR" : "LIST";
  count_ = start_ = 0;
  close_error_ = read_failure_ = 0;
  close_posted_ = false;
  secure_ = client_.SecureData();
  local_error_.clear();
  AsyncSocket& control = client_.ControlSocket();
  // Over IPv6 the data connection speaks RFC 2428: EPSV and EPRT, which
  // name no address that PASV and PORT could not carry.
  const bool v6 = control.RemoteV6();
  socket_.SetAddr(v6 ? "::" : "0.0.0.0");
  socket_.SetPort("0");
  int port = 0;
  if (!client_.Passive()) {
    socket_.LingerOnOff = SocketLingerOnOff::wsLingerOn;
    socket_.LingerTimeout = 10;
    socket_.Listen();
    SocketAddress local;
    socket_.GetLocalName(local);
    port = local.Port();
  }
  SetState(State::Waiting);
  if (client_.Passive()) return v6 ? "EPSV" : "PASV";
  SocketAddress control_local;
  control.GetLocalName(control_local);
  if (v6) return "EPRT |2|" + control_local.Text() + "|" + std::to_string(port) + "|";
  const std::string port_bytes = std::to_string((port >> 8) & 0xFF) + "," + std::to_string(port & 0xFF);
  if (control.ResolvedAddr() == ::inet_addr("127.0.0.1")) return "PORT 127,0,0,1," + port_bytes;
  const std::uint32_t address = control_local.V4();
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
  return "PORT " + std::to_string(bytes[0]) + "," + std::to_string(bytes[1]) + "," + std::to_string(bytes[2]) + "," +
         std::to_string(bytes[3]) + "," + port_bytes;
}

// Points the data socket at the endpoint of the kept 227 reply. A server may
// name any address there; the data connection only ever goes to the host the
// control connection reaches, as current clients do, so that a reply cannot
// send the client to a third host.
void DataTransfer::AimPassive() {
  const std::string peer = client_.ControlSocket().PeerAddr();
  if (client_.KeptPasvReply().rfind("229", 0) == 0) {
    // EPSV names a port alone: the address is the control connection's.
    const auto port = ParseEpsvReply(client_.KeptPasvReply());
    if (!port || peer == "error") throw FtpException("Invalid EPSV reply '" + client_.KeptPasvReply() + "'");
    socket_.SetPort(std::to_string(*port));
    socket_.SetAddr(peer);
  } else {
    AimAt(peer);
  }
  socket_.SetLocalAddr(client_.DataLocalAddress());
  socket_.LingerOnOff = SocketLingerOnOff::wsLingerOff;
  socket_.LingerTimeout = 0;
  socket_.ComponentOptions |= wsoNoReceiveLoop;
}

void DataTransfer::AimAt(const std::string& peer) {
  const auto endpoint = ParsePasvReply(client_.KeptPasvReply());
  if (!endpoint) throw FtpException("Invalid PASV reply '" + client_.KeptPasvReply() + "'");
  std::string address = endpoint->address;
  if (peer != "error" && address != peer) {
    client_.Trace("! PASV reply names " + address + "; connecting to " + peer + ", the server's own address");
    address = peer;
  }
  socket_.SetPort(std::to_string(endpoint->port));
  socket_.SetAddr(address);
}

// Starts the passive data connection; false, with the transfer failed by a
// composed line, when it cannot even start.
bool DataTransfer::ConnectPassive(int failure_code) {
  try {
    AimPassive();
    socket_.Connect();
    return true;
  } catch (const std::exception& error) {
    Fail(std::to_string(failure_code) + " " + ClassName(error) + ": " + error.what(), failure_code);
    return false;
  }
}

// The transfer command; one that cannot be sent fails the request.
void DataTransfer::SendCommand() {
  const bool named = kind_ == Kind::Upload || !client_.TransferName().empty();
  if (!client_.SendTransferCommand(word_, named ? word_ + " " + client_.TransferName() : word_)) CloseSocket();
}

// ---- The transfer steps

bool DataTransfer::StartReceive(const std::string& word) {
  if (!client_.ControlOpen()) return client_.ReportError(word + ": not connected");
  if (!client_.HasLocalSide(Kind::Receive)) return client_.ReportError("LocalFileName empty");
  word_ = word;
  count_ = 0;
  std::string why;
  if (!client_.Displays() && !client_.OpenLocalSide(Kind::Receive, why)) {
    Fail("Unable to open local file " + client_.LocalName(), 550);
    return true;
  }
  // In passive mode the command goes out while the data connection is made.
  if (client_.Passive() && !ConnectPassive(550)) return true;
  SendCommand();
  return true;
}

bool DataTransfer::StartUpload() {
  if (!client_.ControlOpen()) return client_.ReportError("STOR/APPE: not connected");
  if (!client_.HasLocalSide(Kind::Upload)) return client_.ReportError("LocalFileName empty");
  // The rest of the transfer's state was set by the PORT step: the server
  // may have connected since.
  count_ = 0;
  if (client_.TransmitCancelled()) {
    client_.Trace("! 426 Transmit cancelled by application");
    client_.FailRequest({.line = "426 Transmit cancelled by application", .code = 426, .keeps_reply = true});
    return true;
  }
  std::string why;
  if (!client_.OpenLocalSide(Kind::Upload, why)) {
    const std::string line = "426 Unable to open local file " + client_.LocalName();
    client_.Trace("! " + line);
    CloseSocket();
    client_.FailRequest({.line = line, .code = 426, .local = true, .keeps_reply = true});
    return true;
  }
  // In passive mode STOR goes out once the data connection is made.
  if (client_.Passive()) {
    ConnectPassive(426);
    return true;
  }
  SendCommand();
  return true;
}

// ---- The data connection

// The passive data connection is made. The final reply of a short listing
// may have come first; the transfer then stays ReplyDone and ends at the
// connection's end.
void DataTransfer::SocketConnected(int error) {
  if (state_ == State::Idle) return;
  start_ = Now();
  if (error != 0) {
    client_.DataConnectionFailed();
    return Fail("Unable to establish data connection, error #" + std::to_string(error), 550);
  }
  if (kind_ == Kind::Receive) {
    if (secure_) return state_ == State::Accepted ? StartSecuring() : SetState(State::Connected);
    if (state_ == State::Waiting) SetState(State::Moving);
    return;
  }
  SetState(State::Connected);
  SendCommand();
}

// In active mode the data connection must come from the server: anybody
// who can reach the listening port could otherwise read an upload or feed
// the client a listing of his own. Others are turned away, and the client
// listens on until the server comes or the request times out.
bool DataTransfer::FromServer(int handle) {
  if (handle < 0) return false;
  SocketAddress peer;
  peer.size = sizeof peer.storage;
  const bool known = ::getpeername(handle, peer.Raw(), &peer.size) == 0;
  const std::string server = client_.ControlSocket().PeerAddr();
  const std::string address = known ? peer.Text() : "?";
  if (known && server == address) return true;
  client_.Trace(std::string("! Refused a data connection from ") + address + ": the server is " + server);
  ::close(handle);
  return false;
}

// The server connects in active mode; for a short listing its final reply
// may have come before the client has taken the connection.
void DataTransfer::SessionAvailable() {
  if (state_ == State::Idle || socket_.State() != SocketState::wsListening) return;
  const int handle = socket_.Accept();
  if (!FromServer(handle)) return;
  // Adopting the connection releases the listener.
  socket_.Dup(handle);
  socket_.ComponentOptions |= wsoNoReceiveLoop;
  if (kind_ == Kind::Receive) {
    start_ = Now();
    if (secure_) return state_ == State::Accepted ? StartSecuring() : SetState(State::Connected);
    if (state_ == State::Waiting) SetState(State::Moving);
    return;
  }
  socket_.LingerOnOff = SocketLingerOnOff::wsLingerOff;
  socket_.LingerTimeout = 10;
  socket_.ApplyLinger();
  if (state_ == State::Accepted) return secure_ ? StartSecuring() : UploadReady();
  SetState(State::Connected);
}

void DataTransfer::DataAvailable() {
  if (kind_ == Kind::Upload) {
    // Whatever a server sends on an upload's connection is dropped.
    char discard[2048];
    socket_.Receive(discard, sizeof discard);
    return;
  }
  if (state_ == State::Moving || state_ == State::ReplyDone) Receive();
}

void DataTransfer::Receive() {
  if (!client_.Progress()) return;
  // A file comes in large reads; a listing's cap is for listings only.
  const bool file = word_ == "RETR";
  char block[65536];
  const int got = socket_.Receive(block, file ? sizeof block : 4096);
  if (got > 0) {
    count_ += got;
    if (!file && count_ > client_.ListingLimit()) {
      client_.Trace("! " + word_ + " holds more than " + std::to_string(client_.ListingLimit()) + " bytes");
      return FailAndDrop("426 The listing is larger than " + std::to_string(client_.ListingLimit() >> 20) +
                             " MiB; Kestova does not read listings that large",
                         426);
    }
    errno = 0;
    if (!local_error_.empty()) return;  // read on to the end, into nothing
    if (client_.LocalSide() && !client_.LocalSide()->Write(block, got)) {
      // What was received is not all the server sent: the transfer fails,
      // whatever the server answers. A plain data connection is dropped at
      // once; one over TLS is read to its end and closed as TLS closes,
      // since a TLS session cut short cannot be resumed, and every later
      // data connection must resume it.
      const int error = errno != 0 ? errno : EIO;
      client_.Trace("! Error writing local file");
      local_error_ = (client_.LocalName().empty() ? std::string("Cannot keep the data received")
                                                  : "Cannot write the local file " + client_.LocalName()) +
                     ": " + std::strerror(error);
      if (!secure_) socket_.Drop();
      return;
    }
    if (client_.Displays()) client_.Display(std::string(block, static_cast<size_t>(got)));
  } else if (got < 0 && socket_.State() == SocketState::wsConnected && socket_.LastError() != 10035) {
    client_.Trace("! Data: Receive error " + std::to_string(socket_.LastError()));
    // What came may be cut short: the listing must not count as complete.
    read_failure_ = socket_.LastError();
    socket_.Shutdown(SHUT_RDWR);
  }
}

void DataTransfer::DataSent(int error) {
  if (kind_ == Kind::Upload) SendBlock(error);
}

void DataTransfer::SendBlock(int error) {
  if (state_ != State::Moving && state_ != State::Draining && state_ != State::ReplyDone) return;
  if (!client_.LocalSide()) return;
  if (!client_.Progress()) return;
  if (error != 0) {
    client_.Trace("! Error #" + std::to_string(error) + " sending data");
    socket_.Close();
    return;
  }
  if (state_ == State::Draining) {
    // Without a pause the connection closes once the last bytes are with
    // the system.
    if (client_.DataTuning().close_pause_ms <= 0 && socket_.AllSent()) CloseNow();
    return;
  }
  std::int64_t count = 0;
  try {
    count = client_.LocalSide()->Read(block_.get(), BlockSize());
  } catch (const std::exception& failure) {
    client_.Trace("! Error reading file");
    // A reset, not an orderly close: an orderly close would tell the server
    // that the file ended here.
    local_error_ = (client_.LocalName().empty() ? std::string("Cannot read the data to send")
                                                : "Cannot read the local file " + client_.LocalName()) +
                   ": " + failure.what();
    socket_.Drop();
    return;
  }
  if (count > 0) {
    count_ += count;
    try {
      socket_.Send(block_.get(), static_cast<int>(count));
    } catch (const std::exception& failure) {
      client_.Trace(std::string("! ") + failure.what());
      socket_.Close();
    }
    return;
  }
  // The end. Over TLS, close_notify follows the last block: servers that
  // insist on it (vsftpd's strict_ssl_read_eof) take a file without it for a
  // broken upload. With a close pause the data connection closes a moment
  // after the last block, so that the server has it before the end of the
  // connection; without one as soon as the system has taken everything (an
  // orderly close delivers what the system holds).
  if (state_ == State::Moving) SetState(State::Draining);
  if (secure_) socket_.EndTls();
  if (client_.DataTuning().close_pause_ms > 0) return CloseWhenDrained();
  if (socket_.AllSent()) CloseNow();
}

std::size_t DataTransfer::BlockSize() const {
  if (client_.DataTuning().block_size > 0) return std::min(client_.DataTuning().block_size, kLargestBlock);
  return secure_ ? kTlsBlock : kPlainBlock;
}

void DataTransfer::CloseNow() {
  // The sessions the server sent on this connection are taken in before it
  // closes: the next data connections resume them.
  if (close_posted_) return;
  close_posted_ = true;
  if (secure_) DataAvailable();
  const bool modern = client_.DataTuning().close_pause_ms <= 0;
  if ((secure_ || modern) && kind_ == Kind::Upload && socket_.State() == SocketState::wsConnected) {
    // The server may still send on the connection (a session ticket), and
    // closing it while such bytes are unread resets it: a reset throws away
    // what the server has not read yet, the end of the file (vsftpd then
    // answers 426). The connection is half closed instead: everything sent
    // goes before the FIN, and it closes once the server has ended its side.
    // Kept open until then, it also hears a reset on the way, which a
    // closed one would miss while the server took the cut file as whole.
    socket_.Shutdown(SHUT_WR);
    return;
  }
  if (socket_.State() != SocketState::wsClosed) socket_.CloseLater();
}

void DataTransfer::CloseWhenDrained() {
  const std::uint64_t serial = serial_;
  QTimer::singleShot(client_.DataTuning().close_pause_ms, &timers_, [this, serial] {
    if (serial != serial_ || socket_.State() == SocketState::wsClosed) return;
    // close_notify has not left yet (the connection is slow to take it).
    if (secure_ && !socket_.AllSent()) return CloseWhenDrained();
    CloseNow();
  });
}

// Both the connection and the server's 150 are there (active mode): the
// first block goes from the event loop, once.
void DataTransfer::UploadReady() {
  SetState(State::Starting);
  const std::uint64_t serial = serial_;
  QMetaObject::invokeMethod(
      &timers_,
      [this, serial] {
        if (serial != serial_ || state_ != State::Starting) return;
        start_ = Now();
        SetState(State::Moving);
        SendBlock(0);
      },
      Qt::QueuedConnection);
}

// ---- TLS on the data connection

void DataTransfer::StartSecuring() {
  SetState(State::Securing);
  try {
    socket_.StartTls(client_.DataTlsSettings());
  } catch (const std::exception& error) {
    Fail(std::string("425 TLS could not start on the data connection: ") + error.what(), 425);
  }
}

void DataTransfer::Secured(int error) {
  if (state_ != State::Securing && state_ != State::ReplyDone) return;
  if (error != 0) return Fail("425 TLS handshake on the data connection failed: " + socket_.TlsError(), 425);
  // The data connection must reach the server the control connection
  // reached (and accepted).
  // Another certificate means that something other than the server may be
  // at the other end: nothing more goes over this session, whose transfer
  // reply is still owed, so the control connection goes too.
  const TlsChannel* tls = socket_.Tls();
  if (!tls || tls->Certificate().fingerprint != client_.Certificate().certificate.fingerprint) {
    client_.RefuseDataCertificate();
    const std::string shown = tls ? " (SHA-256 fingerprint " + tls->Certificate().fingerprint + ")" : std::string();
    return FailAndDrop("425 The data connection presented another certificate" + shown + " than the control connection",
                       425);
  }
  start_ = Now();
  if (state_ == State::ReplyDone) return;  // the data follows all the same
  SetState(State::Moving);
  if (kind_ == Kind::Upload) SendBlock(0);
}

void DataTransfer::SessionClosed(int error) {
  // Before a connection was up, there is nothing to end.
  if (state_ == State::Idle || state_ == State::Waiting || state_ == State::Accepted) return;
  client_.ReleaseLocalSide();
  close_error_ = error != 0 ? error : read_failure_;
  // Over TLS nothing can have come before the handshake ended.
  if (secure_ && close_error_ == 0 && (state_ == State::Connected || state_ == State::Securing)) {
    close_error_ = kWsaEconnaborted;
  }
  if (state_ == State::ReplyDone) return Complete();
  SetState(State::DataClosed);
}

// ---- The replies

void DataTransfer::FirstReply() {
  client_.Trace("< " + client_.ReplyText());
  const int code = client_.Code();
  const bool go = code == 125 || (kind_ == Kind::Upload ? code == 150 : code >= 150 && code <= 159);
  if (!go) return Reject();
  client_.AwaitFinalReply();
  if (kind_ == Kind::Receive && !secure_) return;
  if (state_ == State::Waiting) return SetState(State::Accepted);  // the connection comes later
  if (state_ != State::Connected) return;
  if (secure_) return StartSecuring();
  if (!client_.Passive()) return UploadReady();
  SetState(State::Moving);
  SendBlock(0);
}

void DataTransfer::SecondReply() {
  client_.Trace("< " + client_.ReplyText());
  client_.AwaitNoReply();
  const int code = client_.Code();
  const bool done = code == 226 || code == 250 || (kind_ == Kind::Receive && code == 125);
  if (!done) {
    const char* trace = kind_ == Kind::Upload ? "! STOR Failed" : "! RETR/LIST/NLST Failed";
    if (!local_error_.empty()) {
      client_.Trace(trace);
      return FailLocalError();
    }
    CloseSocket();
    client_.Trace(trace);
    return client_.FailRequest({.line = "", .code = code});
  }
  if (state_ == State::DataClosed) return Complete();
  SetState(State::ReplyDone);
}

// The transfer command was refused: the transfer ends with the reply's code.
void DataTransfer::Reject() {
  CloseSocket();
  client_.FailRequest({.line = "", .code = client_.Code()});
}

// ---- Endings

// Both the final reply and the data connection's end have come.
void DataTransfer::Complete() {
  Statistics();
  if (!local_error_.empty()) return FailLocalError();
  SetState(State::Idle);
  client_.EndRequest(close_error_);
}

// Ends the transfer as failed, with a line the client composed. When the
// server still owes its reply to the transfer command, that reply would be
// taken for the answer to the next command, whose failure would then be
// told with another command's reply: the session goes, and the next attempt
// starts on a new one.
void DataTransfer::Fail(const std::string& line, int code) {
  const bool reply_owed = client_.ReplyOwed();
  CloseSocket();
  client_.FailRequest({.line = line, .code = code, .end_session = reply_owed});
}

// A transfer whose local side failed (an upload not read to its end, a
// receive not written) fails, whatever the server answered: what arrived at
// the other end is not the file.
void DataTransfer::FailLocalError() {
  SetState(State::Idle);
  if (socket_.State() != SocketState::wsClosed) socket_.Drop();
  // This side's reason, whatever the server said before it.
  client_.FailRequest({.line = "426 " + local_error_, .code = 426, .local = true, .replaces_error = true});
}

// Ends the request and drops the control connection too: the server's
// answer to the transfer would otherwise be taken for the answer to the next
// command.
void DataTransfer::FailAndDrop(const std::string& line, int code) {
  SetState(State::Idle);
  socket_.Drop();
  client_.FailRequest({.line = line, .code = code, .local = true, .end_session = true});
}

void DataTransfer::Statistics() {
  const std::int64_t stop = Now();
  const std::int64_t start = start_ == 0 ? stop : start_;
  client_.Trace("! " + TransferStatistics(count_, stop - start));
}

}  // namespace kestova

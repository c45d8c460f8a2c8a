// The data connection of listings and uploads: the PORT or PASV step, then
// the transfer step, whose events (connection made, data, connection closed,
// the two replies) may come in any order the network gives.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <QTimer>
#include <chrono>

#include "ftp/ftp_client_core.h"
#include "ftp/ftp_reply.h"
#include "net/resolve.h"

namespace kestova {

namespace {

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

bool IsPreliminary(int code) { return code == 125 || (code >= 150 && code <= 159); }

}  // namespace

// Ends the transfer as failed, with a line the client composed.
void FtpClientCore::FailTransfer(const std::string& line, int code) {
  SetComposedReply(line);
  ReplyCode = code;
  KeepErrorMessage();
  data_.Close();
  RequestResult = code;
  FinishRequest(code);
}

// Starts the passive data connection; false, with the transfer failed by a
// composed line, when it cannot even start.
bool FtpClientCore::ConnectPassive(void (FtpClientCore::*connected)(int), int failure_code) {
  try {
    AimPassive();
    data_.OnSessionConnected = [this, connected](AsyncSocket&, int error) { (this->*connected)(error); };
    data_.Connect();
    return true;
  } catch (const std::exception& error) {
    FailTransfer(std::to_string(failure_code) + " " + ClassName(error) + ": " + error.what(), failure_code);
    return false;
  }
}

void FtpClientCore::SendTransferCommand(Handler first_reply, const std::string& word, const std::string& command) {
  ChangeState(FtpClientState::ftpStAwaitingReply);
  reply_handler_ = first_reply;
  pending_command_ = word;
  if (!SendCommand(command)) RefuseCommand();
}

void FtpClientCore::ClearDataHandlers() {
  data_.OnSessionAvailable = nullptr;
  data_.OnSessionClosed = nullptr;
  data_.OnDataAvailable = nullptr;
  data_.OnSessionConnected = nullptr;
  data_.OnDataSent = nullptr;
}

bool FtpClientCore::PortStep() {
  ClearDataHandlers();
  // A transfer begins here, not at its transfer command: servers such as
  // pyftpdlib connect in active mode as soon as they get PORT, before the
  // client has sent STOR or LIST.
  ++transfer_id_;
  put_connected_ = stor_accepted_ = end_of_data_ = false;
  read_error_.clear();
  control_done_ = data_closed_ = false;
  transfer_start_ = 0;
  data_error_ = 0;
  if (data_.State() != SocketState::wsClosed) data_.Abort();
  data_.SetProto("tcp");
  data_.SetAddr("0.0.0.0");
  data_.SetPort("0");
  int listening_port = 0;
  if (!passive_) {
    const Step next = pending_steps_.empty() ? Step::List : pending_steps_.front();
    if (next == Step::List) data_.OnSessionAvailable = [this](AsyncSocket&, int) { ReceiveAccepted(); };
    if (next == Step::Stor) data_.OnSessionAvailable = [this](AsyncSocket&, int) { UploadAccepted(); };
    data_.LingerOnOff = SocketLingerOnOff::wsLingerOn;
    data_.LingerTimeout = 10;
    data_.Listen();
    sockaddr_in local{};
    data_.GetLocalName(local);
    listening_port = ntohs(local.sin_port);
  }
  sockaddr_in control_local{};
  control_.GetLocalName(control_local);
  std::string command;
  const int high = (listening_port >> 8) & 0xFF;
  const int low = listening_port & 0xFF;
  if (passive_) {
    command = "PASV";
  } else if (control_.ResolvedAddr() == ::inet_addr("127.0.0.1")) {
    command = "PORT 127,0,0,1," + std::to_string(high) + "," + std::to_string(low);
  } else {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&control_local.sin_addr.s_addr);
    command = "PORT " + std::to_string(bytes[0]) + "," + std::to_string(bytes[1]) + "," + std::to_string(bytes[2]) +
              "," + std::to_string(bytes[3]) + "," + std::to_string(high) + "," + std::to_string(low);
  }
  transfer_count_ = 0;
  return StartCommand(FtpRequest::ftpPort, command, {200, 227});
}

// Points the data socket at the endpoint of the kept 227 reply. A server may
// name any address there; the data connection only ever goes to the host the
// control connection reaches, as current clients do, so that a reply cannot
// send the client to a third host.
void FtpClientCore::AimPassive() {
  const auto endpoint = ParsePasvReply(PasvReply);
  if (!endpoint) throw FtpException("Invalid PASV reply '" + PasvReply + "'");
  std::string address = endpoint->address;
  const std::string peer = control_.PeerAddr();
  if (peer != "error" && address != peer) {
    Trace("! PASV reply names " + address + "; connecting to " + peer + ", the server's own address");
    address = peer;
  }
  data_.SetPort(std::to_string(endpoint->port));
  data_.SetAddr(address);
  data_.SetLocalAddr(LocalAddr);
  data_.LingerOnOff = SocketLingerOnOff::wsLingerOff;
  data_.LingerTimeout = 0;
  data_.ComponentOptions |= wsoNoReceiveLoop;
}

// ---- Receiving (LIST, NLST)

bool FtpClientCore::ReceiveStep(const std::string& word) {
  if (!control_open_) return ReportError(word + ": not connected");
  if (local_file_name_.empty() && !DisplayFileFlag && !caller_stream_) return ReportError("LocalFileName empty");
  data_command_ = word;
  done_once_ = false;
  transfer_count_ = 0;
  if (!passive_ && data_.State() == SocketState::wsListening) {
    data_.OnSessionAvailable = [this](AsyncSocket&, int) { ReceiveAccepted(); };
  }
  if (!DisplayFileFlag) {
    ReleaseLocalStream();
    if (!local_stream_) {
      owned_stream_ = FileStream::Create(local_file_name_, ShareMode());
      if (!owned_stream_) {
        FailTransfer("Unable to open local file " + local_file_name_, 550);
        return true;
      }
      local_stream_ = owned_stream_.get();
    }
  }
  // In passive mode the command goes out while the data connection is made.
  if (passive_ && !ConnectPassive(&FtpClientCore::ReceiveConnected, 550)) return true;
  SendTransferCommand(&FtpClientCore::ReceiveFirstReply, word, HostFileName.empty() ? word : word + " " + HostFileName);
  return true;
}

void FtpClientCore::ReceiveConnected(int error) {
  if (error != 0) {
    FailTransfer("Unable to establish data connection, error #" + std::to_string(error), 550);
    return;
  }
  data_.OnDataAvailable = [this](AsyncSocket&, int) { ReceiveData(); };
  data_.OnSessionClosed = [this](AsyncSocket&, int code) { ReceiveClosed(code); };
  data_.OnDataSent = nullptr;
  transfer_start_ = Now();
}

// In active mode the data connection must come from the server: anybody
// who can reach the listening port could otherwise read an upload or feed
// the client a listing of his own. Others are turned away, and the client
// listens on until the server comes or the request times out.
bool FtpClientCore::FromServer(int handle) {
  if (handle < 0) return false;
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  const bool known = ::getpeername(handle, reinterpret_cast<sockaddr*>(&peer), &size) == 0;
  const std::string server = control_.PeerAddr();
  char address[INET_ADDRSTRLEN] = "?";
  if (known) ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  if (known && server == address) return true;
  Trace(std::string("! Refused a data connection from ") + address + ": the server is " + server);
  ::close(handle);
  return false;
}

void FtpClientCore::ReceiveAccepted() {
  const int handle = data_.Accept();
  if (!FromServer(handle)) return;
  data_.Close();  // the listener; its handlers were cleared before it listened
  data_.OnDataAvailable = [this](AsyncSocket&, int) { ReceiveData(); };
  data_.OnSessionClosed = [this](AsyncSocket&, int code) { ReceiveClosed(code); };
  data_.OnDataSent = nullptr;
  data_.OnSessionAvailable = nullptr;
  data_.Dup(handle);
  data_.ComponentOptions |= wsoNoReceiveLoop;
  transfer_start_ = Now();
}

void FtpClientCore::ReceiveData() {
  if (!Progress()) return;
  char block[4096];
  const int got = data_.Receive(block, sizeof block);
  if (got > 0) {
    transfer_count_ += got;
    if (transfer_count_ > MaxListingBytes) {
      Trace("! " + data_command_ + " holds more than " + std::to_string(MaxListingBytes) + " bytes");
      FailAndDrop("426 The listing is larger than " + std::to_string(MaxListingBytes >> 20) +
                      " MiB; Kestova does not read listings that large",
                  426);
      return;
    }
    if (local_stream_ && !local_stream_->Write(block, got)) {
      Trace("! Error writing local file");
      data_.Shutdown(SHUT_RDWR);
      return;
    }
    if (DisplayFileFlag) {
      const std::string text(block, static_cast<size_t>(got));
      size_t start = 0;
      while (start < text.size()) {
        const size_t end = text.find_first_of("\r\n", start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (const auto handler = OnDisplayFile) handler(*this, line);
        if (end == std::string::npos) break;
        start = text.find_first_not_of("\r\n", end);
      }
    }
  } else if (got < 0 && data_.State() == SocketState::wsConnected && data_.LastError() != 10035) {
    Trace("! Data: Receive error " + std::to_string(data_.LastError()));
    data_.Shutdown(SHUT_RDWR);
  }
}

void FtpClientCore::ReceiveClosed(int error) {
  ReleaseLocalStream();
  data_closed_ = true;
  data_error_ = error;
  TransferComplete();
}

void FtpClientCore::ReceiveFirstReply() {
  Trace("< " + LastReply);
  if (IsPreliminary(ReplyCode)) {
    reply_handler_ = &FtpClientCore::ReceiveSecondReply;
    return;
  }
  RejectFirstReply();
}

void FtpClientCore::ReceiveSecondReply() {
  Trace("< " + LastReply);
  reply_handler_ = nullptr;
  if (ReplyCode == 125 || ReplyCode == 226 || ReplyCode == 250) {
    control_done_ = true;
    TransferComplete();
    return;
  }
  RejectSecondReply("! RETR/LIST/NLST Failed");
}

// A transfer ends when both its final reply and the data connection's close
// have come, in either order.
void FtpClientCore::TransferComplete() {
  if (!control_done_ || !data_closed_) return;
  Statistics();
  if (!read_error_.empty()) return FailReadError();
  RequestResult = data_error_;
  FinishRequest(data_error_);
}

// The transfer command was refused: the transfer ends with the reply's code.
void FtpClientCore::RejectFirstReply() {
  KeepErrorMessage();
  reply_handler_ = nullptr;
  data_.Close();
  ReleaseLocalStream();
  RequestResult = ReplyCode;
  FinishRequest(ReplyCode);
}

void FtpClientCore::RejectSecondReply(const char* trace) {
  if (!read_error_.empty()) {
    Trace(trace);
    return FailReadError();
  }
  KeepErrorMessage();
  ReleaseLocalStream();
  data_.Close();
  Trace(trace);
  RequestResult = ReplyCode;
  FinishRequest(ReplyCode);
}

// Ends the request and drops the control connection too: the server's
// answer to the transfer would otherwise be taken for the answer to the next
// command.
void FtpClientCore::FailAndDrop(const std::string& line, int code) {
  LocalFailure = true;
  ReleaseLocalStream();
  SetComposedReply(line);
  ReplyCode = code;
  RequestResult = code;
  KeepErrorMessage();
  continuation_ = false;
  reply_handler_ = nullptr;
  pending_command_ = "QUIT";  // the close below is ours, not a lost connection
  data_.Drop();
  FinishRequest(code);
  control_.Close();
}

// ---- Uploading (STOR)

// An upload whose local side could not be read to its end fails, whatever
// the server answered: it may have kept what arrived, and that is not the
// file.
void FtpClientCore::FailReadError() {
  LocalFailure = true;
  ReleaseLocalStream();
  SetComposedReply("426 " + read_error_);
  ReplyCode = 426;
  RequestResult = 426;
  ErrorMessage = LastReply;
  reply_handler_ = nullptr;
  if (data_.State() != SocketState::wsClosed) data_.Drop();
  FinishRequest(426);
}

std::unique_ptr<DataStream> FtpClientCore::OpenForUpload(const std::string& name, std::string& why) {
  if (OpenLocalFile) return OpenLocalFile(name, why);
  return FileStream::OpenRead(name, ShareMode(), &why);
}

bool FtpClientCore::UploadStep() {
  if (!control_open_) return ReportError("STOR/APPE: not connected");
  if (!caller_stream_ && local_file_name_.empty()) return ReportError("LocalFileName empty");
  // The rest of the transfer's state was cleared by the PORT step: the
  // server may have connected since.
  done_once_ = false;
  transfer_count_ = 0;
  bool cancel = false;
  if (const auto handler = OnReadyToTransmit) handler(*this, cancel);
  if (cancel) {
    ErrorMessage = "426 Transmit cancelled by application";
    ReplyCode = 426;
    Trace("! " + ErrorMessage);
    RequestResult = 426;
    FinishRequest(426);
    return true;
  }
  ReleaseLocalStream();
  if (!local_stream_) {
    std::string why;
    owned_stream_ = OpenForUpload(local_file_name_, why);
    if (!owned_stream_) {
      LocalFailure = true;
      ErrorMessage = "426 Unable to open local file " + local_file_name_;
      ReplyCode = 426;
      Trace("! " + ErrorMessage);
      data_.Close();
      RequestResult = 426;
      FinishRequest(426);
      return true;
    }
    local_stream_ = owned_stream_.get();
  }
  if (passive_) {
    // STOR goes out once the data connection is made.
    ConnectPassive(&FtpClientCore::UploadConnected, 426);
    return true;
  }
  SendTransferCommand(&FtpClientCore::UploadFirstReply, "STOR", "STOR " + HostFileName);
  return true;
}

void FtpClientCore::UploadConnected(int error) {
  data_.OnSessionClosed = [this](AsyncSocket&, int code) { UploadClosed(code); };
  data_.OnDataAvailable = nullptr;
  data_.OnDataSent = nullptr;
  put_connected_ = true;
  transfer_start_ = Now();
  if (error != 0) {
    FailTransfer("Unable to establish data connection, error #" + std::to_string(error), 550);
    return;
  }
  SendTransferCommand(&FtpClientCore::UploadFirstReply, "STOR", "STOR " + HostFileName);
}

void FtpClientCore::UploadAccepted() {
  const int handle = data_.Accept();
  if (!FromServer(handle)) return;
  data_.Close();  // the listener
  data_.OnSessionAvailable = nullptr;
  data_.OnSessionClosed = [this](AsyncSocket&, int code) { UploadClosed(code); };
  data_.OnDataAvailable = [](AsyncSocket& socket, int) {
    char discard[2048];
    socket.Receive(discard, sizeof discard);
  };
  data_.OnDataSent = [this](AsyncSocket&, int error) { SendBlock(error); };
  data_.Dup(handle);
  data_.ComponentOptions |= wsoNoReceiveLoop;
  data_.LingerOnOff = SocketLingerOnOff::wsLingerOff;
  data_.LingerTimeout = 10;
  data_.ApplyLinger();
  put_connected_ = true;
  if (stor_accepted_ && transfer_start_ == 0) PostStartSend();
}

void FtpClientCore::UploadFirstReply() {
  Trace("< " + LastReply);
  if (ReplyCode == 150 || ReplyCode == 125) {
    stor_accepted_ = true;
    reply_handler_ = &FtpClientCore::UploadSecondReply;
    if (passive_) {
      data_.OnDataSent = [this](AsyncSocket&, int error) { SendBlock(error); };
      SendBlock(0);
    } else if (put_connected_ && transfer_start_ == 0) {
      PostStartSend();
    }
    return;
  }
  RejectFirstReply();
}

void FtpClientCore::PostStartSend() {
  const std::uint64_t transfer = transfer_id_;
  QMetaObject::invokeMethod(
      &notices_,
      [this, transfer] {
        if (transfer == transfer_id_) UploadStart();
      },
      Qt::QueuedConnection);
}

void FtpClientCore::UploadStart() {
  transfer_start_ = Now();
  SendBlock(0);
}

void FtpClientCore::SendBlock(int error) {
  // Nothing to send from, or (active mode) sending has not been started yet.
  if (!local_stream_ || transfer_start_ == 0) return;
  if (!Progress()) return;
  if (error != 0) {
    Trace("! Error #" + std::to_string(error) + " sending data");
    data_.Close();
    return;
  }
  if (end_of_data_ || !stor_accepted_ || !put_connected_) return;
  std::int64_t count = 0;
  try {
    count = local_stream_->Read(block_, sizeof block_);
  } catch (const std::exception& error) {
    Trace("! Error reading file");
    // A reset, not an orderly close: an orderly close would tell the server
    // that the file ended here.
    read_error_ = (local_file_name_.empty() ? std::string("Cannot read the data to send")
                                            : "Cannot read the local file " + local_file_name_) +
                  ": " + error.what();
    data_.Drop();
    return;
  }
  if (count > 0) {
    transfer_count_ += count;
    try {
      data_.Send(block_, static_cast<int>(count));
    } catch (const std::exception& failure) {
      Trace(std::string("! ") + failure.what());
      data_.Close();
    }
    return;
  }
  // The end: the data connection closes a moment after the last block, so
  // the server has it before the end of the connection.
  end_of_data_ = true;
  const std::uint64_t transfer = transfer_id_;
  QTimer::singleShot(100, &notices_, [this, transfer] {
    if (transfer == transfer_id_ && data_.State() != SocketState::wsClosed) data_.CloseLater();
  });
}

void FtpClientCore::UploadClosed(int error) {
  ReleaseLocalStream();
  data_closed_ = true;
  data_error_ = error;
  TransferComplete();
}

void FtpClientCore::UploadSecondReply() {
  Trace("< " + LastReply);
  reply_handler_ = nullptr;
  if (ReplyCode == 226 || ReplyCode == 250) {
    control_done_ = true;
    TransferComplete();
    return;
  }
  RejectSecondReply("! STOR Failed");
}

void FtpClientCore::Statistics() {
  const std::int64_t stop = Now();
  const std::int64_t start = transfer_start_ == 0 ? stop : transfer_start_;
  Trace("! " + TransferStatistics(transfer_count_, stop - start));
}

}  // namespace kestova

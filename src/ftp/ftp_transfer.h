// One data connection and the transfer on it: the PORT or PASV step, then
// LIST, NLST or STOR, whose events (the data connection made, data, the
// connection's end, the two replies) come in whatever order the network
// gives. Where the transfer stands is one state, changed in one setter.
#pragma once

#include <QObject>
#include <cstdint>
#include <memory>
#include <string>

#include "net/async_socket.h"
#include "net/certificate_check.h"
#include "site/data_stream.h"

namespace kestova {

// How uploads are made: the size of each block, and how long the data
// connection stays open after the last one. The defaults are the first ones
// kept exactly: 1460-byte blocks (16 KiB records over TLS), closed 100 ms
// after the last block left; a pause of 0 closes as soon as the system has
// taken every byte.
struct TransferTuning {
  std::size_t block_size = 0;  // 0: the classic block for plain or TLS data
  int close_pause_ms = 100;
};

// How a request fails. The reply line the client composed (none: the
// server's last reply stands), or, with `keeps_reply`, only the error
// message, the last reply left as it was; the result code and the code the
// request finishes with (the result unless a socket error says more);
// whether it failed on this side for good; whether the session goes too,
// because the server still owes a reply that would be taken for the next
// command's; and whether this reason replaces one the server gave before.
struct RequestFailure {
  std::string line;
  int code = 500;
  bool local = false;
  bool end_session = false;
  bool keeps_reply = false;
  int finish = -1;
  bool replaces_error = false;
};

// What a data transfer needs of the client that runs it, and no more.
class TransferHost {
 public:
  enum class Direction { Receive, Upload };
  virtual ~TransferHost() = default;

  // ---- The session's settings for data connections.
  virtual bool Passive() const = 0;
  virtual bool SecureData() const = 0;
  virtual const TransferTuning& DataTuning() const = 0;
  virtual std::int64_t ListingLimit() const = 0;
  virtual const std::string& DataLocalAddress() const = 0;
  // The control connection: the data connection goes where it goes.
  virtual AsyncSocket& ControlSocket() = 0;
  virtual const std::string& KeptPasvReply() const = 0;
  // The name the transfer command carries; empty for none (a listing of
  // the current folder).
  virtual const std::string& TransferName() const = 0;
  virtual TlsSettings DataTlsSettings() const = 0;
  virtual const CertificateCheck& Certificate() const = 0;

  // ---- The local side.
  // There is something to receive into, or to send from.
  virtual bool HasLocalSide(Direction direction) const = 0;
  // The stream of this transfer, opened when the client opens it itself;
  // nothing, with why, when it cannot be opened.
  virtual DataStream* OpenLocalSide(Direction direction, std::string& why) = 0;
  virtual DataStream* LocalSide() const = 0;
  // The local file's name, for the words of a failure; empty for a stream.
  virtual const std::string& LocalName() const = 0;
  virtual void ReleaseLocalSide() = 0;
  // Received data goes to the display instead (DisplayFileFlag).
  virtual bool Displays() const = 0;
  virtual void Display(const std::string& block) = 0;
  // The owner cancelled the upload before it started.
  virtual bool TransmitCancelled() = 0;

  // ---- The request.
  virtual void Trace(const std::string& line) = 0;
  virtual bool ReportError(const std::string& message) = 0;
  virtual bool ControlOpen() const = 0;
  // Sends the transfer command and awaits its first reply; false when it
  // could not be sent (the request has failed).
  virtual bool SendTransferCommand(const std::string& word, const std::string& line) = 0;
  // The server still owes a reply to the transfer command.
  virtual bool ReplyOwed() const = 0;
  virtual void AwaitFinalReply() = 0;
  virtual void AwaitNoReply() = 0;
  virtual const std::string& ReplyText() const = 0;
  virtual int Code() const = 0;
  // Ends the request with this result (0: done).
  virtual void EndRequest(int code) = 0;
  virtual void FailRequest(const RequestFailure& failure) = 0;
  // The data connection presented another certificate than the server's.
  virtual void RefuseDataCertificate() = 0;
  // The data connection failed on the network (see FtpClientCore::DataCut).
  virtual void DataConnectionFailed() = 0;
  // Data moved; false when the owner wants the transfer stopped.
  virtual bool Progress() = 0;
};

class DataTransfer {
 public:
  using Kind = TransferHost::Direction;
  enum class State {
    Idle,        // no transfer
    Waiting,     // the data connection is being made (passive) or awaited (active)
    Connected,   // upload (and TLS): the data connection is up; the server has not said 150 yet
    Accepted,    // upload (and TLS): the server said 150; the data connection is not up yet
    Starting,    // upload, active mode: both are there; the first block goes from the event loop
    Securing,    // TLS: both are there; the data connection's TLS handshake runs
    Moving,      // data flows
    Draining,    // upload: the last byte is handed over; the close follows 100 ms later
    DataClosed,  // the data connection ended; the final reply is awaited
    ReplyDone,   // the final reply came; the data connection's end is awaited
  };
  static const char* StateName(State state);

  explicit DataTransfer(TransferHost& client);
  ~DataTransfer();
  DataTransfer(const DataTransfer&) = delete;
  DataTransfer& operator=(const DataTransfer&) = delete;

  AsyncSocket& Socket() { return socket_; }
  State Current() const { return state_; }
  std::int64_t Count() const { return count_; }
  // Why the transfer under way failed on this side (an upload could not
  // read its file, a receive could not write it); empty when it did not, or
  // when no transfer is under way.
  std::string LocalError() const { return state_ == State::Idle ? std::string() : local_error_; }
  // The PORT step: in active mode the data socket listens first. Returns
  // the command to send ("PASV" or "PORT h1,h2,h3,h4,p1,p2").
  std::string Prepare(Kind kind);
  // The transfer steps; each returns whether the request goes on (false
  // when a refusal was reported before anything was sent).
  bool StartReceive(const std::string& word);
  bool StartUpload();
  // The replies to the transfer command.
  void FirstReply();
  void SecondReply();
  // Drops the data connection and forgets the transfer.
  void Abort();
  // Closes the data connection if it is still there.
  void CloseSocket();

 private:
  void SetState(State state);
  // Socket events, dispatched on the state.
  void SocketConnected(int error);
  void SessionAvailable();
  void DataAvailable();
  void DataSent(int error);
  void SessionClosed(int error);
  void Secured(int error);

  void AimPassive();
  void AimAt(const std::string& peer);
  bool ConnectPassive(int failure_code);
  void SendCommand();
  bool FromServer(int handle);
  void Receive();
  void SendBlock(int error);
  void UploadReady();
  // TLS: the handshake starts once both the connection and the server's
  // 150 are there (pyftpdlib resets a data connection whose handshake comes
  // before its 150).
  void StartSecuring();
  void CloseWhenDrained();
  void CloseNow();
  void PostStart();
  void Complete();
  void Fail(const std::string& line, int code);
  void FailLocalError();
  void FailAndDrop(const std::string& line, int code);
  void Reject();
  void Statistics();

  TransferHost& client_;
  AsyncSocket socket_;
  QObject timers_;  // context of the posted start and the close timer: they die with the transfer
  Kind kind_ = Kind::Receive;
  State state_ = State::Idle;
  std::string word_;           // LIST, NLST or STOR
  std::int64_t count_ = 0;     // bytes moved
  std::int64_t start_ = 0;     // when data began to move (ms), 0 before
  int close_error_ = 0;        // the code the data connection ended with
  int read_failure_ = 0;       // a receive failed (TLS: a record that did not decrypt)
  bool secure_ = false;        // the data connection speaks TLS
  bool close_posted_ = false;  // the upload's close is on its way
  std::string local_error_;    // why the local side failed: an upload that could not be read, a receive not written
  std::uint64_t serial_ = 0;   // tells this transfer's posts and timers from later ones
  // Untuned, blocks are 1460 bytes in plain FTP. Over TLS a block is one
  // record, and a record as large as TLS allows (16 KiB) spares the server
  // a wake-up and a decryption per 1460 bytes. A tuned block is at most
  // 64 KiB.
  static constexpr std::size_t kPlainBlock = 1460;
  static constexpr std::size_t kTlsBlock = 16384;
  static constexpr std::size_t kLargestBlock = 65536;
  std::size_t BlockSize() const;
  std::unique_ptr<char[]> block_{new char[kLargestBlock]};
};

}  // namespace kestova

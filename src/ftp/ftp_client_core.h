// The event-driven FTP client. Nothing in it blocks: every operation starts a
// request that sends a command and returns; socket events drive the request
// forward, and when it ends the client is ready again and posts a
// request-done notice. A request is either one command, or a combined
// request of several steps (connect = open, USER, PASS; a transfer = PORT or
// PASV, then the transfer command) that run one after the other.
//
// The control connection's replies are read here; the data connection of
// listings and uploads lives in ftp_data.cpp.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftp/data_stream.h"
#include "ftp/ftp_reply.h"
#include "ftp/ftp_types.h"
#include "net/async_socket.h"

namespace kestova {

class FtpClientCore {
 public:
  FtpClientCore();
  virtual ~FtpClientCore();
  FtpClientCore(const FtpClientCore&) = delete;
  FtpClientCore& operator=(const FtpClientCore&) = delete;

  // ---- Connection settings.
  std::string HostName;
  std::string Port = "ftp";
  std::string UserName;
  std::string PassWord;
  std::string ProxyServer;
  std::string ProxyPort = "ftp";
  std::string LocalAddr = "0.0.0.0";
  std::string SocksPassword, SocksPort, SocksServer, SocksUserCode;
  unsigned Options = ftpAcceptLF;
  bool DisplayFileFlag = false;

  FtpConnectionType ConnectionType() const { return connection_type_; }
  // Refused while the control connection is open. Every type but a direct
  // connection turns passive mode on.
  void SetConnectionType(FtpConnectionType type);
  bool Passive() const { return passive_; }
  // Takes the value only for direct connections; stores true otherwise.
  void SetPassive(bool passive);
  FtpShareMode ShareMode() const;
  void SetShareMode(FtpShareMode mode);

  // ---- Inputs of the operations.
  std::string HostDirName;
  std::string HostFileName;
  const std::string& LocalFileName() const { return local_file_name_; }
  // A non-empty name makes the client forget a caller's stream (not free it).
  void SetLocalFileName(const std::string& name);
  // The caller's stream for the next transfers (nullptr: back to files). The
  // client never frees it.
  void SetLocalStream(DataStream* stream);
  DataStream* LocalStream() const { return local_stream_; }
  bool Binary() const { return type_ == 'I'; }
  // Opens a local file for an upload; unset means the file itself, opened
  // with ShareMode. A test puts a stream that fails in its place.
  std::function<std::unique_ptr<DataStream>(const std::string& name, std::string& why)> OpenLocalFile;
  // Opens `name` as the next upload would; nothing, with the reason in `why`,
  // when it cannot.
  std::unique_ptr<DataStream> OpenForUpload(const std::string& name, std::string& why);
  // The most a listing may hold. A larger one fails its request and drops
  // the connection, rather than fill the memory with what a hostile or
  // broken server sends.
  std::int64_t MaxListingBytes = std::int64_t{32} << 20;

  // ---- Results.
  std::string LastReply;
  int ReplyCode = 0;
  std::string ErrorMessage;
  int RequestResult = 0;
  std::string ReplyPath;
  std::string PasvReply;
  // The last request failed on this side, for a reason another attempt
  // cannot mend: a command that cannot be sent, a local file that cannot be
  // read, a listing larger than MaxListingBytes.
  bool LocalFailure = false;
  FtpRequest RequestCode = FtpRequest::ftpNone;
  FtpClientState State() const { return state_; }
  std::int64_t TransferCount() const { return transfer_count_; }
  // The control socket is not closed (which is not the same as a login).
  bool Connected() const { return control_.State() != SocketState::wsClosed; }
  bool ControlOpen() const { return control_open_; }

  // ---- Events (the first argument is always the client).
  std::function<void(FtpClientCore&, std::string& msg)> OnDisplay;
  std::function<void(FtpClientCore&, std::string& msg)> OnDisplayFile;
  std::function<void(FtpClientCore&, std::string& msg)> OnError;
  std::function<void(FtpClientCore&, std::string& cmd)> OnCommand;
  std::function<void(FtpClientCore&)> OnResponse;
  std::function<void(FtpClientCore&, std::int64_t count, bool& abort)> OnProgress;
  std::function<void(FtpClientCore&, int error)> OnSessionConnected;
  std::function<void(FtpClientCore&, int error)> OnSessionClosed;
  std::function<void(FtpClientCore&, FtpRequest request, int error)> OnRequestDone;
  std::function<void(FtpClientCore&)> OnStateChange;
  std::function<void(FtpClientCore&, bool& cancel)> OnReadyToTransmit;
  std::function<void(FtpClientCore&, const std::exception&, bool& can_close)> OnBgException;

  // ---- Request starters (the blocking layer waits for them). Each returns
  // whether the request started; a refusal is reported (thrown) before
  // anything is sent.
  bool StartConnect();
  bool StartQuit();
  bool StartCwd();
  bool StartCDup();
  bool StartPwd();
  bool StartMkd();
  bool StartRmd();
  bool StartDele();
  bool StartTypeBinary();
  bool StartTypeAscii();
  bool StartPut();
  bool StartDir();
  bool StartLs();
  // Drops both connections at once; sends nothing.
  void Abort();

  // The sockets, for tests and the send-buffer query of uploads.
  AsyncSocket& ControlSocket() { return control_; }
  AsyncSocket& DataSocket() { return data_; }

 protected:
  // Called for every progress event of a transfer; true to go on.
  virtual bool Progress();

 private:
  enum class Step { Open, User, Pass, Cwd, Port, Stor, List, Nlst, Quit };
  using Handler = void (FtpClientCore::*)();

  // Requests (ftp_client_core.cpp).
  bool CheckReady();
  bool ReportError(const std::string& message);
  void KeepErrorMessage();
  void ChangeState(FtpClientState state);
  void Trace(const std::string& line);
  // False, with nothing sent, for a command line that holds CR, LF or NUL.
  bool SendCommand(const std::string& command);
  void RefuseCommand();
  bool StartCommand(FtpRequest code, const std::string& command, std::vector<int> accepted,
                    Handler after_reply = nullptr);
  bool StartCombined(FtpRequest code, std::vector<Step> steps);
  // Starts the next pending step; false when `starting` and the first step
  // was refused.
  bool NextStep(bool starting);
  bool StartStep(Step step);
  void AbandonStart();
  void FinishRequest(int error);
  void FailRequest(const std::string& composed, int code);
  void PostRequestDone(int error);
  void EvaluateCommandReply();
  void QuitReplied();
  void SetComposedReply(const std::string& line);

  // Control connection.
  bool OpenStep();
  bool UserStep();
  bool PassStep();
  void ControlLookupDone(int error);
  void ControlConnected(int error);
  void ControlDataAvailable();
  void ControlClosed(int error);
  void HandleReplyLine();
  void Greeting();
  void RejectReplyBuffer(const std::string& why);

  // Data connection (ftp_data.cpp).
  bool PortStep();
  bool ReceiveStep(const std::string& word);
  bool UploadStep();
  void ReleaseLocalStream();
  void ClearDataHandlers();
  void AimPassive();
  void FailTransfer(const std::string& line, int code);
  bool ConnectPassive(void (FtpClientCore::*connected)(int), int failure_code);
  void SendTransferCommand(Handler first_reply, const std::string& word, const std::string& command);
  void ReceiveAccepted();
  void ReceiveConnected(int error);
  void ReceiveData();
  void ReceiveClosed(int error);
  void ReceiveFirstReply();
  void ReceiveSecondReply();
  void TransferComplete();
  void RejectFirstReply();
  void RejectSecondReply(const char* trace);
  void FailAndDrop(const std::string& line, int code);
  void FailReadError();
  bool FromServer(int handle);
  void UploadAccepted();
  void UploadConnected(int error);
  void UploadFirstReply();
  void UploadSecondReply();
  void UploadStart();
  void SendBlock(int error);
  void UploadClosed(int error);
  void Statistics();
  void PostStartSend();

  friend class FtpClient;

  AsyncSocket control_;
  AsyncSocket data_;
  QObject notices_;  // context of posted notices: they die with the client

  FtpConnectionType connection_type_ = FtpConnectionType::ftpDirect;
  bool passive_ = false;
  int share_flags_ = 0x10;
  char type_ = 'I';
  std::string local_file_name_;
  DataStream* local_stream_ = nullptr;
  bool caller_stream_ = false;
  std::unique_ptr<DataStream> owned_stream_;

  FtpClientState state_ = FtpClientState::ftpStReady;
  bool control_open_ = false;
  ReplyReader reader_;  // received control bytes not yet split into lines
  std::vector<int> accepted_;
  Handler reply_handler_ = nullptr;
  Handler after_reply_ = nullptr;
  std::string pending_command_;
  bool done_once_ = false;
  bool in_combined_ = false;
  bool continuation_ = false;
  std::vector<Step> pending_steps_;
  bool step_running_ = false;
  Step current_step_ = Step::Open;
  bool user_answered_331_ = true;
  int combined_result_ = 0;
  std::string saved_reply_;
  int saved_code_ = -1;
  std::string last_report_;

  // Transfers.
  std::string data_command_;
  std::int64_t transfer_count_ = 0;
  std::int64_t transfer_start_ = 0;
  bool control_done_ = false;
  bool data_closed_ = false;
  int data_error_ = 0;
  bool stor_accepted_ = false;
  bool put_connected_ = false;
  bool end_of_data_ = false;
  std::string read_error_;  // why the local side of an upload could not be read
  std::uint64_t transfer_id_ = 0;  // tells a transfer's timers and posts from later ones
  char block_[1460];
};

}  // namespace kestova

// The event-driven FTP client. Nothing in it blocks: every operation starts a
// request that sends a command and returns; socket events drive the request
// forward, and when it ends the client is ready again and posts a
// request-done notice. A request is either one command, or a combined
// request of several steps (connect = open, USER, PASS; a transfer = PORT or
// PASV, then the transfer command) that run one after the other.
//
// This file and ftp_client_core.cpp hold the requests, ftp_client_session.cpp
// the session (connect, login, TLS, its end); the control connection is
// ftp_control.h, the data connection ftp_transfer.h.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ftp/ftp_control.h"
#include "ftp/ftp_reply.h"
#include "ftp/ftp_transfer.h"
#include "ftp/ftp_types.h"
#include "net/async_socket.h"
#include "net/certificate_check.h"
#include "site/data_stream.h"

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

  // ---- How uploads are made (see TransferTuning).
  TransferTuning Tuning;

  // ---- Security: plain FTP, or TLS on the control connection and on every
  // data connection (each resuming the control connection's session).
  FtpSecurity Security = FtpSecurity::Plain;
  // The fingerprint of a certificate the user trusts for this site even
  // though its chain does not verify; empty for none.
  std::string TrustedFingerprint;
  // The TLS versions allowed, as OpenSSL numbers them (TLS1_2_VERSION ...);
  // 0 leaves TLS 1.2 and newer.
  int TlsMinVersion = 0;
  int TlsMaxVersion = 0;
  // How the server's certificate was judged on the last connect.
  const CertificateCheck& Certificate() const { return certificate_; }
  // After a TLS connect: the version, the cipher and how the certificate
  // was accepted; empty for plain FTP.
  const std::string& TlsSummary() const { return tls_summary_; }

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
  // The new name RNTO gives the file RNFR named (HostFileName).
  std::string RenameTarget;
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
  // The lines between the first and the last line of the last multi-line
  // command reply (FEAT's features), as sent.
  std::vector<std::string> FeatureLines;
  int ReplyCode = 0;
  std::string ErrorMessage;
  int RequestResult = 0;
  std::string ReplyPath;
  std::string PasvReply;
  // The last request failed on this side, for a reason another attempt
  // cannot mend: a command that cannot be sent, a local file that cannot be
  // read, a listing larger than MaxListingBytes.
  bool LocalFailure = false;
  // The last transfer's data connection ended with an error, or could not
  // be made (reset or refused on the way), whatever the server replied:
  // what arrived may be cut short.
  bool DataCut = false;
  // The last request failed because a data connection presented another
  // certificate than the one the control connection was accepted with; the
  // session was dropped, and no new one can be trusted more.
  bool DataCertificateRefused = false;
  // The socket or resolver code (10061, 11001...) of the last connect that
  // failed before the server answered; 0 when it did not fail so.
  int ConnectError = 0;
  FtpRequest RequestCode = FtpRequest::ftpNone;
  FtpClientState State() const { return state_; }
  std::int64_t TransferCount() const { return transfer_.Count(); }
  // The control socket is not closed (which is not the same as a login).
  bool Connected() const { return control_.NotClosed(); }
  bool ControlOpen() const { return control_.Open(); }

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
  // Connects and makes the TLS handshake, then stops: no USER, no PASS.
  // Certificate() tells what the server showed; the request succeeds when
  // the certificate is accepted.
  bool StartProbe();
  bool StartQuit();
  bool StartCwd();
  bool StartCDup();
  bool StartPwd();
  bool StartMkd();
  bool StartRmd();
  bool StartDele();
  bool StartRnfr();
  // FEAT: the features the server lists come in FeatureLines.
  bool StartFeat();
  // MLSD of the host file name (the current folder when empty).
  bool StartMlsd();
  bool StartRnto();
  bool StartTypeBinary();
  bool StartTypeAscii();
  bool StartPut();
  // RETR of HostFileName into the local stream or file.
  bool StartGet();
  bool StartDir();
  bool StartLs();
  // Drops both connections at once; sends nothing.
  void Abort();

  // The sockets, for tests.
  AsyncSocket& ControlSocket() { return control_.Socket(); }
  AsyncSocket& DataSocket() { return transfer_.Socket(); }

 protected:
  // Called for every progress event of a transfer; true to go on.
  virtual bool Progress();

 private:
  friend class FtpClient;

  // What the data transfer sees of the client (TransferHost), defined with
  // the requests.
  class TransferView;
  friend class TransferView;

  // The steps of combined requests, in the order they run.
  enum class Step { Open, Auth, User, Pass, Pbsz, Prot, Port, Stor, Retr, List, Nlst, Mlsd };
  // The reply the client waits for: the sub-state of ftpStAwaitingReply.
  enum class Reply { None, Command, TransferFirst, TransferSecond };
  static const char* ReplyName(Reply reply);

  // Requests.
  bool CheckReady();
  bool ReportError(const std::string& message);
  void KeepErrorMessage();
  void ChangeState(FtpClientState state);
  void Expect(Reply reply);
  void Trace(const std::string& line);
  void SetComposedReply(const std::string& line);
  // Sends a command line (after OnCommand, with its trace). A line that
  // cannot be sent (it holds CR, LF or NUL, or there is no connection) fails
  // the request at once: false.
  bool SendCommand(const std::string& command);
  // What a command's final reply leads to besides its result: QUIT's ends
  // the session, AUTH TLS's starts TLS, PBSZ's and PROT's refusal ends a TLS
  // connect for good, and CWD's, MKD's, PWD's and CDUP's name a path.
  enum class Answer { Result, Quit, StartsTls, Protects, NamesPath };
  bool StartCommand(FtpRequest code, const std::string& command, std::vector<int> accepted,
                    Answer answer = Answer::Result);
  bool StartCombined(FtpRequest code, std::vector<Step> steps);
  // Starts the next pending step; false when `starting` and the first step
  // was refused.
  bool NextStep(bool starting);
  bool StartStep(Step step);
  void AbandonStart();
  // No further step runs; the request ends when this one does.
  void EndSteps() { continuation_ = false; }
  void FinishRequest(int error);
  // The one way a request ends as failed (see RequestFailure): the local
  // stream let go, the error message kept, no reply awaited and no further
  // step run.
  using Failure = RequestFailure;
  void EndRequest(int code);
  void FailRequest(const Failure& failure);
  void PostRequestDone(int error);
  void EvaluateCommandReply();

  // Control connection.
  bool OpenStep();
  bool AuthStep();
  bool UserStep();
  bool PassStep();
  bool PortStep();
  void ControlLookupDone(int error);
  void ControlConnected(int error);
  void ControlLine(std::string line);
  bool EndsReply(const ReplyCodeInfo& info);
  // TLS on the control connection.
  bool Secure() const { return Security != FtpSecurity::Plain; }
  void StartControlTls();
  void ControlSecured(int error);
  void FailSecurity(const std::string& line, bool for_good);
  void AuthRefused();
  // The settings of a data connection's TLS: a session the server handed
  // out to resume.
  TlsSettings DataTlsSettings() const;
  void ControlUnreadable(const std::string& why);
  void ControlClosed(int error, bool was_open);
  void Greeting(const ReplyCodeInfo& info, bool last);

  // Local side of transfers.
  void ReleaseLocalStream();
  void DisplayLines(const std::string& block);

  ControlConnection control_;
  std::unique_ptr<TransferView> view_;
  DataTransfer transfer_;
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
  Reply expected_ = Reply::None;
  std::vector<int> accepted_;
  Answer answer_ = Answer::Result;  // what the awaited command reply leads to
  std::string sent_command_;        // the command awaiting its reply, for the words of a refusal
  // The control connection's close that comes is the client's own doing
  // (QUIT, or a session ended because a reply is owed): no lost connection.
  bool closing_ = false;
  bool done_once_ = false;  // the current request or step has finished
  bool in_combined_ = false;
  bool continuation_ = false;  // a finished step goes on to the next
  std::vector<Step> pending_steps_;
  bool step_running_ = false;
  Step current_step_ = Step::Open;
  int combined_result_ = 0;
  std::string last_report_;
  int multiline_code_ = 0;  // the code of the multi-line reply being read, 0 between replies

  std::shared_ptr<TlsContext> tls_context_;
  CertificateCheck certificate_;
  std::string tls_summary_;
};

}  // namespace kestova

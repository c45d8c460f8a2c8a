// The FTP client as the rest of the program uses it: blocking operations that
// start one request of the event-driven client, wait in the event loop until
// it ends or `Timeout` seconds pass without progress, and answer true or
// false. No error leaves an operation as an exception.
#pragma once

#include <chrono>
#include <string>

#include "ftp/ftp_client_core.h"

namespace kestova {

class FtpClient : public FtpClientCore {
 public:
  FtpClient() = default;

  // The wait limit of each operation, in seconds; 0 or less waits without a
  // limit. For transfers it limits the time without data moving: every
  // kProgressFloor bytes moved give the transfer another Timeout seconds,
  // so a connection that trickles less than that in Timeout seconds counts
  // as stalled however long it goes on.
  int Timeout = 15;
  // The same limit in milliseconds, in place of Timeout when above 0: for
  // tests, which need short ones.
  int TimeoutMs = 0;
  static constexpr std::int64_t kProgressFloor = 64;

  bool Connect() { return RunBlocking(&FtpClientCore::StartConnect); }
  bool Probe() { return RunBlocking(&FtpClientCore::StartProbe); }
  bool Quit() { return RunBlocking(&FtpClientCore::StartQuit); }
  bool Pwd() { return RunBlocking(&FtpClientCore::StartPwd); }
  bool Cwd() { return RunBlocking(&FtpClientCore::StartCwd); }
  bool CDup() { return RunBlocking(&FtpClientCore::StartCDup); }
  bool Mkd() { return RunBlocking(&FtpClientCore::StartMkd); }
  bool Rmd() { return RunBlocking(&FtpClientCore::StartRmd); }
  bool Dele() { return RunBlocking(&FtpClientCore::StartDele); }
  bool Rnfr() { return RunBlocking(&FtpClientCore::StartRnfr); }
  bool Feat() { return RunBlocking(&FtpClientCore::StartFeat); }
  bool Mlsd() { return RunBlocking(&FtpClientCore::StartMlsd); }
  bool Rnto() { return RunBlocking(&FtpClientCore::StartRnto); }
  bool TypeBinary() { return RunBlocking(&FtpClientCore::StartTypeBinary); }
  bool TypeAscii() { return RunBlocking(&FtpClientCore::StartTypeAscii); }
  bool Put() { return RunBlocking(&FtpClientCore::StartPut); }
  bool Get() { return RunBlocking(&FtpClientCore::StartGet); }
  bool Dir() { return RunBlocking(&FtpClientCore::StartDir); }
  bool Ls() { return RunBlocking(&FtpClientCore::StartLs); }

  // Why the last operation failed, for people: the client's reason when it
  // refused to start it, else the first failing reply of the request, else
  // the last reply.
  std::string FailureText() const;

  // The user stopped the run: the operation under way ends at once and fails
  // with "426 Stopped by the user", its session dropped. A transfer whose
  // data is moving is cut there: the caller removes what reached the
  // server. Only the operation under way is stopped.
  void Interrupt();
  // The last operation was stopped by Interrupt.
  bool Interrupted() const { return interrupted_; }

 protected:
  // Data moving pushes the deadline forward.
  bool Progress() override;

 private:
  bool RunBlocking(bool (FtpClientCore::*start)());
  bool WaitForRequest();
  bool RequestEnded() const;
  // The wait limit; 0 or less for none.
  std::chrono::milliseconds Limit() const;

  // How long the server may take to answer for an upload whose file could
  // not be read.
  static constexpr std::chrono::seconds kAnswerAfterLocalError{3};

  std::chrono::steady_clock::time_point deadline_;
  std::int64_t pushed_at_ = 0;  // the transfer count when the deadline last moved
  std::string refusal_;         // why the last operation was refused before it started
  bool interrupted_ = false;    // the user stopped the operation under way
};

}  // namespace kestova

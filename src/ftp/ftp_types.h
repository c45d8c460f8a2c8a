// Types shared by the FTP client's layers.
#pragma once

#include <stdexcept>
#include <string>

#include "site/data_stream.h"
#include "site/site_settings.h"

namespace kestova {

// Argument and state errors of the FTP client, raised while no OnError
// handler is assigned.
class FtpException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class FtpConnectionType { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };

enum class FtpClientState {
  ftpStClosed,         // passing state after an open control connection closed
  ftpStReady,          // idle; a new request may start
  ftpStStepReady,      // a step or a connection loss has ended
  ftpStResolving,      // host name lookup running
  ftpStGreeted,        // the 220 greeting arrived
  ftpStAborting,       // Abort is running
  ftpStConnecting,     // TCP connection being made and greeting awaited
  ftpStAwaitingReply,  // a command was sent; waiting for its final reply
  ftpStPassiveReady,   // a 227 reply to PASV has been received and kept
};

const char* FtpStateName(FtpClientState state);

// Request codes, as OnRequestDone reports them.
enum class FtpRequest : unsigned char {
  ftpNone = 0,
  ftpOpen = 1,
  ftpUser = 2,
  ftpPass = 3,
  ftpCwd = 4,
  ftpConnect = 5,
  ftpGet = 6,
  ftpDir = 7,
  ftpLs = 8,
  ftpPort = 9,
  ftpQuit = 15,
  ftpPut = 18,
  ftpRenFrom = 19,
  ftpRenTo = 20,
  ftpMkd = 22,
  ftpRmd = 23,
  ftpDele = 25,
  ftpPwd = 32,
  ftpCDup = 34,
  ftpTypeSet = 37,
  ftpFeat = 40,
  ftpMlsd = 41,
};

// Options bits.
enum FtpOption : unsigned {
  ftpAcceptLF = 1u << 0,        // a bare LF ends a reply line
  ftpNoAutoResumeAt = 1u << 1,  // kept for callers; resumed transfers are not used
};

}  // namespace kestova

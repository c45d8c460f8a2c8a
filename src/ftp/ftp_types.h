// Types shared by the FTP client's layers.
#pragma once

#include <stdexcept>
#include <string>

namespace kestova {

// Argument and state errors of the FTP client, raised while no OnError
// handler is assigned.
class FtpException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class FtpConnectionType { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };

// How a site's transfers are made; the numbers are the ones stored in
// profiles. Classic is the program's first behaviour, kept exactly: 1460-byte
// blocks and a 100 ms pause before an upload's data connection closes.
// Modern sends 64 KiB blocks and closes as soon as the last byte has been
// handed to the system (after close_notify over TLS); the run then also
// lists each folder once and replaces files under a temporary name.
enum class TransferMethod { Classic = 0, Modern = 1 };

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

enum class FtpShareMode { ftpShareCompat, ftpShareExclusive, ftpShareDenyWrite, ftpShareDenyRead, ftpShareDenyNone };

// Options bits.
enum FtpOption : unsigned {
  ftpAcceptLF = 1u << 0,        // a bare LF ends a reply line
  ftpNoAutoResumeAt = 1u << 1,  // kept for callers; resumed transfers are not used
};

}  // namespace kestova

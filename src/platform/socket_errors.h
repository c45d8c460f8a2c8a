// The network error numbers the program speaks: the classic Windows Sockets
// codes (10000 plus the socket error number, 11001-11004 for the resolver).
// The socket layer, its messages and the FTP client all see these values, so
// the system's own errno and getaddrinfo codes are mapped onto them here, in
// one table.
#pragma once

#include <string>

namespace kestova {

// Codes the program tests for by name.
enum SocketErrorCode {
  kWsaEintr = 10004,
  kWsaEbadf = 10009,
  kWsaEacces = 10013,
  kWsaEinval = 10022,
  kWsaEmfile = 10024,
  kWsaEwouldblock = 10035,
  kWsaEinprogress = 10036,
  kWsaEnotsock = 10038,
  kWsaEaddrinuse = 10048,
  kWsaEaddrnotavail = 10049,
  kWsaEnetunreach = 10051,
  kWsaEconnaborted = 10053,
  kWsaEconnreset = 10054,
  kWsaEnotconn = 10057,
  kWsaEshutdown = 10058,
  kWsaEtimedout = 10060,
  kWsaEconnrefused = 10061,
  kWsaEhostunreach = 10065,
  kWsaNotinitialised = 10093,
  kWsaHostNotFound = 11001,
  kWsaTryAgain = 11002,
  kWsaNoRecovery = 11003,
  kWsaNoData = 11004,
};

// The code for a system errno value; 0 stays 0.
int SocketErrorFromErrno(int errno_value);

// The English text of a code.
std::string SocketErrorText(int code);
// What the system itself says of a code: strerror of its errno, or the
// resolver's text for 11001-11004; empty when the system has no word of its
// own for it.
std::string SystemErrorText(int code);

// The code for a getaddrinfo/getnameinfo result (EAI_*); 0 stays 0.
// `errno_value` is consulted for EAI_SYSTEM.
int SocketErrorFromResolver(int eai_value, int errno_value);

}  // namespace kestova

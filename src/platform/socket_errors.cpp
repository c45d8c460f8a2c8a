#include "platform/socket_errors.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

namespace kestova {

namespace {

// Every code the program speaks, with the system's errno that stands for it
// (0 for none) and its English text.
struct ErrorRow {
  int code;
  int errno_value;
  const char* text;
};

const ErrorRow kErrors[] = {
    {0, 0, "No Error"},
    {10004, EINTR, "Interrupted system call"},
    {10009, EBADF, "Bad file number"},
    {10013, EACCES, "Permission denied"},
    {10014, EFAULT, "Bad address"},
    {10022, EINVAL, "Invalid argument"},
    {10024, EMFILE, "Too many open files"},
    {10035, EWOULDBLOCK, "Operation would block"},  // EAGAIN is the same value on Linux
    {10036, EINPROGRESS, "Operation now in progress"},
    {10037, EALREADY, "Operation already in progress"},
    {10038, ENOTSOCK, "Socket operation on non-socket"},
    {10039, EDESTADDRREQ, "Destination address required"},
    {10040, EMSGSIZE, "Message too long"},
    {10041, EPROTOTYPE, "Protocol wrong type for socket"},
    {10042, ENOPROTOOPT, "Protocol not available"},
    {10043, EPROTONOSUPPORT, "Protocol not supported"},
    {10044, ESOCKTNOSUPPORT, "Socket type not supported"},
    {10045, EOPNOTSUPP, "Operation not supported on socket"},
    {10046, EPFNOSUPPORT, "Protocol family not supported"},
    {10047, EAFNOSUPPORT, "Address family not supported by protocol family"},
    {10048, EADDRINUSE, "Address already in use"},
    {10049, EADDRNOTAVAIL, "Address not available"},
    {10050, ENETDOWN, "Network is down"},
    {10051, ENETUNREACH, "Network is unreachable"},
    {10052, ENETRESET, "Network dropped connection on reset"},
    {10053, ECONNABORTED, "Connection aborted"},
    {10054, ECONNRESET, "Connection reset by peer"},
    {10055, ENOBUFS, "No buffer space available"},
    {10056, EISCONN, "Socket is already connected"},
    {10057, ENOTCONN, "Socket is not connected"},
    {10058, ESHUTDOWN, "Can't send after socket shutdown"},
    {10059, ETOOMANYREFS, "Too many references: can't splice"},
    {10060, ETIMEDOUT, "Connection timed out"},
    {10061, ECONNREFUSED, "Connection refused"},
    {10062, ELOOP, "Too many levels of symbolic links"},
    {10063, ENAMETOOLONG, "File name too long"},
    {10064, EHOSTDOWN, "Host is down"},
    {10065, EHOSTUNREACH, "No route to host"},
    {10066, ENOTEMPTY, "Directory not empty"},
    {10067, 0, "Too many processes"},
    {10068, EUSERS, "Too many users"},
    {10069, EDQUOT, "Disc quota exceeded"},
    {10070, ESTALE, "Stale NFS file handle"},
    {10071, EREMOTE, "Too many levels of remote in path"},
    {10091, 0, "Network sub-system is unusable"},
    {10092, 0, "WinSock DLL cannot support this application"},
    {10093, 0, "WinSock not initialized"},
    {11001, 0, "Host not found"},
    {11002, 0, "Non-authoritative host not found"},
    {11003, 0, "Non-recoverable error"},
    {11004, 0, "No Data"},
};

// Further errno values that mean the same as a code above.
const struct {
  int code;
  int errno_value;
} kAliases[] = {
    {10013, EPERM},
    {10024, ENFILE},
    // Writing to a connection the peer has reset: Windows Sockets reports
    // the reset itself, and callers treat both the same way.
    {10054, EPIPE},
    {10055, ENOMEM},
};

}  // namespace

int SocketErrorFromErrno(int errno_value) {
  if (errno_value == 0) return 0;
  for (const ErrorRow& row : kErrors) {
    if (row.errno_value == errno_value) return row.code;
  }
  for (const auto& alias : kAliases) {
    if (alias.errno_value == errno_value) return alias.code;
  }
  return 10000 + errno_value;
}

std::string SocketErrorText(int code) {
  for (const ErrorRow& row : kErrors) {
    if (row.code == code) return row.text;
  }
  return "Not a WinSock error";
}

std::string SystemErrorText(int code) {
  switch (code) {
    case 11001: return ::gai_strerror(EAI_NONAME);
    case 11002: return ::gai_strerror(EAI_AGAIN);
    case 11003: return ::gai_strerror(EAI_FAIL);
#ifdef EAI_NODATA
    case 11004: return ::gai_strerror(EAI_NODATA);
#endif
    default: break;
  }
  for (const ErrorRow& row : kErrors) {
    if (row.code == code && row.errno_value != 0) return std::strerror(row.errno_value);
  }
  if (code > 10000 && code < 11000) return std::strerror(code - 10000);
  return std::string();
}

int SocketErrorFromResolver(int eai_value, int errno_value) {
  switch (eai_value) {
    case 0: return 0;
    case EAI_NONAME: return 11001;
#ifdef EAI_NODATA
    case EAI_NODATA: return 11004;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return 11004;
#endif
    case EAI_AGAIN: return 11002;
    case EAI_FAIL: return 11003;
    case EAI_MEMORY: return 10055;
    case EAI_FAMILY: return 10047;
    case EAI_SOCKTYPE: return 10044;
    case EAI_SERVICE: return 11001;
    case EAI_BADFLAGS: return 10022;
    case EAI_OVERFLOW: return 10014;
    case EAI_SYSTEM: return SocketErrorFromErrno(errno_value);
    default: return 11003;
  }
}

}  // namespace kestova

#include "ftp/ftp_types.h"

namespace kestova {

const char* FtpStateName(FtpClientState state) {
  switch (state) {
    case FtpClientState::ftpStClosed: return "ftpStClosed";
    case FtpClientState::ftpStReady: return "ftpStReady";
    case FtpClientState::ftpStStepReady: return "ftpStStepReady";
    case FtpClientState::ftpStResolving: return "ftpStResolving";
    case FtpClientState::ftpStGreeted: return "ftpStGreeted";
    case FtpClientState::ftpStAborting: return "ftpStAborting";
    case FtpClientState::ftpStConnecting: return "ftpStConnecting";
    case FtpClientState::ftpStAwaitingReply: return "ftpStAwaitingReply";
    case FtpClientState::ftpStPassiveReady: return "ftpStPassiveReady";
  }
  return "?";
}

}  // namespace kestova

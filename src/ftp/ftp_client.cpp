#include "ftp/ftp_client.h"

namespace kestova {

void FtpClient::SetConnectionType(FtpConnectionType type) {
  connection_type_ = type;
  if (type != FtpConnectionType::ftpDirect) passive_ = true;
}

void FtpClient::SetPassive(bool passive) {
  passive_ = connection_type_ == FtpConnectionType::ftpDirect ? passive : true;
}

}  // namespace kestova

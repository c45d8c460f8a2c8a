// A site's settings tried without a run: connect, log in, go to the start
// directory, and say what happened in words for a message box. Nothing on
// the server is changed.
#pragma once

#include <string>
#include <vector>

#include "ftp/ftp_client.h"

namespace kestova {

struct ConnectionReport {
  bool ok = false;
  std::vector<std::string> lines;
  std::string Text() const;
};

// Uses `client` (which must not be connected) and leaves it disconnected.
ConnectionReport TestConnection(FtpClient& client, const std::string& start_dir);

}  // namespace kestova

// A site's settings tried without a run: connect, log in, go to the start
// directory, and say what happened in words for a message box. Nothing on
// the server is changed.
#pragma once

#include <string>
#include <vector>

#include "site/site_connection.h"
#include "site/site_settings.h"

namespace kestova {

struct ConnectionReport {
  bool ok = false;
  std::vector<std::string> lines;
  std::string Text() const;
};

// Opens a connection of its own from the site's settings, or uses
// `connection` (which must not be connected), and leaves it disconnected.
ConnectionReport TestConnection(const SiteSettings& site, const std::string& start_dir,
                                SiteConnection* connection = nullptr);

}  // namespace kestova

#include "transports/open_site.h"

#include "ftp/ftp_site_connection.h"

namespace kestova {

std::unique_ptr<SiteConnection> OpenSite(const SiteSettings& site) { return std::make_unique<FtpSiteConnection>(site); }

}  // namespace kestova

#include "transports/open_site.h"

#include "ftp/ftp_site_connection.h"
#include "sftp/sftp_site_connection.h"

namespace kestova {

std::unique_ptr<SiteConnection> OpenSite(const SiteSettings& site) {
  if (site.Protocol == SiteProtocol::Sftp) return std::make_unique<SftpSiteConnection>(site);
  return std::make_unique<FtpSiteConnection>(site);
}

}  // namespace kestova

// The one place that knows every transport: a run opens its site here, by
// the site's settings, and speaks to it only through SiteConnection.
#pragma once

#include <memory>

#include "site/site_connection.h"
#include "site/site_settings.h"

namespace kestova {

std::unique_ptr<SiteConnection> OpenSite(const SiteSettings& site);

}  // namespace kestova

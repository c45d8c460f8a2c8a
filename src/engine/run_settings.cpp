#include "engine/run_settings.h"

#include <algorithm>

#include "profile/site_profile.h"

namespace kestova {

RunSettings SettingsForJob(SiteProfile& profile, bool redirect) {
  RunSettings settings;
  SiteSettings& site = redirect ? profile.OldSite : profile.NewSite;
  site.SetThroughProxy(!site.ProxyServer.empty());
  settings.Site = site;
  settings.SiteURL = redirect ? profile.OldURL : profile.NewURL;
  settings.StartDir = redirect ? profile.OldStartDir : profile.NewStartDir;
  settings.LocalRoot = profile.RootSource;
  settings.RedirectJob = redirect;
  settings.RetryPause = redirect ? profile.OldRetryPause : profile.NewRetryPause;
  settings.Retries = redirect ? profile.OldRetries : profile.NewRetries;
  settings.Ramped = redirect ? profile.OldRamped : profile.NewRamped;
  settings.WipeFirst = redirect ? profile.OldWipe : profile.NewWipe;
  // Redirection pages always go as text.
  settings.BinaryMode = redirect ? false : profile.NewBinary;
  settings.AutoDetect = redirect ? false : profile.NewAutoDetect;
  // A wipe leaves nothing to remove.
  settings.RemoveGone = !redirect && profile.NewDelete && !profile.NewWipe;
  settings.MaxRemove = profile.NewMaxDelete;
  settings.Exclude = profile.Exclude;
  settings.OldAllPages = redirect && profile.OldAllPages;
  settings.Connections =
      std::clamp(redirect ? profile.OldConnections : profile.NewConnections, 1, RunSettings::kMaxConnections);
  return settings;
}

RunSettings SettingsForFetch(SiteProfile& profile, const std::string& into) {
  RunSettings settings = SettingsForJob(profile, true);
  settings.RedirectJob = false;
  settings.FetchJob = true;
  if (!into.empty()) settings.LocalRoot = into;
  // The bytes the server holds, whatever the names say.
  settings.BinaryMode = true;
  settings.AutoDetect = false;
  settings.WipeFirst = false;
  settings.RemoveGone = false;
  settings.OldAllPages = false;
  return settings;
}

std::string WipeQuestion(bool redirect) {
  return std::string(redirect ? "You are about to wipe your entire original site."
                              : "You are about to wipe your entire live site.") +
         "\nAre you sure you wish to do this?";
}

std::string WipePreview::Question() const {
  const auto count = [](std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  std::string text = WipeQuestion(redirect) + "\n\nHost: " + host + "\nStart folder: " + start_dir + "\n" +
                     count(files, "file", "files") + " and " + count(folders, "folder", "folders") +
                     " will be deleted (dot-files such as .htaccess stay).";
  if (redirect) {
    text +=
        "\nThis deletes the old site's pictures, style sheets and downloads too: the redirection pages replace "
        "only its pages.";
  }
  return text;
}

std::string RemovalPreview::Question() const {
  const auto count = [](std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  std::string text = "This run would remove " + count(files, "file", "files") + " and " +
                     count(folders, "folder", "folders") + " that are no longer in the local folder, more than " +
                     "the " + std::to_string(limit) + " it removes without asking.\n\nHost: " + host +
                     "\nStart folder: " + start_dir + "\n";
  const size_t shown = std::min<size_t>(paths.size(), 20);
  for (size_t i = 0; i < shown; ++i) text += "\n" + paths[i];
  if (paths.size() > shown) text += "\n(and " + std::to_string(paths.size() - shown) + " more, listed in the log)";
  return text + "\n\nRemove them?";
}

bool LoadedProfileView::TestRun() const { return profile_.TestRun; }
bool LoadedProfileView::ExclFrontPage() const { return profile_.ExclFrontPage; }
bool LoadedProfileView::NewChanges() const { return profile_.NewChanges; }
std::string LoadedProfileView::AutoDetectExts() const { return profile_.AutoDetectExts; }
std::string LoadedProfileView::NewURL() const { return profile_.NewURL; }
std::string LoadedProfileView::OldURL() const { return profile_.OldURL; }

}  // namespace kestova

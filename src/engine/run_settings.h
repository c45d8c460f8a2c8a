// What one transfer run works from: the settings copied from the chosen site
// when the run starts, and the narrow view of the loaded profile that the run
// reads while it goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "site/site_settings.h"

namespace kestova {

class SiteProfile;

struct RunSettings {
  SiteSettings Site;  // how to reach the chosen site; the run opens its connection from these
  std::string SiteURL;
  std::string StartDir;
  std::string LocalRoot;
  bool RedirectJob = false;
  // Fetch the old site: the start folder's tree is downloaded into the
  // local folder (see Fetch).
  bool FetchJob = false;
  // The run works on the old site (the redirection pages, the fetch), whose
  // settings the profile names Old...
  bool OnOldSite() const { return RedirectJob || FetchJob; }
  int RetryPause = 3;
  int Retries = 5;
  bool Ramped = true;
  bool WipeFirst = false;
  bool BinaryMode = false;
  bool AutoDetect = false;
  // Keeping the new site in step (the publish only): once every upload of
  // the run succeeded, remote files and folders below the start folder that
  // the local folder no longer has are removed; more than MaxRemove files
  // (or 10 % of the remote files, when that is more) only after a yes.
  bool RemoveGone = false;
  int MaxRemove = 50;
  // Patterns of what every job leaves out, one per line (Exclusions).
  std::string Exclude;
  // The redirection job also puts a page over every page of the old site
  // that the local folder does not hold (OldPages).
  bool OldAllPages = false;
  // Sessions the modern method and SFTP may send or fetch over side by
  // side (1 to 8); the classic method always works over one.
  int Connections = 1;
  static constexpr int kMaxConnections = 8;
};

// What a removal found to remove when there is more than the limit, and the
// question that names it.
struct RemovalPreview {
  std::string host;
  std::string start_dir;
  std::int64_t files = 0;
  std::int64_t folders = 0;
  std::int64_t limit = 0;
  std::vector<std::string> paths;  // what would go, files and folders
  std::string Question() const;
};

// The settings of the publish job (new site) or the redirection job (old
// site), as the main window fills them right before a run. The profile's site
// notes whether the run goes through its proxy, as a client kept it.
RunSettings SettingsForJob(SiteProfile& profile, bool redirect);
// The settings of a fetch of the old site's start folder into the local
// folder, or into `into` when it is not empty.
RunSettings SettingsForFetch(SiteProfile& profile, const std::string& into);

// The question asked before a run that wipes a site first, in two lines.
std::string WipeQuestion(bool redirect);

// What a wipe found to delete, counted from the server's listings before
// anything is deleted, and the question that names it.
struct WipePreview {
  std::string host;
  std::string start_dir;
  std::int64_t files = 0;
  std::int64_t folders = 0;
  bool redirect = false;
  // The two lines of WipeQuestion, then the host, the start folder and
  // what goes; for the old site, that its pictures and styles go too.
  std::string Question() const;
};

// What a run reads from the loaded profile while it runs, not copied.
class ProfileView {
 public:
  virtual ~ProfileView() = default;
  virtual bool TestRun() const = 0;
  virtual bool ExclFrontPage() const = 0;
  virtual bool NewChanges() const = 0;
  virtual std::string AutoDetectExts() const = 0;
  virtual std::string NewURL() const = 0;
  virtual std::string OldURL() const = 0;
  // The redirection template as the editor holds it, and the profile's name.
  virtual std::vector<std::string> TemplateLines() const = 0;
  virtual std::string ProfileName() const = 0;
};

// The view over a loaded SiteProfile; the template lines and the name are
// kept beside it (the editor and the profile list hold them in the windows).
class LoadedProfileView : public ProfileView {
 public:
  LoadedProfileView(const SiteProfile& profile, std::vector<std::string> template_lines, std::string name)
      : profile_(profile), template_lines_(std::move(template_lines)), name_(std::move(name)) {}
  bool TestRun() const override;
  bool ExclFrontPage() const override;
  bool NewChanges() const override;
  std::string AutoDetectExts() const override;
  std::string NewURL() const override;
  std::string OldURL() const override;
  std::vector<std::string> TemplateLines() const override { return template_lines_; }
  std::string ProfileName() const override { return name_; }
  void SetTemplateLines(std::vector<std::string> lines) { template_lines_ = std::move(lines); }

 private:
  const SiteProfile& profile_;
  std::vector<std::string> template_lines_;
  std::string name_;
};

}  // namespace kestova

// The loaded site profile: everything the user configures about one move,
// held in memory while the program runs. The windows edit it and the engine
// reads it; the store operations load it from and save it to the registry.
//
// How to reach each site is a SiteSettings; everything else is a plain member
// named after its stored field.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "profile/profile_fields.h"
#include "site/site_settings.h"

namespace kestova {

class SiteProfile {
 public:
  // `store_file` names the registry file; empty means Registry::DefaultFile().
  explicit SiteProfile(std::string store_file = std::string());

  // How to reach the two sites, the old site's first. A run copies the
  // chosen site's and opens its own connection from them.
  SiteSettings OldSite;
  SiteSettings NewSite;

  std::string OldURL;
  std::string NewURL;
  bool OldWipe = false;
  bool NewBinary = false;
  bool NewAutoDetect = false;
  bool NewWipe = false;
  bool NewChanges = false;
  bool NewDelete = false;  // remove what is no longer local (see RunSettings::RemoveGone)
  int NewMaxDelete = 50;
  std::string Exclude;  // exclusion patterns, one per line
  bool OldAllPages = false;
  int NewConnections = 4;  // sessions side by side (RunSettings::Connections)
  int OldConnections = 4;  // redirection pages over the old site's own pages too (RunSettings::OldAllPages)
  bool NewRamped = true;
  bool OldRamped = true;
  int NewRetries = 5;
  int OldRetries = 5;
  int NewRetryPause = 3;
  int OldRetryPause = 3;
  std::string OldStartDir;
  std::string NewStartDir;
  std::string AutoDetectExts;
  std::string RootSource;  // the local folder holding the site's files
  std::string HTMLFile;    // the redirection template file
  bool ExclFrontPage = true;
  bool TestRun = false;

  // The profile names as found in the store, "Default" first, and the same
  // names sorted without regard to case as the profile lists show them, with
  // the entry that is selected there.
  std::vector<std::string> ProfileNames;
  std::vector<std::string> ProfileList;
  std::string SelectedProfile;

  // While set, SaveRegistry writes nothing. Set from creation until the
  // windows have shown the first profile, and for the whole of every load, so
  // that change handlers fired by filling the windows do not save half a
  // profile.
  bool Loading = true;

  // Whether the template editor is shown. A load that finds another value
  // toggles it through OnTemplateToggle, as the view button would.
  bool IsTemplateVisible() const { return template_visible_; }
  void ToggleTemplate();
  // Records the editor's state as the windows set it (no OnTemplateToggle).
  void SetTemplateVisible(bool visible) { template_visible_ = visible; }
  std::function<void(bool visible)> OnTemplateToggle;
  // Called when RefreshProfileList has rebuilt the lists.
  std::function<void()> OnProfileListChanged;

  const std::string& StoreFile() const { return store_file_; }
  // Kestova's own known_hosts file, beside the store: the SFTP host keys
  // the user chose to trust.
  std::string HostKeysFile() const;

  // Loads profile `name`, creating its key and writing the default of every
  // missing value first. A value stored with the wrong type stops the load
  // with RegistryError("Invalid data type for '<field>'"); values applied
  // before it stay applied.
  void LoadRegistry(const std::string& name);
  // Writes the whole profile as one transaction. True exactly when the
  // profile's key did not exist before, that is when this call created it.
  // Fields left as they were loaded keep what is stored, so that a change
  // another program made since is not overwritten.
  bool SaveRegistry(const std::string& name);
  void RefreshProfileList();
  // The name as ProfileNames holds it, for a name in any letter case;
  // nothing when there is no such profile.
  std::optional<std::string> ListedName(const std::string& name) const;
  // The current profile's name, written as "Default" first when missing.
  std::string GetCurrentProfile();
  void SetCurrentProfile(const std::string& name);
  // Deletes the key of profile `name` with everything below it. False for
  // "Default" and for a profile that does not exist.
  bool DeleteProfile(const std::string& name);
  bool ProfileExists(const std::string& name);

  // A field's in-memory value: text fields in `text` (passwords in clear),
  // booleans and integers in `number`.
  struct Value {
    std::string text;
    std::int32_t number = 0;
  };
  Value Get(FieldId id) const;
  void Set(FieldId id, const Value& value);

  // Writes only the given fields of profile `name`, in one transaction; a
  // profile that does not exist is first created as a copy of profile
  // `copy_from`. True when it was created. The in-memory profile is not
  // touched.
  bool UpdateProfile(const std::string& name, const std::vector<std::pair<FieldId, Value>>& changes,
                     const std::string& copy_from);

 private:
  void TakeSnapshot(const std::string& name);

  std::string store_file_;
  bool template_visible_ = false;
  // The profile as last loaded or saved, field by field, and its name.
  std::vector<Value> snapshot_;
  std::string loaded_name_;
};

// Why a name cannot be a new profile's, or nothing when it can: the name goes
// into a key path, where a backslash would make it a path of several keys and
// an empty one has no key of its own; control characters would break the
// lines that list profiles. Existing names are used as they are.
std::optional<std::string> ProfileNameProblem(const std::string& name);
// A name on one line, its control characters (tabs too) written out.
std::string ShownProfileName(const std::string& name);

}  // namespace kestova

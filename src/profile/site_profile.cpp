#include "profile/site_profile.h"

#include <algorithm>

#include "common/text_helpers.h"
#include "platform/registry.h"
#include "profile/stored_value.h"

namespace kestova {

namespace {

const char* const kCurrentProfileValue = "CurrProfile";

// A stored number that names no mode asks for TLS rather than plain FTP: a
// damaged value must not send a password in clear.
FtpSecurity SecurityOf(int number) {
  return number >= 0 && number <= 2 ? static_cast<FtpSecurity>(number) : FtpSecurity::Explicit;
}

// A stored number that names no method reads as the classic one, the
// program's first behaviour.
TransferMethod MethodOf(int number) { return number == 1 ? TransferMethod::Modern : TransferMethod::Classic; }
// A damaged protocol number keeps FTP.
SiteProtocol ProtocolOf(int number) { return number == 1 ? SiteProtocol::Sftp : SiteProtocol::Ftp; }

void WriteDefault(Registry& registry, const std::string& key, const ProfileField& field) {
  switch (field.Type) {
    case FieldType::String: registry.WriteString(key, field.Name, field.DefaultText); break;
    case FieldType::Password: registry.WriteString(key, field.Name, StorePassword(field.DefaultText)); break;
    case FieldType::Boolean:
    case FieldType::Integer: registry.WriteInteger(key, field.Name, field.DefaultNumber); break;
  }
}

SiteProfile::Value ReadField(Registry& registry, const std::string& key, const ProfileField& field) {
  SiteProfile::Value value;
  switch (field.Type) {
    case FieldType::String: value.text = registry.ReadString(key, field.Name); break;
    case FieldType::Password: value.text = ReadPassword(registry.ReadString(key, field.Name)); break;
    case FieldType::Boolean:  // as stored: any non-zero value is true
    case FieldType::Integer: value.number = registry.ReadInteger(key, field.Name); break;
  }
  return value;
}

void WriteField(Registry& registry, const std::string& key, const ProfileField& field,
                const SiteProfile::Value& value) {
  switch (field.Type) {
    case FieldType::String: registry.WriteString(key, field.Name, value.text); break;
    case FieldType::Password: registry.WriteString(key, field.Name, StorePassword(value.text)); break;
    case FieldType::Boolean: registry.WriteBool(key, field.Name, value.number != 0); break;
    case FieldType::Integer: registry.WriteInteger(key, field.Name, value.number); break;
  }
}

bool SameValue(const SiteProfile::Value& a, const SiteProfile::Value& b) {
  return a.text == b.text && a.number == b.number;
}

// Copies a stored value as it is, whatever its type.
void CopyValue(Registry& registry, const std::string& from, const std::string& to, const std::string& name) {
  if (registry.ValueType(from, name) == RegistryType::rdInteger) {
    registry.WriteInteger(to, name, registry.ReadInteger(from, name));
  } else {
    registry.WriteString(to, name, registry.ReadString(from, name));
  }
}

// Clears a flag on every way out of a scope.
class ClearOnExit {
 public:
  explicit ClearOnExit(bool& flag) : flag_(flag) {}
  ~ClearOnExit() { flag_ = false; }
  ClearOnExit(const ClearOnExit&) = delete;
  ClearOnExit& operator=(const ClearOnExit&) = delete;

 private:
  bool& flag_;
};

}  // namespace

SiteProfile::SiteProfile(std::string store_file)
    : store_file_(store_file.empty() ? Registry::DefaultFile() : std::move(store_file)) {
  // SFTP checks host keys against the user's known_hosts and Kestova's own.
  NewSite.KnownHosts = OldSite.KnownHosts = {HostKeysFile()};
}

std::string SiteProfile::HostKeysFile() const {
  const size_t slash = store_file_.find_last_of('/');
  return (slash == std::string::npos ? std::string() : store_file_.substr(0, slash + 1)) + "known_hosts";
}

void SiteProfile::ToggleTemplate() {
  template_visible_ = !template_visible_;
  if (OnTemplateToggle) OnTemplateToggle(template_visible_);
}

void SiteProfile::LoadRegistry(const std::string& name) {
  Loading = true;
  ClearOnExit clear(Loading);
  loaded_name_.clear();
  std::vector<Value> stored(ProfileFields().size());
  Registry registry(store_file_);
  const std::string key = ProfileKey(name);
  if (!registry.CreateKey(key)) return;
  for (const ProfileField& field : ProfileFields()) {
    if (!registry.ValueExists(key, field.Name)) WriteDefault(registry, key, field);
    // RootDestn is only ever given its default; RootSource takes its value
    // after the new site's proxy, although its default is written here.
    if (field.Id == FieldId::RootDestn || field.Id == FieldId::RootSource) continue;
    Set(field.Id, stored[static_cast<size_t>(field.Id)] = ReadField(registry, key, field));
    if (field.Id == FieldId::NewProxy) {
      const ProfileField& root = ProfileFieldOf(FieldId::RootSource);
      Set(root.Id, stored[static_cast<size_t>(root.Id)] = ReadField(registry, key, root));
    }
  }
  snapshot_ = std::move(stored);
  loaded_name_ = name;
}

void SiteProfile::TakeSnapshot(const std::string& name) {
  snapshot_.clear();
  for (const ProfileField& field : ProfileFields()) snapshot_.push_back(Get(field.Id));
  loaded_name_ = name;
}

bool SiteProfile::SaveRegistry(const std::string& name) {
  if (Loading || name.empty()) return false;
  Registry registry(store_file_);
  const std::string key = ProfileKey(name);
  // One transaction: a crash or a second copy of the program never sees half
  // a profile.
  Registry::Batch batch(registry);
  const bool created = !registry.KeyExists(key);
  if (!registry.CreateKey(key)) return created;
  // A field whose value is what this program loaded (or last saved) keeps
  // what is stored: another program (a second window, 'kestova profile set')
  // may have changed it since, and that change must not be lost. For one
  // program alone this writes exactly what writing every field would.
  const bool guarded = !created && !loaded_name_.empty() && SameText(name, loaded_name_);
  for (const ProfileField& field : ProfileFields()) {
    if (field.Id == FieldId::RootDestn) continue;
    const Value value = Get(field.Id);
    const bool untouched = guarded && SameValue(value, snapshot_[static_cast<size_t>(field.Id)]);
    if (untouched && registry.ValueExists(key, field.Name)) continue;
    WriteField(registry, key, field, value);
  }
  batch.Commit();
  TakeSnapshot(name);
  return created;
}

bool SiteProfile::UpdateProfile(const std::string& name, const std::vector<std::pair<FieldId, Value>>& changes,
                                const std::string& copy_from) {
  Registry registry(store_file_);
  Registry::Batch batch(registry);
  const std::string key = ProfileKey(name);
  const bool created = !registry.KeyExists(key);
  if (!registry.CreateKey(key)) return false;
  if (created) {
    const std::string source = ProfileKey(copy_from);
    for (const ProfileField& field : ProfileFields()) {
      // A new profile never wipes a site the user has not chosen to wipe
      // for it.
      if (field.Id == FieldId::NewWipe || field.Id == FieldId::OldWipe) {
        WriteField(registry, key, field, Value{std::string(), 0});
      } else if (registry.ValueExists(source, field.Name)) {
        CopyValue(registry, source, key, field.Name);
      } else {
        WriteDefault(registry, key, field);
      }
    }
  }
  for (const auto& [id, value] : changes) WriteField(registry, key, ProfileFieldOf(id), value);
  batch.Commit();
  return created;
}

void SiteProfile::RefreshProfileList() {
  ProfileNames.assign(1, kDefaultProfile);
  {
    Registry registry(store_file_);
    if (!registry.CreateKey(kProfileBaseKey)) return;
    for (const std::string& subkey : registry.SubKeyNames(kProfileBaseKey)) {
      if (SameText(LeftPart(subkey, 5), kProfileKeyPrefix)) ProfileNames.push_back(TailFrom(subkey, 6));
    }
  }
  const std::optional<std::string> listed = ListedName(GetCurrentProfile());
  if (!listed) SetCurrentProfile(kDefaultProfile);
  ProfileList = ProfileNames;
  std::stable_sort(ProfileList.begin(), ProfileList.end(),
                   [](const std::string& a, const std::string& b) { return FoldCase(a) < FoldCase(b); });
  SelectedProfile = listed.value_or(kDefaultProfile);
  if (OnProfileListChanged) OnProfileListChanged();
}

std::optional<std::string> SiteProfile::ListedName(const std::string& name) const {
  for (const std::string& listed : ProfileNames) {
    if (SameText(listed, name)) return listed;
  }
  return std::nullopt;
}

std::string SiteProfile::GetCurrentProfile() {
  Registry registry(store_file_);
  if (!registry.CreateKey(kProfileBaseKey)) return std::string();
  if (!registry.ValueExists(kProfileBaseKey, kCurrentProfileValue)) {
    registry.WriteString(kProfileBaseKey, kCurrentProfileValue, kDefaultProfile);
  }
  return registry.ReadString(kProfileBaseKey, kCurrentProfileValue);
}

void SiteProfile::SetCurrentProfile(const std::string& name) {
  Registry registry(store_file_);
  if (registry.CreateKey(kProfileBaseKey)) registry.WriteString(kProfileBaseKey, kCurrentProfileValue, name);
}

bool SiteProfile::DeleteProfile(const std::string& name) {
  if (SameText(name, kDefaultProfile)) return false;
  Registry registry(store_file_);
  return registry.DeleteKey(ProfileKey(name));
}

bool SiteProfile::ProfileExists(const std::string& name) {
  Registry registry(store_file_);
  return registry.KeyExists(ProfileKey(name));
}

SiteProfile::Value SiteProfile::Get(FieldId id) const {
  auto text = [](const std::string& t) { return Value{t, 0}; };
  auto flag = [](bool b) { return Value{std::string(), b ? 1 : 0}; };
  auto number = [](int n) { return Value{std::string(), n}; };
  switch (id) {
    case FieldId::OldURL: return text(OldURL);
    case FieldId::OldHostName: return text(OldSite.HostName);
    case FieldId::OldUserId: return text(OldSite.UserName);
    case FieldId::OldPassword: return text(OldSite.PassWord);
    case FieldId::OldPort: return text(OldSite.Port);
    case FieldId::OldPASV: return flag(OldSite.Passive());
    case FieldId::OldWipe: return flag(OldWipe);
    case FieldId::OldProxy: return text(OldSite.ProxyServer);
    case FieldId::NewURL: return text(NewURL);
    case FieldId::NewHostName: return text(NewSite.HostName);
    case FieldId::NewUserId: return text(NewSite.UserName);
    case FieldId::NewPassword: return text(NewSite.PassWord);
    case FieldId::NewPort: return text(NewSite.Port);
    case FieldId::NewBinary: return flag(NewBinary);
    case FieldId::NewAutoDetect: return flag(NewAutoDetect);
    case FieldId::HTMLVisible: return flag(IsTemplateVisible());
    case FieldId::NewRetries: return number(NewRetries);
    case FieldId::OldRetries: return number(OldRetries);
    case FieldId::NewRetryPause: return number(NewRetryPause);
    case FieldId::OldRetryPause: return number(OldRetryPause);
    case FieldId::NewPASV: return flag(NewSite.Passive());
    case FieldId::NewRamped: return flag(NewRamped);
    case FieldId::OldRamped: return flag(OldRamped);
    case FieldId::NewWipe: return flag(NewWipe);
    case FieldId::NewChanges: return flag(NewChanges);
    case FieldId::OldStartDir: return text(OldStartDir);
    case FieldId::AutoDetectExts: return text(AutoDetectExts);
    case FieldId::NewStartDir: return text(NewStartDir);
    case FieldId::RootSource: return text(RootSource);
    case FieldId::NewProxy: return text(NewSite.ProxyServer);
    case FieldId::RootDestn: return Value{};
    case FieldId::HTMLFile: return text(HTMLFile);
    case FieldId::ExclFrontPage: return flag(ExclFrontPage);
    case FieldId::TestRun: return flag(TestRun);
    case FieldId::NewSecurity: return number(static_cast<int>(NewSite.Security));
    case FieldId::OldSecurity: return number(static_cast<int>(OldSite.Security));
    case FieldId::NewCertificate: return text(NewSite.TrustedFingerprint);
    case FieldId::OldCertificate: return text(OldSite.TrustedFingerprint);
    case FieldId::NewMethod: return number(static_cast<int>(NewSite.Method));
    case FieldId::OldMethod: return number(static_cast<int>(OldSite.Method));
    case FieldId::NewProtocol: return number(static_cast<int>(NewSite.Protocol));
    case FieldId::OldProtocol: return number(static_cast<int>(OldSite.Protocol));
    case FieldId::NewKeyFile: return text(NewSite.KeyFile);
    case FieldId::NewDelete: return flag(NewDelete);
    case FieldId::NewMaxDelete: return number(NewMaxDelete);
    case FieldId::Exclude: return text(Exclude);
    case FieldId::OldAllPages: return flag(OldAllPages);
    case FieldId::NewConnections: return number(NewConnections);
    case FieldId::OldConnections: return number(OldConnections);
    case FieldId::OldKeyFile: return text(OldSite.KeyFile);
  }
  return Value{};
}

void SiteProfile::Set(FieldId id, const Value& value) {
  const std::string& t = value.text;
  const bool b = value.number != 0;
  const int n = value.number;
  switch (id) {
    case FieldId::OldURL: OldURL = t; break;
    case FieldId::OldHostName: OldSite.HostName = t; break;
    case FieldId::OldUserId: OldSite.UserName = t; break;
    case FieldId::OldPassword: OldSite.PassWord = t; break;
    case FieldId::OldPort: OldSite.Port = t; break;
    case FieldId::OldPASV: OldSite.SetPassive(b); break;
    case FieldId::OldWipe: OldWipe = b; break;
    case FieldId::OldProxy: OldSite.ProxyServer = t; break;
    case FieldId::NewURL: NewURL = t; break;
    case FieldId::NewHostName: NewSite.HostName = t; break;
    case FieldId::NewUserId: NewSite.UserName = t; break;
    case FieldId::NewPassword: NewSite.PassWord = t; break;
    case FieldId::NewPort: NewSite.Port = t; break;
    case FieldId::NewBinary: NewBinary = b; break;
    case FieldId::NewAutoDetect: NewAutoDetect = b; break;
    case FieldId::HTMLVisible:
      if (b != IsTemplateVisible()) ToggleTemplate();
      break;
    case FieldId::NewRetries: NewRetries = n; break;
    case FieldId::OldRetries: OldRetries = n; break;
    case FieldId::NewRetryPause: NewRetryPause = n; break;
    case FieldId::OldRetryPause: OldRetryPause = n; break;
    case FieldId::NewPASV: NewSite.SetPassive(b); break;
    case FieldId::NewRamped: NewRamped = b; break;
    case FieldId::OldRamped: OldRamped = b; break;
    case FieldId::NewWipe: NewWipe = b; break;
    case FieldId::NewChanges: NewChanges = b; break;
    case FieldId::OldStartDir: OldStartDir = t; break;
    case FieldId::AutoDetectExts: AutoDetectExts = t; break;
    case FieldId::NewStartDir: NewStartDir = t; break;
    case FieldId::RootSource: RootSource = t; break;
    case FieldId::NewProxy: NewSite.ProxyServer = t; break;
    case FieldId::RootDestn: break;  // never held in memory
    case FieldId::HTMLFile: HTMLFile = t; break;
    case FieldId::ExclFrontPage: ExclFrontPage = b; break;
    case FieldId::TestRun: TestRun = b; break;
    case FieldId::NewSecurity: NewSite.Security = SecurityOf(n); break;
    case FieldId::OldSecurity: OldSite.Security = SecurityOf(n); break;
    case FieldId::NewCertificate: NewSite.TrustedFingerprint = t; break;
    case FieldId::OldCertificate: OldSite.TrustedFingerprint = t; break;
    case FieldId::NewMethod: NewSite.Method = MethodOf(n); break;
    case FieldId::OldMethod: OldSite.Method = MethodOf(n); break;
    case FieldId::NewProtocol: NewSite.Protocol = ProtocolOf(n); break;
    case FieldId::OldProtocol: OldSite.Protocol = ProtocolOf(n); break;
    case FieldId::NewKeyFile: NewSite.KeyFile = t; break;
    case FieldId::NewDelete: NewDelete = b; break;
    case FieldId::NewMaxDelete: NewMaxDelete = n; break;
    case FieldId::Exclude: Exclude = t; break;
    case FieldId::OldAllPages: OldAllPages = b; break;
    case FieldId::NewConnections: NewConnections = n; break;
    case FieldId::OldConnections: OldConnections = n; break;
    case FieldId::OldKeyFile: OldSite.KeyFile = t; break;
  }
}

std::optional<std::string> ProfileNameProblem(const std::string& name) {
  if (name.empty()) return "A profile name cannot be empty.";
  if (name.find('\\') != std::string::npos) return "A profile name cannot contain '\\': " + name;
  const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; };
  if (std::any_of(name.begin(), name.end(), control)) {
    return "A profile name cannot hold control characters (line breaks, tabs, escapes): " + ShownProfileName(name);
  }
  return std::nullopt;
}

std::string ShownProfileName(const std::string& name) {
  std::string shown;
  for (const char c : name) shown += c == '\t' ? std::string("\\t") : EscapeControls(std::string(1, c));
  return shown;
}

}  // namespace kestova

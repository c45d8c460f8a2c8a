// The fields of a site profile: their stored names, types and defaults, in
// the order in which a profile is loaded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestova {

enum class FieldType {
  String,    // a string value
  Password,  // a string value, stored through EncodeStoredValue
  Boolean,   // a 32-bit integer holding 0 or 1; any non-zero value reads as true
  Integer,   // a 32-bit integer
};

enum class FieldId {
  OldURL,
  OldHostName,
  OldUserId,
  OldPassword,
  OldPort,
  OldPASV,
  OldWipe,
  OldProxy,
  NewURL,
  NewHostName,
  NewUserId,
  NewPassword,
  NewPort,
  NewBinary,
  NewAutoDetect,
  HTMLVisible,
  NewRetries,
  OldRetries,
  NewRetryPause,
  OldRetryPause,
  NewPASV,
  NewRamped,
  OldRamped,
  NewWipe,
  NewChanges,
  OldStartDir,
  AutoDetectExts,
  NewStartDir,
  RootSource,
  NewProxy,
  RootDestn,
  HTMLFile,
  ExclFrontPage,
  TestRun,
  // FTP over TLS, per site: 0 plain, 1 explicit, 2 implicit; and the
  // SHA-256 fingerprint of a certificate the user trusts.
  NewSecurity,
  OldSecurity,
  NewCertificate,
  OldCertificate,
  // How transfers are made, per site: 0 classic, 1 modern (TransferMethod).
  NewMethod,
  OldMethod,
  // How each site is reached: 0 FTP (with NewSecurity's TLS), 1 SFTP
  // (SiteProtocol); and the private key SFTP offers (empty: the agent and
  // ssh's defaults).
  NewProtocol,
  OldProtocol,
  NewKeyFile,
  OldKeyFile,
  // Keeping the new site in step: remove remote files that are no longer
  // local (0 or 1), at most this many in one run (or 10 % of the remote
  // files, when that is more) without asking; and the patterns, one per
  // line, of what is left out of every job (.gitignore's form).
  NewDelete,
  NewMaxDelete,
  Exclude,
  // The redirection pages cover the old site's own pages too: every page
  // there that the local folder does not hold (0 or 1).
  OldAllPages,
  // Connections the modern method and SFTP work over side by side on the
  // new and the old site (1 to 8; the classic method always uses one).
  NewConnections,
  OldConnections,
};

struct ProfileField {
  FieldId Id;
  const char* Name;
  FieldType Type;
  // The default written when the value is missing: text for strings (in clear
  // for passwords), a number for booleans and integers.
  std::string DefaultText;
  std::int32_t DefaultNumber;

  bool IsText() const { return Type == FieldType::String || Type == FieldType::Password; }
};

// Every field, in load order.
const std::vector<ProfileField>& ProfileFields();

// The field of that stored name, compared without regard to case; nullptr
// when there is none.
const ProfileField* FindProfileField(const std::string& name);

const ProfileField& ProfileFieldOf(FieldId id);

// The registry key every profile lives under, and the key of one profile:
// "Default" in any letter case is the key "Default", any other name N is
// "prof_" followed by N exactly as typed.
extern const char* const kProfileBaseKey;
extern const char* const kDefaultProfile;
extern const char* const kProfileKeyPrefix;
std::string ProfileKey(const std::string& name);

}  // namespace kestova

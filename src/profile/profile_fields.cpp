#include "profile/profile_fields.h"

#include "common/text_helpers.h"
#include "platform/program_path.h"

namespace kestova {

const char* const kProfileBaseKey = "\\Software\\Brindlecote\\Kestova\\Site";
const char* const kDefaultProfile = "Default";
const char* const kProfileKeyPrefix = "prof_";

namespace {

ProfileField Text(FieldId id, const char* name, std::string value) {
  return {id, name, FieldType::String, std::move(value), 0};
}

ProfileField Number(FieldId id, const char* name, FieldType type, std::int32_t value) {
  return {id, name, type, std::string(), value};
}

std::vector<ProfileField> MakeFields() {
  using F = FieldId;
  using T = FieldType;
  // The example addresses only show the user what kind of text goes where.
  return {
      Text(F::OldURL, "OldURL", "http://www.old-site.example"),
      Text(F::OldHostName, "OldHostName", "ftp.old-site.example"),
      Text(F::OldUserId, "OldUserId", "webmaster@old-site.example"),
      {F::OldPassword, "OldPassword", T::Password, "guestuser", 0},
      Text(F::OldPort, "OldPort", "ftp"),
      Number(F::OldPASV, "OldPASV", T::Boolean, 1),
      Number(F::OldWipe, "OldWipe", T::Boolean, 0),
      Text(F::OldProxy, "OldProxy", ""),
      Text(F::NewURL, "NewURL", "http://www.new-site.example"),
      Text(F::NewHostName, "NewHostName", "ftp.new-site.example"),
      Text(F::NewUserId, "NewUserId", "webmaster@new-site.example"),
      {F::NewPassword, "NewPassword", T::Password, "guestuser", 0},
      Text(F::NewPort, "NewPort", "ftp"),
      Number(F::NewBinary, "NewBinary", T::Boolean, 0),
      // "Auto": pictures sent as text arrive damaged.
      Number(F::NewAutoDetect, "NewAutoDetect", T::Boolean, 1),
      Number(F::HTMLVisible, "HTMLVisible", T::Boolean, 0),
      Number(F::NewRetries, "NewRetries", T::Integer, 5),
      Number(F::OldRetries, "OldRetries", T::Integer, 5),
      Number(F::NewRetryPause, "NewRetryPause", T::Integer, 3),
      Number(F::OldRetryPause, "OldRetryPause", T::Integer, 3),
      Number(F::NewPASV, "NewPASV", T::Boolean, 1),
      Number(F::NewRamped, "NewRamped", T::Boolean, 1),
      Number(F::OldRamped, "OldRamped", T::Boolean, 1),
      Number(F::NewWipe, "NewWipe", T::Boolean, 0),
      Number(F::NewChanges, "NewChanges", T::Boolean, 0),
      Text(F::OldStartDir, "OldStartDir", "/public_html"),
      Text(F::AutoDetectExts, "AutoDetectExts",
           "asp,bat,c,cfg,conf,cgi,cpp,css,csv,dhtml,diz,htm,html,ini,jhtml,js,ksh,log,me,pas,php,phtml,pl,sh,"
           "shtml,tcl,txt,vbs,xhtml,xml"),
      Text(F::NewStartDir, "NewStartDir", "/public_html"),
      // No local folder until the user chooses one: a default such as "/"
      // would publish the whole file system.
      Text(F::RootSource, "RootSource", ""),
      Text(F::NewProxy, "NewProxy", ""),
      // The system's temporary folder stands where a Windows system would
      // have its temp folder.
      Text(F::RootDestn, "RootDestn", "/tmp"),
      Text(F::HTMLFile, "HTMLFile", DataFile("auto.htm")),
      Number(F::ExclFrontPage, "ExclFrontPage", T::Boolean, 1),
      Number(F::TestRun, "TestRun", T::Boolean, 0),
      // Plain FTP, as every profile stored before these fields behaves.
      Number(F::NewSecurity, "NewSecurity", T::Integer, 0),
      Number(F::OldSecurity, "OldSecurity", T::Integer, 0),
      Text(F::NewCertificate, "NewCertificate", ""),
      Text(F::OldCertificate, "OldCertificate", ""),
      // The classic method, as every profile stored before these fields.
      Number(F::NewMethod, "NewMethod", T::Integer, 0),
      Number(F::OldMethod, "OldMethod", T::Integer, 0),
      // FTP, as every profile stored before these fields.
      Number(F::NewProtocol, "NewProtocol", T::Integer, 0),
      Number(F::OldProtocol, "OldProtocol", T::Integer, 0),
      Text(F::NewKeyFile, "NewKeyFile", ""),
      Text(F::OldKeyFile, "OldKeyFile", ""),
      Number(F::NewDelete, "NewDelete", T::Boolean, 0),
      Number(F::NewMaxDelete, "NewMaxDelete", T::Integer, 50),
      Text(F::Exclude, "Exclude", ""),
      Number(F::OldAllPages, "OldAllPages", T::Boolean, 0),
      // Four, as the tools that move many files at once open; a server that
      // takes fewer closes the rest and the run goes on without them.
      Number(F::NewConnections, "NewConnections", T::Integer, 4),
      Number(F::OldConnections, "OldConnections", T::Integer, 4),
  };
}

}  // namespace

const std::vector<ProfileField>& ProfileFields() {
  static const std::vector<ProfileField> fields = MakeFields();
  return fields;
}

const ProfileField* FindProfileField(const std::string& name) {
  for (const ProfileField& field : ProfileFields()) {
    if (SameText(field.Name, name)) return &field;
  }
  return nullptr;
}

const ProfileField& ProfileFieldOf(FieldId id) { return ProfileFields()[static_cast<size_t>(id)]; }

std::string ProfileKey(const std::string& name) {
  const std::string leaf = SameText(name, kDefaultProfile) ? std::string(kDefaultProfile) : kProfileKeyPrefix + name;
  return std::string(kProfileBaseKey) + "\\" + leaf;
}

}  // namespace kestova

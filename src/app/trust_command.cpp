#include "app/trust_command.h"

#include <iostream>
#include <optional>

#include "app/profile_command.h"
#include "common/text_helpers.h"
#include "ftp/ftp_site_connection.h"
#include "profile/site_profile.h"
#include "sftp/host_keys.h"

namespace kestova {

const char* const kTrustHelp =
    "Usage: kestova profile trust [--profile NAME] new|old [--yes]\n"
    "\n"
    "For an SFTP site (NewProtocol=1), reads the host's SSH keys with ssh-keyscan (no\n"
    "login), shows their SHA-256 fingerprints and, after a yes (or --yes), keeps them\n"
    "in Kestova's own known_hosts file beside the profile store, which runs check\n"
    "beside ~/.ssh/known_hosts.\n"
    "\n"
    "For FTP over TLS, connects to the new (or old) site of profile NAME (the current\n"
    "profile when --profile is left out), as its NewSecurity (or OldSecurity) says, and\n"
    "shows the certificate the server presents: its SHA-256 fingerprint, subject,\n"
    "issuer and validity. No user id or password is sent. When the certificate does\n"
    "not verify against the system's CA store (a self-signed or shared-hosting\n"
    "certificate), it asks whether to trust it; a yes (or --yes) stores the\n"
    "fingerprint as NewCertificate (or OldCertificate), and later runs accept that\n"
    "certificate, and only that one, for the site. Compare the fingerprint with the\n"
    "one your host gives before you say yes.\n"
    "\n"
    "Exit status: 0 trusted (or nothing to trust), 1 not trusted, 2 could not\n"
    "connect, 3 usage or profile error.\n";

namespace {

struct TrustRequest {
  std::string profile;
  std::string site;  // "new" or "old"
  bool yes = false;
  std::string error;
};

TrustRequest ParseTrustArgs(const std::vector<std::string>& args) {
  TrustRequest request;
  for (size_t i = 0; i < args.size() && request.error.empty(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--yes" || arg == "-y") {
      request.yes = true;
    } else if (arg == "--profile" && i + 1 < args.size()) {
      request.profile = args[++i];
    } else if (arg.rfind("--profile=", 0) == 0) {
      request.profile = arg.substr(10);
    } else if (request.site.empty() && (arg == "new" || arg == "old")) {
      request.site = arg;
    } else {
      request.error = "Unexpected argument '" + arg + "'.";
    }
  }
  if (request.error.empty() && request.site.empty()) request.error = "Name the site: new or old.";
  return request;
}

bool AskYes(const std::string& question, std::ostream& out, std::istream* in) {
  out << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(in ? *in : std::cin, answer)) return false;
  answer = TrimBlanks(answer);
  return SameText(answer, "y") || SameText(answer, "yes");
}

// An SFTP site's host keys, read without a login and kept once the user
// said yes to their fingerprints.
int TrustHostKey(const SiteProfile& profile, const SiteSettings& settings, const std::string& site, bool yes,
                 std::ostream& out, std::ostream& err, std::istream* in) {
  const std::string port = settings.Port == "ftp" ? std::string() : settings.Port;
  out << "Reading the host keys of " << settings.HostName << (port.empty() ? "" : " port " + port) << "...\n";
  std::string why;
  const std::vector<ScannedHostKey> keys = ScanHostKeys(settings.HostName, port, why);
  if (keys.empty()) {
    err << "kestova: " << why << '\n';
    return kExitNoConnection;
  }
  for (const ScannedHostKey& key : keys) out << "Host key " << key.type << " " << key.fingerprint << '\n';
  if (!yes && !AskYes("Trust these host keys for " + site + "?", out, in)) {
    out << "Nothing was stored.\n";
    return kExitTerminated;
  }
  const std::string file = profile.HostKeysFile();
  if (!TrustHostKeys(file, keys, why)) {
    err << "kestova: " << why << '\n';
    return kExitTerminated;
  }
  out << "Stored the host keys in " << file << ": runs accept them for " << site << ".\n";
  return kExitOk;
}

}  // namespace

int RunTrustCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const std::string& store_file, std::istream* in) {
  TrustRequest request = ParseTrustArgs(args);
  if (!request.error.empty()) {
    err << "kestova: " << request.error << "\n\n" << kTrustHelp;
    return kExitUsage;
  }
  SiteProfile profile(store_file);
  profile.RefreshProfileList();
  const std::string current = profile.GetCurrentProfile();
  const std::optional<std::string> listed = profile.ListedName(request.profile.empty() ? current : request.profile);
  if (!listed) {
    err << "kestova: There is no profile named \"" << request.profile << "\"; 'kestova profile list' shows them.\n";
    return kExitUsage;
  }
  profile.LoadRegistry(*listed);
  const bool old_site = request.site == "old";
  const SiteSettings& site_settings = old_site ? profile.OldSite : profile.NewSite;
  const std::string prefix = old_site ? "Old" : "New";
  const std::string site = "the " + request.site + " site of the profile \"" + *listed + "\"";
  if (site_settings.Protocol == SiteProtocol::Sftp) {
    return TrustHostKey(profile, site_settings, site, request.yes, out, err, in);
  }
  FtpClient client;
  ApplySiteSettings(client, site_settings);
  if (client.Security == FtpSecurity::Plain) {
    err << "kestova: " << site << " uses plain FTP, which has no certificate. Choose FTP over TLS first, for "
        << "instance with 'kestova profile set " << prefix << "Security=1'.\n";
    return kExitUsage;
  }
  if (!client.ProxyServer.empty()) {
    err << "kestova: " << site << " goes through an FTP proxy, which cannot carry TLS.\n";
    return kExitUsage;
  }
  out << "Connecting to " << client.HostName << " port " << client.Port << "...\n";
  const bool accepted = client.Probe();
  const CertificateCheck check = client.Certificate();
  accepted ? (void)client.Quit() : client.Abort();
  if (check.certificate.fingerprint.empty()) {
    err << "kestova: No certificate came from " << client.HostName << ": " << client.FailureText() << '\n';
    return kExitNoConnection;
  }
  for (const std::string& line : DescribeCertificate(check)) out << line << '\n';
  switch (check.verdict) {
    case CertificateCheck::Verdict::Verified:
      out << "The certificate verifies against the system's CA store for " << client.HostName
          << ": nothing needs trusting.\n";
      return kExitOk;
    case CertificateCheck::Verdict::Trusted:
      out << "This certificate is already trusted for " << site << ".\n";
      return kExitOk;
    case CertificateCheck::Verdict::Changed:
      out << "This is not the certificate trusted so far for " << site << ".\n";
      break;
    default: break;
  }
  out << "It does not verify: " << check.certificate.verify_error << ".\n";
  if (!request.yes && !AskYes("Trust this certificate for " + site + "?", out, in)) {
    out << "Nothing was stored.\n";
    return kExitTerminated;
  }
  const FieldId field = old_site ? FieldId::OldCertificate : FieldId::NewCertificate;
  profile.UpdateProfile(*listed, {{field, SiteProfile::Value{check.certificate.fingerprint, 0}}}, current);
  out << "Stored the fingerprint as " << prefix << "Certificate: runs accept this certificate for " << site << ".\n";
  return kExitOk;
}

}  // namespace kestova

#include "engine/connection_test.h"

#include "common/text_helpers.h"
#include "transports/open_site.h"

namespace kestova {

std::string ConnectionReport::Text() const {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

ConnectionReport TestConnection(const SiteSettings& site, const std::string& start_dir, SiteConnection* connection) {
  ConnectionReport report;
  auto say = [&report](const std::string& line) { report.lines.push_back(EscapeControls(line)); };
  const std::string where = site.HostName + " port " + site.Port;
  if (TrimBlanks(site.HostName).empty()) {
    say("No server is set for this site: fill in Server/IP.");
    return report;
  }
  if (site.Protocol == SiteProtocol::Ftp && site.Security != FtpSecurity::Plain && !site.ProxyServer.empty()) {
    say("This site is set to FTP over TLS and to go through the FTP proxy " + site.ProxyServer +
        ", which cannot carry TLS. Clear the proxy or choose plain FTP for this site. Nothing was sent.");
    return report;
  }
  std::unique_ptr<SiteConnection> own = connection ? nullptr : OpenSite(site);
  SiteConnection& client = connection ? *connection : *own;
  if (const Outcome connected = client.Connect(); !connected) {
    const CertificateCheck check = client.Certificate();
    if (check.verdict == CertificateCheck::Verdict::Untrusted || check.verdict == CertificateCheck::Verdict::Changed) {
      say("Connected to " + where + ". " + RefusalLine(check) + ".");
      for (const std::string& line : DescribeCertificate(check)) say(line);
      say("No user id or password was sent. A run of this site asks whether to trust the certificate.");
    } else {
      say("Could not connect to " + where + " and log in.");
      say("Reason: " + connected.reason);
      const SiteConnection::Refusal refusal = client.ConnectRefusal();
      if (refusal == SiteConnection::Refusal::HostKeyUnknown || refusal == SiteConnection::Refusal::HostKeyChanged) {
        say(refusal == SiteConnection::Refusal::HostKeyUnknown
                ? "No user id or password was sent. A run of this site asks whether to trust the host key."
                : "No user id or password was sent. The host's key is not the one known for it: Kestova does not "
                  "offer to trust it; ask your host for its key's fingerprint.");
      }
    }
    client.Drop();
    return report;
  }
  say("Connected to " + where + " and logged in as " + site.UserName + ".");
  if (const std::string line = client.SessionLine(); !line.empty()) say(line + ".");
  const std::string start = TrimBlanks(start_dir);
  Outcome entered;
  if (!start.empty()) {
    entered = client.ChangeFolder(start);
    say(entered ? "Entered the start directory " + start + "."
                : "The start directory " + start + " cannot be entered: " + entered.reason);
  }
  if (entered && client.WorkingFolder()) say("Server's reply: " + client.LastReply());
  report.ok = entered.Done();
  if (!client.Quit()) client.Drop();
  return report;
}

}  // namespace kestova

#include "engine/connection_test.h"

#include "common/text_helpers.h"
#include "ftp/ftp_security.h"

namespace kestova {

std::string ConnectionReport::Text() const {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

ConnectionReport TestConnection(FtpClient& client, const std::string& start_dir) {
  ConnectionReport report;
  auto say = [&report](const std::string& line) { report.lines.push_back(EscapeControls(line)); };
  const std::string where = client.HostName + " port " + client.Port;
  if (TrimBlanks(client.HostName).empty()) {
    say("No server is set for this site: fill in Server/IP.");
    return report;
  }
  if (client.Security != FtpSecurity::Plain && !client.ProxyServer.empty()) {
    say("This site is set to FTP over TLS and to go through the FTP proxy " + client.ProxyServer +
        ", which cannot carry TLS. Clear the proxy or choose plain FTP for this site. Nothing was sent.");
    return report;
  }
  if (!client.Connect()) {
    const CertificateCheck& check = client.Certificate();
    if (check.verdict == CertificateCheck::Verdict::Untrusted || check.verdict == CertificateCheck::Verdict::Changed) {
      say("Connected to " + where + ". " + RefusalLine(check) + ".");
      for (const std::string& line : DescribeCertificate(check)) say(line);
      say("No user id or password was sent. A run of this site asks whether to trust the certificate.");
    } else {
      say("Could not connect to " + where + " and log in.");
      say("Reason: " + client.FailureText());
    }
    client.Abort();
    return report;
  }
  say("Connected to " + where + " and logged in as " + client.UserName + ".");
  if (!client.TlsSummary().empty()) say("Encrypted with " + client.TlsSummary() + ".");
  const std::string start = TrimBlanks(start_dir);
  bool entered = true;
  if (!start.empty()) {
    client.HostDirName = start;
    entered = client.Cwd();
    say(entered ? "Entered the start directory " + start + "."
                : "The start directory " + start + " cannot be entered: " + client.FailureText());
  }
  if (entered && client.Pwd()) say("Server's reply: " + client.LastReply);
  report.ok = entered;
  if (!client.Quit()) client.Abort();
  return report;
}

}  // namespace kestova

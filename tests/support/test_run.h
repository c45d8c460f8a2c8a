// One engine run against a server on loopback (or a site that needs none),
// set up the way most engine tests want it: the site's settings (the loopback host, a login, passive
// mode), a client made from them with a short time limit, the profile view,
// the run's settings (start folder /www, no retries) and the log. A test
// changes what it needs, then calls Start, or Make for a run of its own
// class.
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/upload.h"
#include "ftp/ftp_site_connection.h"
#include "support/fake_profile.h"
#include "support/ftp_servers.h"

namespace kestova::testing {

// A server of the fixtures as a site: its login on loopback, through `port`
// (the server's own, or a relay's in front of it).
inline SiteSettings ServerSite(const FtpServerFixture& server, const std::string& port, bool passive = true,
                               TransferMethod method = TransferMethod::Classic) {
  SiteSettings site;
  site.HostName = "127.0.0.1";
  site.Port = port;
  site.UserName = server.User();
  site.PassWord = server.Password();
  site.SetPassive(passive);
  site.Method = method;
  return site;
}

// An SSH server of the fixtures as an SFTP site: its login on loopback by
// its key, with its host key known.
inline SiteSettings SshSite(const SshServerFixture& server) {
  SiteSettings site;
  site.Protocol = SiteProtocol::Sftp;
  site.HostName = "127.0.0.1";
  site.Port = server.Port();
  site.UserName = server.User();
  site.KnownHosts = {server.KnownHosts()};
  site.KeyFile = server.ClientKey();
  return site;
}

class TestRun {
 public:
  explicit TestRun(const std::string& port, const std::string& user = "user", const std::string& password = "pw") {
    settings.Site.HostName = "127.0.0.1";
    settings.Site.Port = port;
    settings.Site.UserName = user;
    settings.Site.PassWord = password;
    settings.Site.SetPassive(true);
    settings.StartDir = "/www";
    settings.Retries = 0;
  }
  // A site that needs no server (a fake, a site in memory).
  explicit TestRun(SiteConnection& site) : TestRun(std::string("21")) { site_ = &site; }
  // A server of the fixtures: its login, and when it speaks TLS its
  // certificate trusted, in the given mode.
  explicit TestRun(const FtpServerFixture& server, FtpSecurity tls = FtpSecurity::Explicit)
      : TestRun(server.Port(), server.User(), server.Password()) {
    timeout_seconds = 10;
    if (!server.Certificate()) return;
    settings.Site.Security = tls;
    settings.Site.TrustedFingerprint = server.Certificate()->fingerprint;
  }

  RunSettings settings;
  FakeProfile profile;
  int timeout_seconds = 5;
  // Every line of every run made, in order; a watcher sees each as it comes.
  std::vector<std::string> log;
  std::function<void(const std::string& line, Upload& run)> watch;
  // Set up from settings.Site by each Make; a test may tune the rest.
  FtpClient client;
  // Opens a run's further sessions; unset, the run opens them from
  // settings.Site.
  std::function<std::unique_ptr<SiteConnection>()> open_another;

  template <class Run = Upload>
  Run& Make() {
    if (!site_) {
      ApplySiteSettings(client, settings.Site);
      client.Timeout = timeout_seconds;
      connection_ = std::make_unique<FtpSiteConnection>(client);
    }
    auto run = std::make_unique<Run>(
        settings, profile,
        [this](const std::string& line) {
          log.push_back(line);
          if (watch) watch(line, *run_);
        },
        site_ ? site_ : connection_.get());
    Run& made = *run;
    if (open_another) made.OpenAnother = open_another;
    run_ = std::move(run);
    return made;
  }
  RunOutcome Start() { return Make().StartUpload(); }
  // The run made last.
  Upload& Current() { return *run_; }

  int Count(const std::string& prefix) const {
    return static_cast<int>(
        std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }
  std::string Text() const {
    std::string text;
    for (const std::string& line : log) text += line + "\n";
    return text;
  }

 private:
  SiteConnection* site_ = nullptr;
  std::unique_ptr<FtpSiteConnection> connection_;
  std::unique_ptr<Upload> run_;
};

}  // namespace kestova::testing

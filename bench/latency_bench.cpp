// Publishing over a slow link: a site of 2000 files of 2 KiB in 40 folders
// goes to vsftpd (FTP, the modern method) and to sshd (SFTP) through a relay
// on loopback that holds every byte back for a set time each way (10 ms:
// a 20 ms round trip), with 1, 2 and 4 connections, beside lftp's
// `mirror -R --parallel=1` and `--parallel=4` through the same relay in the
// same run; then the same on plain loopback. Prints times, ratios against
// lftp with as many connections, and FTP commands per file (counted in
// vsftpd's log). Every copy is compared with the site before it counts.
//
// Run as root (vsftpd logs in a local user):
//   build/bin/latency_bench [FILES [DELAY_MS [ftp|sftp|both]]]
#include <sys/wait.h>
#include <utime.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/upload.h"
#include "latency_relay.h"
#include "small_site.h"
#include "support/fake_profile.h"
#include "support/ftp_servers.h"
#include "support/test_run.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kestova::testing::FtpServerFixture;
using kestova::testing::SshServerFixture;

long long CountCommands(const std::string& log) {
  std::ifstream in(log);
  long long count = 0;
  for (std::string line; std::getline(in, line);) count += line.find("FTP command:") != std::string::npos;
  return count;
}

bool Same(const fs::path& a, const fs::path& b) {
  return std::system(("diff -rq '" + a.string() + "' '" + b.string() + "' >/dev/null 2>&1").c_str()) == 0;
}

bool Publish(kestova::SiteSettings site, const fs::path& local, const std::string& into, int connections) {
  kestova::testing::FakeProfile view;
  kestova::RunSettings settings;
  settings.Site = std::move(site);
  settings.StartDir = into;
  settings.LocalRoot = local.string();
  settings.AutoDetect = true;
  settings.RetryPause = 0;
  settings.Connections = connections;
  kestova::Upload run(settings, view, [](const std::string&) {});
  return run.StartUpload() == kestova::RunOutcome::Finished;
}

bool Lftp(const std::string& login, const std::string& options, const fs::path& local, const std::string& into,
          int parallel) {
  const std::string script = options + "set net:max-retries 1; mirror -R --parallel=" + std::to_string(parallel) +
                             " '" + local.string() + "' " + into + "; quit";
  return std::system(("lftp " + login + " -e \"" + script + "\" >/dev/null 2>&1").c_str()) == 0;
}

struct Row {
  std::string name;
  double seconds = 0;
  double commands = -1;  // per file; negative where not counted
  int peer = -1;         // the row it is measured against
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int delay = argc > 2 ? std::atoi(argv[2]) : 10;
  const std::string which = argc > 3 ? argv[3] : "both";
  const int folders = 40;
  const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path work = base / ("kestova-latency-bench-" + std::to_string(getpid()));
  const fs::path local = work / "site";
  kestova::bench::MakeSmallSite(local, files, folders);
  std::vector<Row> rows;
  int serial = 0;
  // One measurement into a fresh folder, compared with the site.
  const auto measure = [&](const std::string& name, const fs::path& served_root, const std::string& log,
                           const std::function<bool(const std::string& into)>& run, int peer) {
    // Below the login folder (the FTP servers' root, the SSH user's home).
    const std::string into = "run" + std::to_string(++serial);
    const long long before = log.empty() ? 0 : CountCommands(log);
    const auto start = Clock::now();
    const bool done = run(into);
    Row row{name, std::chrono::duration<double>(Clock::now() - start).count(), -1, peer};
    if (!log.empty()) row.commands = static_cast<double>(CountCommands(log) - before) / files;
    if (!done || !Same(local, served_root / into)) {
      std::fprintf(stderr, "latency_bench: %s did not publish the site exactly\n", name.c_str());
      row.seconds = -1;
    }
    rows.push_back(row);
    return static_cast<int>(rows.size()) - 1;
  };

  std::string why;
  if (which != "sftp") {
    const std::string log = (work / "vsftpd.log").string();
    kestova::testing::FtpServerOptions options;
    options.protocol_log = log;
    auto server = FtpServerFixture::Start(FtpServerFixture::Kind::Vsftpd, (work / "ftp").string(), why, options);
    if (!server) {
      std::fprintf(stderr, "latency_bench: %s\n", why.c_str());
      return 1;
    }
    const fs::path served = work / "ftp";
    for (const int held : {delay, 0}) {
      std::unique_ptr<kestova::bench::LatencyRelay> relay;
      if (held > 0)
        relay = std::make_unique<kestova::bench::LatencyRelay>(std::stoi(server->Port()),
                                                               std::chrono::milliseconds(held), true);
      const std::string port = relay ? std::to_string(relay->Port()) : server->Port();
      const std::string where = held > 0 ? " (" + std::to_string(held) + " ms each way)" : " (loopback)";
      const std::string login = "-u '" + server->User() + "," + server->Password() + "' -p " + port + " 127.0.0.1";
      const auto lftp = [&](int parallel) {
        return [&, parallel](const std::string& into) {
          return Lftp(login, "set ftp:passive-mode on; ", local, "/" + into, parallel);
        };
      };
      const auto ours = [&](int connections) {
        return [&, connections](const std::string& into) {
          kestova::SiteSettings site =
              kestova::testing::ServerSite(*server, port, true, kestova::TransferMethod::Modern);
          return Publish(site, local, "/" + into, connections);
        };
      };
      const int one = measure("FTP lftp --parallel=1" + where, served, log, lftp(1), -1);
      const int four = measure("FTP lftp --parallel=4" + where, served, log, lftp(4), -1);
      measure("FTP kestova 1 connection" + where, served, log, ours(1), one);
      measure("FTP kestova 2 connections" + where, served, log, ours(2), one);
      measure("FTP kestova 4 connections" + where, served, log, ours(4), four);
    }
  }
  if (which != "ftp") {
    auto server = SshServerFixture::Start((work / "sftp").string(), why);
    if (!server) {
      std::fprintf(stderr, "latency_bench: %s\n", why.c_str());
      return 1;
    }
    const fs::path served = work / "sftp";
    for (const int held : {delay, 0}) {
      std::unique_ptr<kestova::bench::LatencyRelay> relay;
      if (held > 0)
        relay = std::make_unique<kestova::bench::LatencyRelay>(std::stoi(server->Port()),
                                                               std::chrono::milliseconds(held), false);
      const std::string port = relay ? std::to_string(relay->Port()) : server->Port();
      const std::string known = (work / ("known_hosts" + port)).string();
      server->KnownHostsAt("127.0.0.1", port, known);
      const std::string where = held > 0 ? " (" + std::to_string(held) + " ms each way)" : " (loopback)";
      const std::string ssh =
          "set sftp:connect-program 'ssh -a -x -o BatchMode=yes -o StrictHostKeyChecking=yes "
          "-o UserKnownHostsFile=" +
          known + " -i " + server->ClientKey() + "'; ";
      const std::string login = "-u '" + server->User() + ",' sftp://127.0.0.1:" + port;
      const auto lftp = [&](int parallel) {
        return [&, parallel](const std::string& into) { return Lftp(login, ssh, local, into, parallel); };
      };
      const auto ours = [&](int connections) {
        return [&, connections](const std::string& into) {
          kestova::SiteSettings site = kestova::testing::SshSite(*server);
          site.Port = port;
          site.KnownHosts = {known};
          return Publish(site, local, into, connections);
        };
      };
      const int one = measure("SFTP lftp --parallel=1" + where, served, "", lftp(1), -1);
      const int four = measure("SFTP lftp --parallel=4" + where, served, "", lftp(4), -1);
      measure("SFTP kestova 1 connection" + where, served, "", ours(1), one);
      measure("SFTP kestova 4 connections" + where, served, "", ours(4), four);
    }
  }
  std::printf("Publishing %d files of 2 KiB in %d folders (every copy compared with the site):\n", files, folders);
  for (const Row& row : rows) {
    std::printf("  %-46s %8.2f s", row.name.c_str(), row.seconds);
    if (row.commands >= 0) std::printf("  %5.2f commands/file", row.commands);
    if (row.peer >= 0 && row.seconds > 0 && rows[row.peer].seconds > 0) {
      std::printf("   x%.2f of %s", row.seconds / rows[row.peer].seconds,
                  rows[row.peer].name.substr(0, rows[row.peer].name.find(" (")).c_str());
    }
    std::printf("\n");
  }
  fs::remove_all(work);
  return 0;
}

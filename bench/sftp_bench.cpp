// Publishes over SFTP to one sshd on loopback, in the same run as the tools
// users know: a site of 2000 files of 2 KiB in 40 folders beside lftp's
// `mirror -R` over sftp://, and one file of 256 MiB beside OpenSSH's own
// `sftp -b`. Every client logs in with the same key and checks the same
// host key. Prints the times and their ratios.
//
// Run as root (the server logs in a local user):
//   build/bin/sftp_bench [FILES [BIG_MIB [sshd|proftpd]]]
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
#include "small_site.h"
#include "support/ftp_servers.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kestova::testing::SshServerFixture;

struct View : kestova::ProfileView {
  bool TestRun() const override { return false; }
  bool ExclFrontPage() const override { return true; }
  bool NewChanges() const override { return false; }
  std::string AutoDetectExts() const override { return "htm,html,txt,css"; }
  std::string NewURL() const override { return "http://new"; }
  std::string OldURL() const override { return "http://old"; }
  std::vector<std::string> TemplateLines() const override { return {}; }
  std::string ProfileName() const override { return "bench"; }
};

double Seconds(const std::function<bool()>& run, const char* what) {
  const auto start = Clock::now();
  if (!run()) std::fprintf(stderr, "sftp_bench: %s failed\n", what);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool Publish(const SshServerFixture& server, const fs::path& local, const std::string& into) {
  View view;
  kestova::RunSettings settings;
  settings.Site.Protocol = kestova::SiteProtocol::Sftp;
  settings.Site.HostName = "127.0.0.1";
  settings.Site.Port = server.Port();
  settings.Site.UserName = server.User();
  settings.Site.KeyFile = server.ClientKey();
  settings.Site.KnownHosts = {server.KnownHosts()};
  settings.StartDir = into;
  settings.LocalRoot = local.string();
  settings.AutoDetect = true;
  settings.RetryPause = 0;
  kestova::Upload run(settings, view, [](const std::string&) {});
  return run.StartUpload() == kestova::RunOutcome::Finished;
}

// The ssh options every other client is given: the same key and host key.
std::string SshOptions(const SshServerFixture& server) {
  return "-o BatchMode=yes -o StrictHostKeyChecking=yes -o UserKnownHostsFile=" + server.KnownHosts() + " -i " +
         server.ClientKey();
}

bool Lftp(const SshServerFixture& server, const fs::path& local, const std::string& into) {
  const std::string script = "set sftp:connect-program 'ssh -a -x " + SshOptions(server) +
                             "'; set net:max-retries 1; mirror -R --parallel=1 '" + local.string() + "' " + into +
                             "; quit";
  const std::string command =
      "lftp -u '" + server.User() + ",' -e \"" + script + "\" sftp://127.0.0.1:" + server.Port() + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

bool OpenSshSftp(const SshServerFixture& server, const fs::path& file, const std::string& into, const fs::path& work) {
  const fs::path batch = work / "sftp.batch";
  std::ofstream(batch) << "mkdir " << into << "\nput " << file.string() << " " << into << "/"
                       << file.filename().string() << "\n";
  const std::string command = "sftp -q " + SshOptions(server) + " -P " + server.Port() + " -b '" + batch.string() +
                              "' " + server.User() + "@127.0.0.1 >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
  const long long big_mib = argc > 2 ? std::atoll(argv[2]) : 256;
  const SshServerFixture::Kind kind =
      argc > 3 && std::string(argv[3]) == "proftpd" ? SshServerFixture::Kind::Proftpd : SshServerFixture::Kind::OpenSsh;
  const int folders = 40;
  const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path work = base / ("kestova-sftp-bench-" + std::to_string(getpid()));
  const fs::path site = work / "site";
  const fs::path big = work / "big";
  kestova::bench::MakeSmallSite(site, files, folders);
  fs::create_directories(big);
  {
    std::ofstream out(big / "big.bin", std::ios::binary);
    std::string chunk(1 << 20, '\0');
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 % 251);
    for (long long i = 0; i < big_mib; ++i) out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  }
  std::string why;
  const auto server = SshServerFixture::Start((work / "server").string(), why, kind);
  if (!server) {
    std::fprintf(stderr, "sftp_bench: %s\n", why.c_str());
    return 1;
  }
  const double lftp = Seconds([&] { return Lftp(*server, site, "lftp"); }, "lftp");
  const double ours = Seconds([&] { return Publish(*server, site, "kestova"); }, "kestova's publish");
  const double sftp = Seconds([&] { return OpenSshSftp(*server, big / "big.bin", "sftp", work); }, "sftp -b");
  const double ours_big = Seconds([&] { return Publish(*server, big, "kestova-big"); }, "kestova's big publish");
  std::printf("Publishing over SFTP to %s on loopback:\n",
              kind == SshServerFixture::Kind::OpenSsh ? "sshd" : "proftpd");
  std::printf("  %d files of 2 KiB in %d folders: lftp mirror -R %7.2f s, kestova %7.2f s  x%.2f of lftp\n", files,
              folders, lftp, ours, ours / lftp);
  std::printf("  one file of %lld MiB:             sftp -b      %7.2f s, kestova %7.2f s  x%.2f of sftp\n", big_mib,
              sftp, ours_big, ours_big / sftp);
  // What each client left on the server must be the same before the times
  // mean anything.
  const fs::path served = work / "server";
  const auto same = [](const fs::path& a, const fs::path& b) {
    return std::system(("diff -r -q '" + a.string() + "' '" + b.string() + "' >/dev/null 2>&1").c_str()) == 0;
  };
  if (!same(site, served / "lftp") || !same(site, served / "kestova")) {
    std::fprintf(stderr, "sftp_bench: a published tree differs from the site\n");
  }
  if (!same(big / "big.bin", served / "sftp/big.bin") || !same(big, served / "kestova-big")) {
    std::fprintf(stderr, "sftp_bench: a copy of the big file differs from it\n");
  }
  fs::remove_all(work);
  return 0;
}

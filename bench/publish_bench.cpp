// Publishes a generated site (2000 files of 2 KiB in 40 folders) to vsftpd on
// loopback with the transfer engine, in Overwrite All and then in Wrt Changes
// with nothing changed, beside lftp's `mirror -R --parallel=1` and
// `mirror -R --only-newer --parallel=1` of the same tree to the same server in
// the same run. Prints the times, their ratios and the FTP commands each
// client sent per file (counted in the server's protocol log).
//
// Run as root (vsftpd logs in a local user):
//   build/bin/publish_bench [FILES [all|modern [vsftpd|pyftpdlib]]]
// "modern" leaves out the classic method, whose 100 ms pause after every
// upload makes 2000 files take over three minutes.
#include <sys/wait.h>
#include <utime.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/upload.h"
#include "small_site.h"
#include "support/ftp_servers.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct View : kestova::ProfileView {
  bool changes = false;
  bool TestRun() const override { return false; }
  bool ExclFrontPage() const override { return true; }
  bool NewChanges() const override { return changes; }
  std::string AutoDetectExts() const override { return "htm,html,txt,css"; }
  std::string NewURL() const override { return "http://new"; }
  std::string OldURL() const override { return "http://old"; }
  std::vector<std::string> TemplateLines() const override { return {}; }
  std::string ProfileName() const override { return "bench"; }
};

long long CountCommands(const std::string& log) {
  std::ifstream in(log);
  long long count = 0;
  for (std::string line; std::getline(in, line);) {
    // vsftpd's and pyftpdlib's ways of logging a command.
    if (line.find("FTP command:") != std::string::npos || line.find(" <- ") != std::string::npos) ++count;
  }
  return count;
}

double Publish(const kestova::testing::FtpServerFixture& server, const fs::path& local, bool changes,
               kestova::TransferMethod method) {
  View view;
  view.changes = changes;
  kestova::RunSettings settings;
  settings.Site.Method = method;
  settings.Site.HostName = "127.0.0.1";
  settings.Site.Port = server.Port();
  settings.Site.UserName = server.User();
  settings.Site.PassWord = server.Password();
  settings.Site.SetPassive(true);
  settings.StartDir = method == kestova::TransferMethod::Modern ? "/modern" : "/classic";
  settings.LocalRoot = local.string();
  settings.AutoDetect = true;
  settings.RetryPause = 0;
  long long lines = 0;
  kestova::Upload run(settings, view, [&](const std::string&) { ++lines; });
  const auto start = Clock::now();
  const kestova::RunOutcome outcome = run.StartUpload();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (outcome != kestova::RunOutcome::Finished) std::fprintf(stderr, "publish_bench: the run did not finish\n");
  return seconds;
}

double Lftp(const kestova::testing::FtpServerFixture& server, const fs::path& local, bool only_newer) {
  const std::string script = std::string("set ftp:passive-mode on; set net:max-retries 1; mirror -R ") +
                             (only_newer ? "--only-newer " : "") + "--parallel=1 '" + local.string() + "' /lftp; quit";
  const std::string command = "lftp -u '" + server.User() + "," + server.Password() + "' -p " + server.Port() +
                              " -e \"" + script + "\" 127.0.0.1 >/dev/null 2>&1";
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  if (status != 0) std::fprintf(stderr, "publish_bench: lftp failed (%d)\n", status);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int folders = 40;
  const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path work = base / ("kestova-publish-bench-" + std::to_string(getpid()));
  const fs::path local = work / "site";
  kestova::bench::MakeSmallSite(local, files, folders);
  const std::string log = (work / "vsftpd.log").string();
  std::string why;
  kestova::testing::FtpServerOptions options;
  options.protocol_log = log;
  using Kind = kestova::testing::FtpServerFixture::Kind;
  const Kind kind = argc > 3 && std::string(argv[3]) == "pyftpdlib" ? Kind::Pyftpdlib : Kind::Vsftpd;
  auto server = kestova::testing::FtpServerFixture::Start(kind, (work / "server").string(), why, options);
  if (!server) {
    std::fprintf(stderr, "publish_bench: %s\n", why.c_str());
    return 1;
  }
  struct Row {
    std::string name;
    double seconds;
    long long commands;
  };
  std::vector<Row> rows;
  auto measure = [&](const std::string& name, const std::function<double()>& run) {
    const long long before = CountCommands(log);
    const double seconds = run();
    rows.push_back({name, seconds, CountCommands(log) - before});
  };
  using kestova::TransferMethod;
  // The classic method waits 100 ms after every upload: 2000 files take
  // over three minutes. "modern" as the second argument leaves it out.
  const bool classic_too = argc <= 2 || std::string(argv[2]) != "modern";
  measure("lftp mirror -R", [&] { return Lftp(*server, local, false); });
  measure("kestova modern Overwrite All", [&] { return Publish(*server, local, false, TransferMethod::Modern); });
  if (classic_too) {
    measure("kestova classic Overwrite All", [&] { return Publish(*server, local, false, TransferMethod::Classic); });
  }
  measure("lftp mirror -R --only-newer", [&] { return Lftp(*server, local, true); });
  measure("kestova modern Wrt Changes", [&] { return Publish(*server, local, true, TransferMethod::Modern); });
  if (classic_too) {
    measure("kestova classic Wrt Changes", [&] { return Publish(*server, local, true, TransferMethod::Classic); });
  }
  std::printf("Publishing %d files of 2 KiB in %d folders to %s on loopback (Wrt Changes: nothing changed):\n", files,
              folders, kestova::testing::FtpServerFixture::Name(kind));
  const size_t per_group = classic_too ? 3 : 2;
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& lftp = rows[i / per_group * per_group];
    std::printf("  %-32s %7.2f s  %6.2f commands/file", rows[i].name.c_str(), rows[i].seconds,
                static_cast<double>(rows[i].commands) / files);
    if (i % per_group != 0) std::printf("   x%.2f of lftp", rows[i].seconds / lftp.seconds);
    std::printf("\n");
  }
  server.reset();
  fs::remove_all(work);
  return 0;
}

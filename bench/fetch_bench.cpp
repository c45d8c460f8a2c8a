// Fetches a site from vsftpd on loopback with the engine, beside lftp and
// curl fetching the same files from the same server in the same run:
//   - 2000 files of 2 KiB in 40 folders: `lftp mirror --parallel=1` against
//     the fetch, with the modern and the classic method, and
//     `--parallel=4` against the fetch over four connections;
//   - one file of 256 MiB: `curl -o` against the fetch of its folder.
// Every copy is compared with the server's tree before the times are
// printed, with the FTP commands each client sent per file.
//
// Run as root (vsftpd logs in a local user):
//   build/bin/fetch_bench [FILES [ROUNDS [MIB]]]
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/upload.h"
#include "support/fake_profile.h"
#include "support/ftp_servers.h"
#include "support/test_run.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long long CountCommands(const std::string& log) {
  std::ifstream in(log);
  long long count = 0;
  for (std::string line; std::getline(in, line);) count += line.find("FTP command:") != std::string::npos;
  return count;
}

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double Fetch(const kestova::testing::FtpServerFixture& server, const std::string& folder, const fs::path& into,
             kestova::TransferMethod method, int connections = 1) {
  fs::remove_all(into);
  kestova::testing::FakeProfile view;
  kestova::RunSettings settings;
  settings.FetchJob = true;
  settings.BinaryMode = true;
  settings.Site = kestova::testing::ServerSite(server, server.Port(), true, method);
  settings.StartDir = folder;
  settings.LocalRoot = into.string();
  settings.RetryPause = 0;
  settings.Connections = connections;
  kestova::Upload run(settings, view, [](const std::string&) {});
  const auto start = Clock::now();
  const kestova::RunOutcome outcome = run.StartUpload();
  const double seconds = Seconds(start);
  if (outcome != kestova::RunOutcome::Finished) std::fprintf(stderr, "fetch_bench: the fetch did not finish\n");
  return seconds;
}

double Shell(const std::string& command) {
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  if (status != 0) std::fprintf(stderr, "fetch_bench: failed (%d): %s\n", status, command.c_str());
  return Seconds(start);
}

double Lftp(const kestova::testing::FtpServerFixture& server, const std::string& folder, const fs::path& into,
            int parallel = 1) {
  fs::remove_all(into);
  const std::string script =
      "set ftp:passive-mode on; set net:max-retries 1; mirror --parallel=" + std::to_string(parallel) + " " + folder +
      " '" + into.string() + "'; quit";
  return Shell("lftp -u '" + server.User() + "," + server.Password() + "' -p " + server.Port() + " -e \"" + script +
               "\" 127.0.0.1 >/dev/null 2>&1");
}

double Curl(const kestova::testing::FtpServerFixture& server, const std::string& path, const fs::path& into) {
  fs::remove_all(into.parent_path());
  fs::create_directories(into.parent_path());
  return Shell("curl -s -S --ftp-pasv -u '" + server.User() + ":" + server.Password() + "' -o '" + into.string() +
               "' ftp://127.0.0.1:" + server.Port() + path);
}

bool Same(const fs::path& a, const fs::path& b) {
  return std::system(("diff -r -q '" + a.string() + "' '" + b.string() + "' >/dev/null").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int files = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const long long mib = argc > 3 ? std::atoll(argv[3]) : 256;
  const int folders = 40;
  const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path work = base / ("kestova-fetch-bench-" + std::to_string(getpid()));
  const fs::path root = work / "server";
  const std::string block(2048, 'x');
  for (int i = 0; i < files; ++i) {
    const fs::path file =
        root / "small" / ("folder" + std::to_string(i % folders)) / ("page" + std::to_string(i) + ".htm");
    fs::create_directories(file.parent_path());
    std::ofstream(file) << block;
  }
  fs::create_directories(root / "big");
  {
    std::ofstream big(root / "big/archive.bin", std::ios::binary);
    std::string chunk(1 << 20, '\0');
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>((i * 2654435761u) >> 24);
    for (long long i = 0; i < mib; ++i) big.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
  }
  const std::string log = (work / "vsftpd.log").string();
  std::string why;
  kestova::testing::FtpServerOptions options;
  options.protocol_log = log;
  auto server = kestova::testing::FtpServerFixture::Start(kestova::testing::FtpServerFixture::Kind::Vsftpd,
                                                          root.string(), why, options);
  if (!server) {
    std::fprintf(stderr, "fetch_bench: %s\n", why.c_str());
    return 1;
  }
  server->Own();
  struct Row {
    std::string name;
    double seconds;
    long long commands;
    bool same;
    int peer;  // the row it is measured against; -1 for a peer itself
    bool big;
  };
  std::vector<Row> rows;
  const auto measure = [&](const std::string& name, const fs::path& made, const fs::path& original,
                           const std::function<double()>& run, int peer = -1) {
    const long long before = CountCommands(log);
    const double seconds = run();
    rows.push_back({name, seconds, CountCommands(log) - before, Same(made, original), peer, original == root / "big"});
    return static_cast<int>(rows.size()) - 1;
  };
  using kestova::TransferMethod;
  const fs::path copies = work / "copies";
  for (int round = 0; round < rounds; ++round) {
    const int one = measure("lftp mirror --parallel=1", copies / "lftp", root / "small",
                            [&] { return Lftp(*server, "/small", copies / "lftp"); });
    measure(
        "kestova fetch, modern", copies / "modern", root / "small",
        [&] { return Fetch(*server, "/small", copies / "modern", TransferMethod::Modern); }, one);
    measure(
        "kestova fetch, classic", copies / "classic", root / "small",
        [&] { return Fetch(*server, "/small", copies / "classic", TransferMethod::Classic); }, one);
    const int four = measure("lftp mirror --parallel=4", copies / "lftp4", root / "small",
                             [&] { return Lftp(*server, "/small", copies / "lftp4", 4); });
    measure(
        "kestova fetch, 4 connections", copies / "modern4", root / "small",
        [&] { return Fetch(*server, "/small", copies / "modern4", TransferMethod::Modern, 4); }, four);
    const int curl = measure("curl -o", copies / "curl", root / "big",
                             [&] { return Curl(*server, "/big/archive.bin", copies / "curl/archive.bin"); });
    measure(
        "kestova fetch, modern (big)", copies / "big", root / "big",
        [&] { return Fetch(*server, "/big", copies / "big", TransferMethod::Modern); }, curl);
    fs::remove_all(copies);
  }
  std::printf("Fetching from vsftpd on loopback: %d files of 2 KiB in %d folders, and one file of %lld MiB\n", files,
              folders, mib);
  for (const Row& row : rows) {
    std::printf("  %-30s %7.2f s  %6.2f commands/file%s", row.name.c_str(), row.seconds,
                static_cast<double>(row.commands) / (row.big ? 1 : files), row.same ? "" : "  (COPY DIFFERS)");
    if (row.peer >= 0) std::printf("   x%.2f of %s", row.seconds / rows[row.peer].seconds, rows[row.peer].name.c_str());
    std::printf("\n");
  }
  server.reset();
  fs::remove_all(work);
  return 0;
}

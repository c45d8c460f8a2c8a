// Uploads one file to vsftpd on loopback with the program's FTP client (Put:
// blocks of 1460 bytes, or of 16 KiB over TLS, each sent when the previous
// one is announced sent) and with `curl -T`, in the same run, and prints the
// median times of three rounds, their ratio and the CPU seconds of each
// client: in plain FTP, and over explicit TLS (vsftpd requiring it for login
// and data, with session reuse) against `curl --ssl-reqd -T`. Then it puts
// 100 files of 2 KiB in one session, plain and over TLS (each data
// connection resuming the control connection's session), and prints the
// time per file.
//
// Run as root (vsftpd logs in a local user): build/bin/ftp_put_bench [MiB]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include "ftp/ftp_client.h"
#include "support/ftp_servers.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Sample {
  double seconds = 0;
  double cpu = 0;
  bool ok = false;
};

double ThreadCpu() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double ChildrenCpu() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

using Server = kestova::testing::FtpServerFixture;

// Puts each file in turn in one session; the time from the first Put on.
Sample PutWithClient(const Server& server, const std::vector<std::string>& files,
                     kestova::TransferMethod method = kestova::TransferMethod::Classic) {
  kestova::FtpClient client;
  if (method == kestova::TransferMethod::Modern) client.Tuning = {65536, 0};
  client.HostName = "127.0.0.1";
  client.Port = server.Port();
  client.UserName = server.User();
  client.PassWord = server.Password();
  client.SetPassive(true);
  client.Timeout = 60;
  if (server.Certificate()) {
    client.Security = kestova::FtpSecurity::Explicit;
    client.TrustedFingerprint = server.Certificate()->fingerprint;
  }
  Sample sample;
  if (!client.Connect() || !client.TypeBinary()) return sample;
  const double cpu = ThreadCpu();
  const auto start = Clock::now();
  sample.ok = true;
  for (size_t i = 0; i < files.size() && sample.ok; ++i) {
    client.SetLocalFileName(files[i]);
    client.HostFileName = "kestova" + std::to_string(i) + ".bin";
    sample.ok = client.Put();
  }
  sample.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sample.cpu = ThreadCpu() - cpu;
  client.Quit();
  return sample;
}

Sample PutWithCurl(const Server& server, const std::string& file) {
  const std::string url = "ftp://127.0.0.1:" + server.Port() + "/curl.bin";
  const std::string user = server.User() + ":" + server.Password();
  std::vector<const char*> argv = {"curl", "-s", "-S", "--ftp-pasv", "-u", user.c_str()};
  // The test certificate is not in the system's store: -k, as a user of a
  // self-signed host would.
  if (server.Certificate()) argv.insert(argv.end(), {"--ssl-reqd", "-k"});
  argv.insert(argv.end(), {"-T", file.c_str(), url.c_str(), nullptr});
  Sample sample;
  const double cpu = ChildrenCpu();
  const auto start = Clock::now();
  pid_t child = 0;
  if (posix_spawnp(&child, "curl", nullptr, nullptr, const_cast<char**>(argv.data()), environ) != 0) return sample;
  int status = 0;
  waitpid(child, &status, 0);
  sample.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sample.cpu = ChildrenCpu() - cpu;
  sample.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return sample;
}

Sample Median(std::vector<Sample> samples) {
  std::sort(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) { return a.seconds < b.seconds; });
  return samples[samples.size() / 2];
}

void WriteFile(const std::string& path, long long size) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
  for (long long left = size; left > 0; left -= static_cast<long long>(block.size())) {
    out.write(block.data(),
              static_cast<std::streamsize>(std::min<long long>(left, static_cast<long long>(block.size()))));
  }
}

void Print(const char* what, const Sample& sample, double mb) {
  std::printf("  %-22s %7.2f s  %7.1f MB/s  %6.2f CPU s%s\n", what, sample.seconds, mb / sample.seconds, sample.cpu,
              sample.ok ? "" : "  (FAILED)");
}

// One big file, ours against curl's, three rounds each; both succeeded.
bool BigFile(const Server& server, const fs::path& work, const std::string& file, long long mib) {
  std::vector<Sample> ours, modern, curls;
  for (int round = 0; round < 3; ++round) {
    curls.push_back(PutWithCurl(server, file));
    // A copy counts only when it arrived whole.
    const auto whole = [&](Sample sample) {
      std::error_code error;
      sample.ok = sample.ok && fs::file_size(work / "server" / "kestova0.bin", error) == fs::file_size(file);
      fs::remove(work / "server" / "kestova0.bin", error);
      return sample;
    };
    ours.push_back(whole(PutWithClient(server, {file})));
    modern.push_back(whole(PutWithClient(server, {file}, kestova::TransferMethod::Modern)));
    fs::remove(work / "server" / "curl.bin");
  }
  const Sample a = Median(ours);
  const Sample m = Median(modern);
  const Sample b = Median(curls);
  const double mb = static_cast<double>(mib) * 1048576.0 / 1e6;
  const bool tls = server.Certificate() != nullptr;
  std::printf("Put of %lld MiB to vsftpd on loopback%s, median of 3:\n", mib, tls ? " over explicit TLS" : "");
  Print("FtpClient::Put classic", a, mb);
  Print("FtpClient::Put modern", m, mb);
  Print(tls ? "curl --ssl-reqd -k -T" : "curl -T", b, mb);
  std::printf("  ratio (ours / curl): classic %.2f, modern %.2f\n", a.seconds / b.seconds, m.seconds / b.seconds);
  return a.ok && m.ok && b.ok;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const long long mib = argc > 1 ? std::atoll(argv[1]) : 256;
  const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path work = base / ("kestova-put-bench-" + std::to_string(getpid()));
  fs::create_directories(work / "local");
  const std::string file = (work / "local" / "upload.bin").string();
  WriteFile(file, mib << 20);
  std::vector<std::string> small;
  for (int i = 0; i < 100; ++i) {
    small.push_back((work / "local" / ("small" + std::to_string(i) + ".bin")).string());
    WriteFile(small.back(), 2048);
  }
  bool ok = true;
  double per_file[2][2] = {{0, 0}, {0, 0}};
  for (const auto tls : {kestova::testing::ServerTls::None, kestova::testing::ServerTls::Explicit}) {
    std::string why;
    kestova::testing::FtpServerOptions options;
    options.tls = tls;
    auto server = Server::Start(Server::Kind::Vsftpd, (work / "server").string(), why, options);
    if (!server) {
      std::fprintf(stderr, "ftp_put_bench: %s\n", why.c_str());
      return 1;
    }
    ok = BigFile(*server, work, file, mib) && ok;
    const size_t row = tls == kestova::testing::ServerTls::None ? 0 : 1;
    for (const auto method : {kestova::TransferMethod::Classic, kestova::TransferMethod::Modern}) {
      const Sample files = PutWithClient(*server, small, method);
      ok = ok && files.ok;
      per_file[row][static_cast<int>(method)] = files.seconds / static_cast<double>(small.size());
    }
  }
  // The classic method waits 100 ms before it closes each upload's data
  // connection in plain FTP; over TLS the upload ends with close_notify,
  // after which the server ends the transfer itself.
  std::printf("100 files of 2 KiB in one session, ms per file:\n");
  std::printf("  plain: classic %.1f, modern %.1f;  TLS: classic %.1f, modern %.1f\n", per_file[0][0] * 1e3,
              per_file[0][1] * 1e3, per_file[1][0] * 1e3, per_file[1][1] * 1e3);
  fs::remove_all(work);
  return ok ? 0 : 1;
}

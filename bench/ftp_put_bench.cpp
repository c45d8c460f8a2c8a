// Uploads one file to vsftpd on loopback with the program's FTP client (Put:
// 1460-byte blocks, each sent when the previous one is announced sent) and
// with `curl -T`, in the same run, and prints the median times of three
// rounds, their ratio and the CPU seconds of each client.
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

Sample PutWithClient(const kestova::testing::FtpServerFixture& server, const std::string& file) {
  kestova::FtpClient client;
  client.HostName = "127.0.0.1";
  client.Port = server.Port();
  client.UserName = server.User();
  client.PassWord = server.Password();
  client.SetPassive(true);
  client.Timeout = 60;
  Sample sample;
  if (!client.Connect() || !client.TypeBinary()) return sample;
  client.SetLocalFileName(file);
  client.HostFileName = "kestova.bin";
  const double cpu = ThreadCpu();
  const auto start = Clock::now();
  sample.ok = client.Put();
  sample.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sample.cpu = ThreadCpu() - cpu;
  client.Quit();
  return sample;
}

Sample PutWithCurl(const kestova::testing::FtpServerFixture& server, const std::string& file) {
  const std::string url = "ftp://127.0.0.1:" + server.Port() + "/curl.bin";
  const std::string user = server.User() + ":" + server.Password();
  const char* argv[] = {"curl", "-s", "-S", "--ftp-pasv", "-u", user.c_str(), "-T", file.c_str(), url.c_str(), nullptr};
  Sample sample;
  const double cpu = ChildrenCpu();
  const auto start = Clock::now();
  pid_t child = 0;
  if (posix_spawnp(&child, "curl", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return sample;
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

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const long long mib = argc > 1 ? std::atoll(argv[1]) : 256;
  const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  const fs::path work = base / ("kestova-put-bench-" + std::to_string(getpid()));
  fs::create_directories(work / "local");
  const std::string file = (work / "local" / "upload.bin").string();
  {
    std::ofstream out(file, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
    for (long long i = 0; i < mib; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  std::string why;
  auto server = kestova::testing::FtpServerFixture::Start(kestova::testing::FtpServerFixture::Kind::Vsftpd,
                                                          (work / "server").string(), why);
  if (!server) {
    std::fprintf(stderr, "ftp_put_bench: %s\n", why.c_str());
    return 1;
  }
  std::vector<Sample> ours, curls;
  for (int round = 0; round < 3; ++round) {
    curls.push_back(PutWithCurl(*server, file));
    ours.push_back(PutWithClient(*server, file));
    fs::remove(work / "server" / "curl.bin");
    fs::remove(work / "server" / "kestova.bin");
  }
  const Sample a = Median(ours);
  const Sample b = Median(curls);
  const double mb = static_cast<double>(mib) * 1048576.0 / 1e6;
  std::printf("Put of %lld MiB to vsftpd on loopback, median of 3:\n", mib);
  std::printf("  FtpClient::Put  %7.2f s  %7.1f MB/s  %6.2f CPU s%s\n", a.seconds, mb / a.seconds, a.cpu,
              a.ok ? "" : "  (FAILED)");
  std::printf("  curl -T         %7.2f s  %7.1f MB/s  %6.2f CPU s%s\n", b.seconds, mb / b.seconds, b.cpu,
              b.ok ? "" : "  (FAILED)");
  std::printf("  ratio (ours / curl): %.2f\n", a.seconds / b.seconds);
  server.reset();
  fs::remove_all(work);
  return a.ok && b.ok ? 0 : 1;
}

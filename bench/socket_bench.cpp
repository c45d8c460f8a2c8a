// Moves 1 GiB over one loopback connection with the program's socket, in the
// two ways the program sends (1460-byte blocks, each sent when the previous
// one is announced by OnDataSent, as an upload does; and 64 KiB sends), and
// the same amount with socat, into the same receiver. Prints MB/s and the
// sender's CPU seconds per GiB, and the CPU time of a 10-second idle wait.
//
// Run: build/bin/socket_bench [MiB]
#include <arpa/inet.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "net/async_socket.h"
#include "net/event_wait.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double ProcessCpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Accepts one connection on a thread and counts what arrives until its end.
class Receiver {
 public:
  Receiver() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 1);
    socklen_t size = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] {
      const int peer = ::accept(listener_, nullptr, nullptr);
      std::string buffer(256 * 1024, '\0');
      for (ssize_t got; (got = ::recv(peer, buffer.data(), buffer.size(), 0)) > 0;) bytes_ += got;
      ::close(peer);
    });
  }
  ~Receiver() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  int Port() const { return port_; }
  long long Finish() {
    thread_.join();
    return bytes_;
  }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::atomic<long long> bytes_{0};
  std::thread thread_;
};

struct Result {
  double seconds;
  double cpu;
  long long bytes;
};

Result SendWithSocket(long long total, int block, bool paced) {
  Receiver receiver;
  kestova::AsyncSocket socket;
  socket.LingerOnOff = kestova::SocketLingerOnOff::wsLingerOff;
  socket.SetAddr("127.0.0.1");
  socket.SetPort(std::to_string(receiver.Port()));
  const std::string data(static_cast<size_t>(block), 'k');
  long long queued = 0;
  bool done = false;
  auto feed = [&] {
    if (queued >= total) {
      done = true;
      return;
    }
    const int size = static_cast<int>(std::min<long long>(block, total - queued));
    queued += size;
    socket.Send(data.data(), size);
  };
  // Paced: one block per OnDataSent. Unpaced: keep a few blocks queued.
  socket.OnDataSent = [&](kestova::AsyncSocket&, int) {
    if (paced) return feed();
    for (int i = 0; i < 4 && !done; ++i) feed();
  };
  const auto start = Clock::now();
  const double cpu = ThreadCpuSeconds();
  socket.Connect();
  kestova::WaitUntil([&] { return done; }, std::chrono::milliseconds(-1));
  socket.Close();
  const long long bytes = receiver.Finish();
  return {std::chrono::duration<double>(Clock::now() - start).count(), ThreadCpuSeconds() - cpu, bytes};
}

Result SendWithSocat(long long total) {
  Receiver receiver;
  const std::string source = "OPEN:/dev/zero,readbytes=" + std::to_string(total);
  const std::string target = "TCP:127.0.0.1:" + std::to_string(receiver.Port());
  const char* argv[] = {"socat", "-u", "-b", "65536", source.c_str(), target.c_str(), nullptr};
  const double cpu = ProcessCpuSeconds(RUSAGE_CHILDREN);
  const auto start = Clock::now();
  pid_t child = 0;
  if (posix_spawnp(&child, "socat", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
    std::fprintf(stderr, "socket_bench: socat is not installed (scripts/setup installs it)\n");
    std::exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  const long long bytes = receiver.Finish();
  return {std::chrono::duration<double>(Clock::now() - start).count(), ProcessCpuSeconds(RUSAGE_CHILDREN) - cpu, bytes};
}

void Print(const char* name, const Result& result, long long total, const Result* reference) {
  const double gib = static_cast<double>(total) / (1 << 30);
  std::printf("%-34s %8.1f MB/s %8.2f s %8.2f CPU s/GiB", name,
              static_cast<double>(result.bytes) / 1e6 / result.seconds, result.seconds, result.cpu / gib);
  if (reference) std::printf("   time x%.2f of socat", result.seconds / reference->seconds);
  if (result.bytes != total) std::printf("   (received %lld of %lld bytes!)", result.bytes, total);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const long long mib = argc > 1 ? std::atoll(argv[1]) : 1024;
  const long long total = mib << 20;
  std::printf("Moving %lld MiB over one loopback connection; CPU is the sender's.\n", mib);
  const Result socat = SendWithSocat(total);
  Print("socat, 64 KiB reads", socat, total, nullptr);
  const Result paced = SendWithSocket(total, 1460, true);
  Print("AsyncSocket, 1460 B per OnDataSent", paced, total, &socat);
  const Result bulk = SendWithSocket(total, 65536, false);
  Print("AsyncSocket, 64 KiB sends", bulk, total, &socat);

  kestova::AsyncSocket idle;  // a socket waiting for data that never comes
  Receiver receiver;
  idle.SetAddr("127.0.0.1");
  idle.SetPort(std::to_string(receiver.Port()));
  idle.Connect();
  const double before = ProcessCpuSeconds(RUSAGE_SELF);
  kestova::WaitUntil([] { return false; }, 10s);
  std::printf("Idle wait of 10 s on an open connection: %.3f CPU s\n", ProcessCpuSeconds(RUSAGE_SELF) - before);
  idle.Close();
  return 0;
}

// Publishes a large generated site to vsftpd on loopback and measures time
// and peak resident memory (through /usr/bin/time -v) of:
//   - `kestova run publish`, the headless command;
//   - the run window (UploadForm) offscreen, which also samples its own
//     resident memory as the log grows and is trimmed;
//   - lftp's `mirror -R --parallel=N` of the same tree, in the same run (N is
//     --connections, 1 unless given).
// Every remote copy is compared with the local tree byte for byte.
//
// Run as root (vsftpd logs in a local user):
//   build/bin/size_bench [FILES] [FOLDERS] [BIG_MIB] [--only command|window|lftp]...
//                        [--method classic|modern] [--connections N]
// --connections sets NewConnections for kestova and --parallel for lftp.
// The defaults are 20000 files in 400 folders and one file of 2048 MiB.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <vector>

#include "engine/run_settings.h"
#include "profile/site_profile.h"
#include "support/ftp_servers.h"
#include "ui/upload_form.h"

#ifndef KESTOVA_BINARY
#error "KESTOVA_BINARY names the kestova program"
#endif

namespace {

namespace fs = std::filesystem;

struct Measured {
  bool ran = false;
  double seconds = 0;
  long peak_kib = 0;
  std::string last_line;
  bool equal = false;
  std::string extra;
};

std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int code = ::pclose(pipe);
  if (status) *status = WIFEXITED(code) ? WEXITSTATUS(code) : -1;
  return out;
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// Fills `size` bytes with a cheap pseudo-random sequence, so nothing on the
// way can compress or deduplicate it.
void WriteNoise(const fs::path& path, std::uint64_t size, std::uint64_t seed) {
  std::ofstream out(path, std::ios::binary);
  std::vector<std::uint64_t> block(1 << 17);
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  while (size > 0) {
    for (auto& word : block) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      word = state;
    }
    const std::uint64_t bytes = std::min<std::uint64_t>(size, block.size() * sizeof(std::uint64_t));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(bytes));
    size -= bytes;
  }
}

void Generate(const fs::path& site, int files, int folders, std::uint64_t big_mib) {
  const std::time_t past = std::time(nullptr) - 2 * 24 * 3600;
  const int top = std::max(1, folders / 20);
  for (int i = 0; i < files; ++i) {
    const int folder = i % folders;
    const fs::path dir = site / ("part" + std::to_string(folder % top)) / ("section" + std::to_string(folder));
    fs::create_directories(dir);
    if (i % 3 == 0) {
      WriteNoise(dir / ("image" + std::to_string(i) + ".gif"), 1024 + static_cast<std::uint64_t>(i % 7) * 1000, i);
    } else {
      std::ofstream page(dir / ("page" + std::to_string(i) + ".htm"));
      page << "<html><head><title>Page " << i << "</title></head><body>\n";
      for (int line = 0; line < 10 + i % 40; ++line) page << "<p>Line " << line << " of page " << i << ".</p>\n";
      page << "</body></html>\n";
    }
  }
  if (big_mib > 0) {
    fs::create_directories(site / "media");
    WriteNoise(site / "media" / "big.bin", big_mib << 20, 7);
  }
  for (const auto& entry : fs::recursive_directory_iterator(site)) {
    utimbuf times{past, past};
    ::utime(entry.path().c_str(), &times);
  }
}

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  if (!x || !y || fs::file_size(a) != fs::file_size(b)) return false;
  std::vector<char> p(1 << 20), q(1 << 20);
  while (x && y) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || std::memcmp(p.data(), q.data(), static_cast<size_t>(x.gcount())) != 0) return false;
  }
  return true;
}

// True when the remote folder holds exactly the local files, byte for byte.
bool SameTree(const fs::path& local, const fs::path& remote, std::string& why) {
  std::set<std::string> remote_files;
  if (!fs::is_directory(remote)) {
    why = "nothing on the server";
    return false;
  }
  for (const auto& entry : fs::recursive_directory_iterator(remote)) {
    if (entry.is_regular_file()) remote_files.insert(fs::relative(entry.path(), remote).string());
  }
  size_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(local)) {
    if (!entry.is_regular_file()) continue;
    ++count;
    const std::string name = fs::relative(entry.path(), local).string();
    if (!remote_files.count(name)) {
      why = "missing on the server: " + name;
      return false;
    }
    if (!SameBytes(entry.path(), remote / name)) {
      why = "differs on the server: " + name;
      return false;
    }
  }
  if (count != remote_files.size()) {
    why = "the server has " + std::to_string(remote_files.size()) + " files, the site " + std::to_string(count);
    return false;
  }
  return true;
}

// Runs a command under /usr/bin/time -v; its standard output goes to `log`.
void Timed(const std::string& command, const fs::path& log, Measured& result) {
  const fs::path report = log.string() + ".time";
  QElapsedTimer clock;
  clock.start();
  Shell("/usr/bin/time -v -o " + Quote(report.string()) + " " + command + " >" + Quote(log.string()) + " 2>&1");
  result.seconds = static_cast<double>(clock.elapsed()) / 1000.0;
  result.ran = true;
  std::ifstream in(report);
  for (std::string line; std::getline(in, line);) {
    const auto at = line.find("Maximum resident set size (kbytes): ");
    if (at != std::string::npos) result.peak_kib = std::atol(line.c_str() + at + 36);
  }
  std::ifstream out(log);
  for (std::string line; std::getline(out, line);) {
    if (!line.empty()) result.last_line = line;
  }
}

long ResidentKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

// The child that runs the publish job in the run window, offscreen. Prints
// one sample line per interval (seconds, resident KiB, log lines, files
// sent) and the outcome's closing line.
int WindowRun(int argc, char** argv, const std::string& registry, const std::string& profile_name) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  kestova::SiteProfile profile(registry);
  profile.LoadRegistry(profile_name);
  kestova::LoadedProfileView view(profile, {}, profile_name);
  kestova::UploadForm form;
  form.Settings = kestova::SettingsForJob(profile, false);
  form.Profile = &view;
  QElapsedTimer clock;
  clock.start();
  long peak = 0;
  QTimer sampler;
  auto sample = [&] {
    const long rss = ResidentKib();
    peak = std::max(peak, rss);
    std::printf("sample %.0f s  %ld KiB  %d log lines  %s\n", static_cast<double>(clock.elapsed()) / 1000.0, rss,
                form.Progress()->blockCount(), form.Status()->text().toLocal8Bit().constData());
    std::fflush(stdout);
    if (form.LastOutcome()) {
      const QString log = form.Progress()->toPlainText();
      std::printf("peak sampled %ld KiB\n%s\n", peak, log.section('\n', -1).toLocal8Bit().constData());
      std::fflush(stdout);
      app.exit(*form.LastOutcome() == kestova::RunOutcome::Finished ? 0 : 1);
    }
  };
  QObject::connect(&sampler, &QTimer::timeout, sample);
  sampler.start(5000);
  // The end is seen within 50 ms, not at the next sample.
  QTimer end;
  QObject::connect(&end, &QTimer::timeout, [&] {
    if (form.LastOutcome()) sample();
  });
  end.start(50);
  // The run starts from the window's activation and pumps the event loop,
  // so the sampler keeps firing while it goes.
  form.show();
  return app.exec();
}

// Runs the run window in a child of its own and prints its samples.
void MeasureWindow(const std::string& registry, const fs::path& work, const fs::path& site, Measured& window) {
  std::printf("the run window, offscreen...\n");
  std::fflush(stdout);
  Timed("env KESTOVA_REGISTRY=" + Quote(registry) + " " + Quote(fs::canonical("/proc/self/exe").string()) +
            " --window-run " + Quote(registry) + " size",
        work / "window.log", window);
  window.equal = SameTree(site, work / "server" / "window", window.extra);
  std::ifstream in(work / "window.log");
  std::vector<std::string> samples;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("sample ", 0) == 0) samples.push_back(line);
  }
  const size_t step = std::max<size_t>(1, samples.size() / 12);
  std::printf("Run window samples (every %zu of %zu):\n", step, samples.size());
  for (size_t i = 0; i < samples.size(); i += step) std::printf("  %s\n", samples[i].c_str());
  if (!samples.empty() && (samples.size() - 1) % step != 0) std::printf("  %s\n", samples.back().c_str());
}

void MeasureLftp(const kestova::testing::FtpServerFixture& server, const fs::path& work, const fs::path& site,
                 Measured& lftp, int parallel) {
  std::printf("lftp mirror -R...\n");
  std::fflush(stdout);
  const std::string script =
      "set ftp:passive-mode on; set net:max-retries 1; mirror -R --parallel=" + std::to_string(parallel) + " " +
      Quote(site.string()) + " /lftp; quit";
  Timed("lftp -u " + Quote(server.User() + "," + server.Password()) + " -p " + server.Port() + " -e \"" + script +
            "\" 127.0.0.1",
        work / "lftp.log", lftp);
  lftp.equal = SameTree(site, work / "server" / "lftp", lftp.extra);
  lftp.last_line = "(exit of lftp)";
}

void Report(int files, int folders, std::uint64_t big_mib, const Measured& command, const Measured& window,
            const Measured& lftp) {
  std::printf("\nPublishing %d files in %d folders and one file of %llu MiB to vsftpd on loopback:\n", files, folders,
              static_cast<unsigned long long>(big_mib));
  std::printf("  %-26s %10s %14s  %-8s %s\n", "client", "time", "peak RSS", "equal", "last line");
  for (const auto& [name, m] : std::vector<std::pair<const char*, const Measured*>>{
           {"kestova run publish", &command}, {"run window (offscreen)", &window}, {"lftp mirror -R", &lftp}}) {
    if (!m->ran) continue;
    std::printf("  %-26s %9.1fs %10.1f MiB  %-8s %s%s%s\n", name, m->seconds, static_cast<double>(m->peak_kib) / 1024.0,
                m->equal ? "yes" : "NO", m->last_line.c_str(), m->extra.empty() ? "" : "  -- ", m->extra.c_str());
  }
  if (!lftp.ran || lftp.peak_kib == 0) return;
  for (const auto& [name, m] : std::vector<std::pair<const char*, const Measured*>>{{"kestova run publish", &command},
                                                                                    {"run window", &window}}) {
    if (!m->ran) continue;
    std::printf("  %s: time x%.2f, peak RSS x%.2f of lftp\n", name, m->seconds / lftp.seconds,
                static_cast<double>(m->peak_kib) / static_cast<double>(lftp.peak_kib));
  }
}

// FILES FOLDERS BIG_MIB, each optional, --only command|window|lftp and
// --method classic|modern.
struct Options {
  int files = 20000;
  int folders = 400;
  std::uint64_t big_mib = 2048;
  std::set<std::string> only;
  std::string method = "0";  // NewMethod: 0 classic, 1 modern
  int connections = 1;       // NewConnections, and lftp's --parallel
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  std::vector<std::string> numbers;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      options.only.insert(argv[++i]);
    } else if (std::strcmp(argv[i], "--connections") == 0 && i + 1 < argc) {
      options.connections = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--method") == 0 && i + 1 < argc) {
      options.method = std::strcmp(argv[++i], "modern") == 0 ? "1" : "0";
    } else {
      numbers.push_back(argv[i]);
    }
  }
  if (numbers.size() > 0) options.files = std::atoi(numbers[0].c_str());
  if (numbers.size() > 1) options.folders = std::atoi(numbers[1].c_str());
  if (numbers.size() > 2) options.big_mib = std::strtoull(numbers[2].c_str(), nullptr, 10);
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--window-run") == 0) return WindowRun(argc, argv, argv[2], argv[3]);

  const Options options = ParseOptions(argc, argv);
  const int files = options.files;
  const int folders = options.folders;
  const std::uint64_t big_mib = options.big_mib;
  auto wanted = [&](const char* name) { return options.only.empty() || options.only.count(name) > 0; };

  // In memory where there is room for the site and its three copies: a
  // disk's writeback makes the large file's time vary by seconds.
  std::error_code no_space;
  const std::uintmax_t needed = 4 * ((big_mib << 20) + (std::uintmax_t{1} << 28));
  const bool in_memory = fs::exists("/dev/shm") && fs::space("/dev/shm", no_space).available > needed && !no_space;
  const fs::path work = (in_memory ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                        ("kestova-size-bench-" + std::to_string(::getpid()));
  const fs::path site = work / "site";
  std::printf("Generating %d files in %d folders and one of %llu MiB...\n", files, folders,
              static_cast<unsigned long long>(big_mib));
  std::fflush(stdout);
  Generate(site, files, folders, big_mib);

  std::string why;
  auto server = kestova::testing::FtpServerFixture::Start(kestova::testing::FtpServerFixture::Kind::Vsftpd,
                                                          (work / "server").string(), why);
  if (!server) {
    std::fprintf(stderr, "size_bench: %s\n", why.c_str());
    return 1;
  }
  const std::string registry = (work / "registry.db").string();
  const std::string program = "env KESTOVA_REGISTRY=" + Quote(registry) + " " + Quote(KESTOVA_BINARY);
  auto set_profile = [&](const std::string& start_dir) {
    int status = 0;
    const std::string out =
        Shell(program + " profile set --profile size RootSource=" + Quote(site.string()) +
                  " NewHostName=127.0.0.1 NewPort=" + server->Port() + " NewUserId=" + server->User() +
                  " NewPassword=" + Quote(server->Password()) + " NewStartDir=" + start_dir +
                  " NewRetryPause=1 NewRetries=3 NewAutoDetect=1 NewChanges=0 NewWipe=0 TestRun=0 NewMethod=" +
                  options.method + " NewConnections=" + std::to_string(options.connections) + " 2>&1",
              &status);
    if (status != 0) std::fprintf(stderr, "size_bench: profile set failed: %s\n", out.c_str());
    return status == 0;
  };

  Measured command, window, lftp;
  if (wanted("command") && set_profile("/command")) {
    std::printf("kestova run publish...\n");
    std::fflush(stdout);
    Timed(program + " run publish --profile size", work / "command.log", command);
    command.equal = SameTree(site, work / "server" / "command", command.extra);
  }
  if (wanted("window") && set_profile("/window")) MeasureWindow(registry, work, site, window);
  if (wanted("lftp")) MeasureLftp(*server, work, site, lftp, options.connections);
  Report(files, folders, big_mib, command, window, lftp);
  server.reset();
  std::error_code ignored;
  fs::remove_all(work, ignored);
  const bool ok = (!command.ran || (command.equal && command.peak_kib < 100 * 1024)) &&
                  (!window.ran || (window.equal && window.peak_kib < 100 * 1024)) && (!lftp.ran || lftp.equal);
  return ok ? 0 : 1;
}

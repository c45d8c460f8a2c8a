// Peak memory of a modern Wrt Changes against folders with very large MLSD
// listings, shallow and deep, beside lftp's `mirror -R --only-newer` of the
// same tree against the same server in the same run. The server (the tests'
// scripted one, in this process) lists every folder with the same listing of
// about LISTING_MIB MiB: thousands of files the local site does not have,
// the local page (older, so it is sent) and the local subfolder. Both clients
// run as child processes under /usr/bin/time -v.
//
//   build/bin/listing_bench [LISTING_MIB] [DEPTH]      (defaults: 30, 8)
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

#ifndef KESTOVA_BINARY
#error "KESTOVA_BINARY names the kestova program"
#endif

namespace {

namespace fs = std::filesystem;
using kestova::testing::ScriptedFtpServer;
using kestova::testing::ScriptedSession;

// Runs a shell command under /usr/bin/time -v; its peak resident memory in
// KiB, or -1, and its exit status.
long PeakKib(const std::string& command, int& status, const std::string& time_log) {
  const int code = std::system(("/usr/bin/time -v -o " + time_log + " " + command + " >/dev/null 2>&1").c_str());
  status = WIFEXITED(code) ? WEXITSTATUS(code) : -1;
  std::ifstream in(time_log);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find("Maximum resident set size (kbytes): ");
    if (at != std::string::npos) return std::stol(line.substr(at + 36));
  }
  return -1;
}

std::string Listing(long mib) {
  std::string text =
      "type=cdir;modify=20000101000000; .\r\n"
      "type=dir;modify=20000101000000; d\r\n"
      "type=file;size=5;modify=20000101000000; page.htm\r\n";
  char line[160];
  for (long i = 0; static_cast<long>(text.size()) < (mib << 20); ++i) {
    std::snprintf(line, sizeof line,
                  "type=file;size=%ld;modify=20200101%06ld;perm=adfrw; archived-page-%09ld-of-the-old-site.html\r\n",
                  1000 + i % 9000, i % 235959, i);
    text += line;
  }
  return text;
}

// A local tree `depth` folders deep, a page in each, all two days old.
void MakeSite(const fs::path& site, int depth) {
  fs::path folder = site;
  for (int level = 0; level <= depth; ++level) {
    fs::create_directories(folder);
    std::ofstream(folder / "page.htm") << "page\n";
    if (level < depth) folder /= "d";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long mib = argc > 1 ? std::atol(argv[1]) : 30;
  const int depth = argc > 2 ? std::atoi(argv[2]) : 8;
  const std::string listing = Listing(mib);
  ScriptedFtpServer server;
  server.On("FEAT", "211-Features:\r\n MLST type*;size*;modify*;perm*;\r\n UTF8\r\n211 End\r\n");
  server.On("MLSD", [&listing](ScriptedSession& s, const std::string&) {
    s.Reply("150 Here comes the listing");
    if (!s.OpenData()) return s.Reply("425 Cannot open data connection");
    s.SendData(listing);
    s.CloseData();
    s.Reply("226 Transfer complete");
  });
  server.On("RNFR", "350 Ready for the new name\r\n");
  server.On("RNTO", "250 Renamed\r\n");
  kestova::testing::TempDir dir;
  const std::string registry = dir.File("registry.db");
  const std::string kestova = KESTOVA_BINARY;
  std::printf("listing of %.1f MiB in every folder (%zu bytes)\n", static_cast<double>(listing.size()) / (1 << 20),
              listing.size());
  std::printf("%-8s %-28s %12s %8s\n", "depth", "client", "peak MiB", "status");
  for (const int levels : {1, depth}) {
    const fs::path site = dir.Path() / ("site" + std::to_string(levels));
    MakeSite(site, levels);
    const std::string setup = "KESTOVA_REGISTRY=" + registry + " " + kestova +
                              " profile set NewHostName=127.0.0.1 NewPort=" + server.Port() +
                              " NewUserId=user NewPassword=pw NewStartDir=/www NewChanges=1 NewMethod=1"
                              " NewRetries=0 RootSource=" +
                              site.string() + " >/dev/null";
    if (std::system(setup.c_str()) != 0) {
      std::fprintf(stderr, "listing_bench: the profile could not be set\n");
      return 1;
    }
    int status = 0;
    const long ours = PeakKib("env KESTOVA_REGISTRY=" + registry + " XDG_STATE_HOME=" + dir.File("state") + " " +
                                  kestova + " run publish --quiet",
                              status, dir.File("time.log"));
    std::printf("%-8d %-28s %12.1f %8d\n", levels, "kestova (modern)", ours / 1024.0, status);
    const long lftp = PeakKib("lftp -u user,pw -p " + server.Port() +
                                  " -e 'set ftp:passive-mode on; set ftp:use-mlsd on; set net:max-retries 1;"
                                  " mirror -R --only-newer " +
                                  site.string() + " /www; quit' 127.0.0.1",
                              status, dir.File("time.log"));
    std::printf("%-8d %-28s %12.1f %8d\n", levels, "lftp mirror -R --only-newer", lftp / 1024.0, status);
    if (ours > 0 && lftp > 0) std::printf("%-8d ratio kestova / lftp: x%.2f\n", levels, double(ours) / double(lftp));
  }
  return 0;
}

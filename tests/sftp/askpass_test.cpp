// The askpass server answers what ssh asks through the helper: the password
// to a password prompt, as often as allowed; "no" to a question about a host
// key, which it keeps; nothing to any other prompt, a key's passphrase among
// them, so that the site's password is never given for it.
#include "sftp/askpass.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>

#include <future>
#include <string>

#include "net/event_wait.h"

namespace kestova {
namespace {

// Runs the helper's side on a thread, as ssh's child would, while the
// server is served by this thread's event loop.
std::pair<int, std::string> Ask(const AskpassServer& server, const std::string& prompt) {
  QAbstractEventDispatcher* const loop = QAbstractEventDispatcher::instance();
  auto asked = std::async(std::launch::async, [&] {
    // The helper prints the answer on its standard output; capture it.
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) return std::make_pair(-1, std::string());
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(pipe_ends[1], STDOUT_FILENO);
    const int status = RunAskpassHelper(server.Name(), prompt);
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(pipe_ends[1]);
    std::string printed;
    char block[256];
    for (ssize_t n; (n = ::read(pipe_ends[0], block, sizeof block)) > 0;) printed.append(block, static_cast<size_t>(n));
    ::close(pipe_ends[0]);
    loop->wakeUp();  // the wait below checks again
    return std::make_pair(status, printed);
  });
  WaitUntil([&] { return asked.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            std::chrono::seconds(5));
  return asked.get();
}

TEST(AskpassTest, OnlyAPasswordPromptGetsThePasswordAndOnlyAsOftenAsAllowed) {
  AskpassServer server("s3cret", 1);
  ASSERT_TRUE(server.Listening());
  const struct {
    const char* prompt;
    int status;
    const char* printed;
  } steps[] = {
      {"Enter passphrase for key '/home/me/.ssh/id_site': ", 1, ""},
      {"The authenticity of host '[127.0.0.1]:2222' can't be established.\nED25519 key fingerprint is "
       "SHA256:abc.\nAre you sure you want to continue connecting (yes/no/[fingerprint])? ",
       0, "no\n"},
      {"kestovaftp@127.0.0.1's password: ", 0, "s3cret\n"},
      {"kestovaftp@127.0.0.1's password: ", 1, ""},  // one answer was allowed
  };
  for (const auto& step : steps) {
    const auto [status, printed] = Ask(server, step.prompt);
    EXPECT_EQ(status, step.status) << step.prompt;
    EXPECT_EQ(printed, step.printed) << step.prompt;
  }
  EXPECT_EQ(server.Answered(), 1);
  EXPECT_NE(server.HostKeyQuestion().find("SHA256:abc"), std::string::npos);
}

}  // namespace
}  // namespace kestova

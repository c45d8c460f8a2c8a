// The socket's name lookups, background exceptions, paused events,
// datagrams and deferred destruction.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "net/async_socket.h"
#include "net/dns_lookup.h"
#include "net/event_wait.h"
#include "net/resolve.h"
#include "net/socket_recorder.h"
#include "support/loopback_peer.h"

namespace kestova {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;
using testing::Aim;
using testing::ClosedPort;
using testing::Connected;
using testing::RawConnect;
using testing::RawListener;
using testing::Recorder;
using testing::WaitFor;

TEST(AsyncSocket, DottedLookupsCompleteInsideTheCallAndNamesLater) {
  AsyncSocket socket;
  Recorder record(socket);
  socket.DnsLookup("10.0.0.1");
  EXPECT_THAT(record.events, ElementsAre("dns:0"));
  EXPECT_EQ(socket.DnsResult(), "10.0.0.1");
  EXPECT_EQ(socket.DnsResultList().size(), 1u);

  record.events.clear();
  socket.DnsLookup("localhost");
  EXPECT_TRUE(record.events.empty());
  ASSERT_TRUE(WaitFor([&] { return !record.events.empty(); }));
  EXPECT_THAT(record.events, ElementsAre("dns:0"));
  EXPECT_EQ(socket.DnsResult(), "127.0.0.1");

  // A name that does not exist, through the lookup's seam rather than the
  // system's resolver.
  SetHostResolver([](const std::string&) { return LookupResult{11001, {}}; });
  record.events.clear();
  socket.DnsLookup("no-such-host.invalid");
  ASSERT_TRUE(WaitFor([&] { return !record.events.empty(); }));
  SetHostResolver(nullptr);
  EXPECT_THAT(record.events, ElementsAre("dns:11001"));
}

TEST(AsyncSocket, CancelledAndReplacedLookupsAnswerOnce) {
  AsyncSocket socket;
  Recorder record(socket);
  socket.DnsLookup("localhost");
  socket.CancelLookup();
  EXPECT_THAT(record.events, ElementsAre("dns:10004"));
  socket.DnsLookup("localhost");
  socket.DnsLookup("localhost");  // replaces the first without an event
  ASSERT_TRUE(WaitFor([&] { return record.events.size() == 2; }));
  WaitUntil([] { return false; }, 100ms);  // a dropped result would arrive by now
  EXPECT_THAT(record.events, ElementsAre("dns:10004", "dns:0"));

  record.events.clear();
  int errors = 0;
  socket.OnError = [&](AsyncSocket&) {
    ++errors;
    record.Add("error", 0);
  };
  socket.DnsLookup("");
  EXPECT_THAT(record.events, ElementsAre("error:0", "dns:10022"));
  EXPECT_EQ(socket.LastErrorMessage(), "DNS lookup: invalid host name.");
}

TEST(AsyncSocket, ALookupOutlivedByItsSocketIsDropped) {
  int before = AsyncSocket::LiveSocketCount();
  {
    AsyncSocket socket;
    EXPECT_EQ(AsyncSocket::LiveSocketCount(), before + 1);
    socket.OnDnsLookupDone = [](AsyncSocket&, int) { FAIL() << "no event from a destroyed socket"; };
    socket.DnsLookup("localhost");
  }
  EXPECT_EQ(AsyncSocket::LiveSocketCount(), before);
  WaitUntil([] { return false; }, 100ms);
}

TEST(AsyncSocket, AnEscapingExceptionGoesToOnBgExceptionAndAborts) {
  RawListener listener;
  AsyncSocket socket;
  Aim(socket, listener.Port());
  socket.Connect();
  const int peer = listener.Accept();
  ASSERT_TRUE(WaitFor([&] { return socket.State() == SocketState::wsConnected; }));
  std::string seen;
  socket.OnBgException = [&](AsyncSocket&, const std::exception& e, bool& can_close) {
    seen = e.what();
    EXPECT_TRUE(can_close);
  };
  socket.PostTestException();
  ASSERT_TRUE(WaitFor([&] { return !seen.empty(); }));
  EXPECT_EQ(seen, "Test exception in AsyncSocket");
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
  ::close(peer);
}

TEST(AsyncSocket, PausedEventsWaitUntilResumedAndCloseLaterClosesFromTheLoop) {
  RawListener listener;
  AsyncSocket socket;
  Recorder record(socket);
  std::string got;
  socket.OnDataAvailable = [&](AsyncSocket& s, int) {
    char buffer[32];
    const int n = s.Receive(buffer, sizeof buffer);
    if (n > 0) got.append(buffer, static_cast<size_t>(n));
  };
  Aim(socket, listener.Port());
  socket.Connect();
  const int peer = listener.Accept();
  ASSERT_TRUE(WaitFor([&] { return socket.State() == SocketState::wsConnected; }));
  socket.PauseEvents();
  ASSERT_EQ(::send(peer, "paused", 6, 0), 6);
  WaitUntil([] { return false; }, 50ms);
  EXPECT_EQ(got, "");
  socket.ResumeEvents();
  ASSERT_TRUE(WaitFor([&] { return got == "paused"; }));
  socket.CloseLater();
  EXPECT_EQ(socket.State(), SocketState::wsConnected);
  ASSERT_TRUE(WaitFor([&] { return socket.State() == SocketState::wsClosed; }));
  EXPECT_EQ(record.Count("closed"), 1);
  ::close(peer);
}

TEST(AsyncSocket, FreeLaterDestroysTheSocketFromTheLoop) {
  const int before = AsyncSocket::LiveSocketCount();
  auto* socket = new AsyncSocket;
  socket->FreeLater();
  EXPECT_EQ(AsyncSocket::LiveSocketCount(), before + 1);
  ASSERT_TRUE(WaitFor([&] { return AsyncSocket::LiveSocketCount() == before; }));
}

}  // namespace
}  // namespace kestova

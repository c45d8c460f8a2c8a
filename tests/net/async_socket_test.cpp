#include "net/async_socket.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

TEST(AsyncSocket, SettingsAreTrimmedAndOnlyChangeWhileClosed) {
  AsyncSocket socket;
  socket.SetPort("  21 ");
  EXPECT_EQ(socket.Port(), "21");
  socket.SetLocalAddr("");
  EXPECT_EQ(socket.LocalAddr(), "0.0.0.0");
  EXPECT_EQ(socket.PeerAddr(), "error");
  RawListener listener;
  Aim(socket, listener.Port());
  socket.Connect();
  try {
    socket.SetPort("22");
    FAIL() << "the port changed on an open socket";
  } catch (const ESocketException& error) {
    EXPECT_STREQ(error.what(), "Cannot change Port if not closed");
  }
  socket.Abort();
}

TEST(AsyncSocket, ARefusedConnectionIsReportedThenClosedOnce) {
  ClosedPort nobody;
  AsyncSocket socket;
  Recorder record(socket);
  Aim(socket, nobody.Port());
  socket.Connect();
  EXPECT_TRUE(record.events.empty()) << "events must come from the event loop, not from Connect";
  ASSERT_TRUE(WaitFor([&] { return record.Count("closed") > 0; }));
  ProcessPendingEvents();
  EXPECT_THAT(record.events, ElementsAre("connected:10061", "closed:0"));
  EXPECT_EQ(SocketErrorText(10061), "Connection refused");
  EXPECT_EQ(socket.State(), SocketState::wsClosed);
  EXPECT_EQ(socket.SocketHandle(), -1);
}

TEST(AsyncSocket, AfterACloseThePortMustBeSetAgain) {
  RawListener listener;
  AsyncSocket socket;
  Aim(socket, listener.Port());
  socket.Connect();
  socket.Close();
  EXPECT_EQ(socket.Port(), listener.Port());  // still readable...
  try {
    socket.Connect();  // ...but no longer assigned
    FAIL();
  } catch (const ESocketException& error) {
    EXPECT_STREQ(error.what(), "Connect: No Port Specified");
  }
}

TEST(AsyncSocket, AConnectionAnnouncesItselfThenItsFirstWriteNotice) {
  RawListener listener;
  AsyncSocket socket;
  Recorder record(socket);
  std::vector<std::string> states;
  socket.OnChangeState = [&](AsyncSocket&, SocketState from, SocketState to) {
    states.push_back(std::string(SocketStateName(from)) + ">" + SocketStateName(to));
  };
  Aim(socket, listener.Port());
  socket.Connect();
  ASSERT_TRUE(WaitFor([&] { return record.Count("sent") > 0; }));
  EXPECT_THAT(record.events, ElementsAre("connected:0", "sent:0"));
  EXPECT_THAT(states, ElementsAre("wsClosed>wsOpened", "wsOpened>wsConnecting", "wsConnecting>wsConnected"));
  EXPECT_EQ(socket.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(socket.PeerPort(), listener.Port());
  EXPECT_EQ(socket.GetXAddr(), "127.0.0.1");
  socket.Close();
  EXPECT_EQ(record.Count("closed"), 1);
}

TEST(AsyncSocket, TenMebibytesArriveIntactAtASlowReader) {
  RawListener listener;
  AsyncSocket socket;
  Aim(socket, listener.Port());
  // As for an upload: the default (linger on, 0 s) closes abortively and
  // would drop what the system has not delivered yet.
  socket.LingerOnOff = SocketLingerOnOff::wsLingerOff;
  socket.Connect();
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(WaitFor([&] { return socket.State() == SocketState::wsConnected; }));

  constexpr size_t kSize = 10 << 20;
  std::string data(kSize, '\0');
  for (size_t i = 0; i < kSize; ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  int sent_events = 0;
  size_t most_chunks = 0;
  socket.OnDataSent = [&](AsyncSocket&, int) { ++sent_events; };
  // Large sends while the peer reads nothing yet: the system's buffers fill
  // and the rest must wait in the queue.
  for (size_t offset = 0; offset < kSize; offset += 1 << 20) {
    ASSERT_EQ(socket.Send(data.data() + offset, 1 << 20), 1 << 20);
    most_chunks = std::max(most_chunks, socket.Queue().ChunkCount());
  }
  std::string received;
  std::thread reader([&] {
    char buffer[8192];
    for (int reads = 0;; ++reads) {
      const ssize_t got = ::recv(peer, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      received.append(buffer, static_cast<size_t>(got));
      if (reads % 64 == 0) std::this_thread::sleep_for(1ms);  // and then reads slowly
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return socket.AllSent() && sent_events > 0; }, 60s));
  socket.Close();
  reader.join();
  ::close(peer);
  EXPECT_GT(most_chunks, 100u) << "the network took everything at once; the queue was never used";
  EXPECT_GE(sent_events, 1);
  EXPECT_EQ(received.size(), kSize);
  EXPECT_TRUE(received == data) << "the bytes arrived changed or out of order";
}

TEST(AsyncSocket, FourThousandBytesOnAFullConnectionMakeThreeChunksAndOneDataSent) {
  RawListener listener;
  AsyncSocket socket;
  Recorder record(socket);
  Aim(socket, listener.Port());
  socket.Connect();
  const int peer = listener.Accept();
  ASSERT_TRUE(WaitFor([&] { return record.Count("sent") == 1; }));
  // Fill every buffer between the two ends; the peer does not read yet.
  const std::string filler(65536, 'f');
  size_t stuffed = 0;
  for (ssize_t n; (n = ::send(socket.SocketHandle(), filler.data(), filler.size(), MSG_DONTWAIT)) > 0;) stuffed += n;

  const std::string data(4000, 'd');
  ASSERT_EQ(socket.Send(data.data(), 4000), 4000);
  std::vector<int> sizes;
  for (const auto& chunk : socket.Queue().Chunks()) sizes.push_back(chunk->WriteCount());
  EXPECT_EQ(sizes, (std::vector<int>{1460, 1460, 1080}));
  ProcessPendingEvents();
  EXPECT_EQ(record.Count("sent"), 1) << "nothing may be announced while the data waits";

  std::thread drain([&] {
    std::string buffer(65536, '\0');
    size_t total = 0;
    while (total < stuffed + 4000) {
      const ssize_t got = ::recv(peer, buffer.data(), buffer.size(), 0);
      if (got <= 0) break;
      total += static_cast<size_t>(got);
    }
  });
  ASSERT_TRUE(WaitFor([&] { return record.Count("sent") == 2; }));
  drain.join();
  ProcessPendingEvents();
  EXPECT_EQ(record.Count("sent"), 2);
  EXPECT_EQ(socket.Queue().ChunkCount(), 1u) << "drained chunks but the last are freed";
  EXPECT_FALSE(socket.Queue().HasUnsent());
  ::close(peer);
}

TEST(AsyncSocket, DataThatLeavesAtOnceIsStillAnnouncedFromTheEventLoop) {
  RawListener listener;
  AsyncSocket socket;
  Recorder record(socket);
  Aim(socket, listener.Port());
  socket.Connect();
  const int peer = listener.Accept();
  ASSERT_TRUE(WaitFor([&] { return record.Count("sent") == 1; }));
  EXPECT_EQ(socket.SendText("hello"), 5);
  EXPECT_EQ(record.Count("sent"), 1);
  ASSERT_TRUE(WaitFor([&] { return record.Count("sent") == 2; }));
  char buffer[16] = {};
  EXPECT_EQ(::recv(peer, buffer, sizeof buffer, 0), 5);
  EXPECT_STREQ(buffer, "hello");
  // A send of nothing with a drained chunk present is announced too.
  EXPECT_EQ(socket.Send("", 0), 0);
  ASSERT_TRUE(WaitFor([&] { return record.Count("sent") == 3; }));
  ::close(peer);
}

TEST(AsyncSocket, EmptySendsAndSendsWhileClosed) {
  AsyncSocket socket;
  EXPECT_EQ(socket.SendText(""), 0);  // no state check for nothing
  try {
    socket.SendText("x");
    FAIL();
  } catch (const ESocketException& error) {
    EXPECT_STREQ(error.what(), "Error 10057 in function Send\r\nSocket is not connected");
  }
  EXPECT_EQ(socket.LastError(), 10057);

  // Right after connecting the queue holds no chunk: an empty send leaves
  // AllSent false and announces nothing.
  RawListener listener;
  Recorder record(socket);
  Aim(socket, listener.Port());
  socket.Connect();
  const int peer = listener.Accept();
  ASSERT_TRUE(WaitFor([&] { return record.Count("sent") == 1; }));
  EXPECT_EQ(socket.Send("", 0), 0);
  EXPECT_FALSE(socket.AllSent());
  ProcessPendingEvents();
  EXPECT_EQ(record.Count("sent"), 1);
  ::close(peer);
}

TEST(AsyncSocket, OneSessionClosedPerConnectionWhicheverCloseComesFirst) {
  RawListener listener;
  AsyncSocket socket;
  Recorder record(socket);
  // The peer ends first; our handler closes too.
  socket.OnSessionClosed = [&](AsyncSocket& s, int e) {
    record.Add("closed", e);
    s.Close();
  };
  Aim(socket, listener.Port());
  int peer = Connected(socket, listener);
  ASSERT_GE(peer, 0);
  ::close(peer);
  ASSERT_TRUE(WaitFor([&] { return socket.State() == SocketState::wsClosed; }));
  ProcessPendingEvents();
  EXPECT_EQ(record.Count("closed"), 1);

  // We close first, the peer's end follows.
  Aim(socket, listener.Port());
  peer = Connected(socket, listener);
  ASSERT_GE(peer, 0);
  socket.Close();
  ::close(peer);
  ProcessPendingEvents();
  EXPECT_EQ(record.Count("closed"), 2);

  // Abort, twice.
  Aim(socket, listener.Port());
  peer = Connected(socket, listener);
  ASSERT_GE(peer, 0);
  socket.Abort();
  socket.Abort();
  ::close(peer);
  ProcessPendingEvents();
  EXPECT_EQ(record.Count("closed"), 3);
}

TEST(AsyncSocket, WritingToAResetPeerClosesOnceWithTheCodeAndNoSignal) {
  // A separate process, so that a SIGPIPE would show as a death, not kill
  // the test program.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RawListener listener;
    AsyncSocket socket;
    std::vector<int> closes;
    socket.OnSessionClosed = [&](AsyncSocket&, int e) { closes.push_back(e); };
    Aim(socket, listener.Port());
    socket.Connect();
    const int peer = listener.Accept();
    WaitFor([&] { return socket.State() == SocketState::wsConnected; });
    testing::ResetAndClose(peer);
    const std::string block(65536, 'x');
    for (int i = 0; i < 100 && socket.State() == SocketState::wsConnected; ++i) {
      socket.Send(block.data(), static_cast<int>(block.size()));
      ProcessPendingEvents();
    }
    WaitUntil([&] { return !closes.empty(); }, 5s);
    ProcessPendingEvents();
    const bool once_with_reset = closes.size() == 1 && closes[0] == 10054;
    ::_exit(once_with_reset ? 0 : 10 + static_cast<int>(closes.size()));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "OnSessionClosed count + 10, or a wrong code";
}

TEST(AsyncSocket, ANoticeForAReleasedHandleIsIgnored) {
  RawListener listener;
  AsyncSocket socket;
  Recorder record(socket);
  Aim(socket, listener.Port());
  socket.Connect();
  int peer = listener.Accept();
  ASSERT_TRUE(WaitFor([&] { return record.Count("sent") == 1; }));
  socket.SendText("x");  // posts its write notice
  socket.PostNotice(kNoticeRead | kNoticeClose, 0);
  socket.Close();
  ::close(peer);
  // The handle number is most likely reused by the next connection.
  Aim(socket, listener.Port());
  socket.Connect();
  peer = listener.Accept();
  ASSERT_TRUE(WaitFor([&] { return record.Count("sent") == 2; }));
  ProcessPendingEvents();
  EXPECT_THAT(record.events, ElementsAre("connected:0", "sent:0", "closed:0", "connected:0", "sent:0"));
  socket.Close();
  ::close(peer);
}

TEST(AsyncSocket, NoticesWhileConnectingFollowTheirRules) {
  RawListener listener;
  AsyncSocket socket;
  Recorder record(socket);
  socket.OnDataAvailable = [&](AsyncSocket&, int e) { record.Add("data", e); };
  Aim(socket, listener.Port());
  socket.Connect();
  ASSERT_EQ(socket.State(), SocketState::wsConnecting);
  // Both posted before the system's own connect notice can run: the close
  // is ignored while connecting, the read completes the connection.
  socket.PostNotice(kNoticeClose, 0);
  socket.PostNotice(kNoticeRead, 0);
  ASSERT_TRUE(WaitFor([&] { return record.Count("data") > 0; }));
  ASSERT_GE(record.events.size(), 2u);
  EXPECT_EQ(record.events[0], "connected:0");
  EXPECT_EQ(record.events[1], "data:0");
  EXPECT_EQ(record.Count("closed"), 0);
  const int peer = listener.Accept();
  socket.Close();
  ::close(peer);
}

TEST(AsyncSocket, ListenAcceptAndDupHandAConnectionOver) {
  AsyncSocket server;
  Recorder server_record(server);
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.Listen();
  ASSERT_EQ(server.State(), SocketState::wsListening);
  const std::string port = server.GetXPort();
  std::string got;
  server.OnSessionAvailable = [&](AsyncSocket& s, int) {
    const int handle = s.Accept();
    s.OnSessionClosed = nullptr;  // the listener's close is not the connection's
    s.Close();
    s.OnSessionClosed = [&](AsyncSocket&, int e) { server_record.Add("closed", e); };
    s.OnDataAvailable = [&](AsyncSocket& from, int) {
      char buffer[64];
      const int n = from.Receive(buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    };
    s.Dup(handle);
  };
  AsyncSocket client;
  Aim(client, port);
  client.Connect();
  ASSERT_TRUE(WaitFor([&] { return server.State() == SocketState::wsConnected; }));
  ASSERT_TRUE(WaitFor([&] { return client.State() == SocketState::wsConnected; }));
  client.SendText("over to you");
  ASSERT_TRUE(WaitFor([&] { return got == "over to you"; }));
  EXPECT_EQ(server.ReadCount(), 11);
  EXPECT_EQ(server.PeerPort(), client.GetXPort());
  client.Close();
  ASSERT_TRUE(WaitFor([&] { return server_record.Count("closed") == 1; }));
  EXPECT_EQ(server.State(), SocketState::wsClosed);
}

TEST(AsyncSocket, AcceptOnASocketThatIsNotListeningReportsTheFullMessage) {
  AsyncSocket socket;
  try {
    socket.Accept();
    FAIL();
  } catch (const ESocketException& error) {
    EXPECT_STREQ(error.what(), "Error 10022 in function not a listening socket\r\nInvalid argument");
  }
  int errors = 0;
  socket.OnError = [&](AsyncSocket&) { ++errors; };
  EXPECT_EQ(socket.Accept(), -1);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(socket.LastError(), 10022);
  EXPECT_EQ(socket.LastErrorMessage(), "Error 10022 in function not a listening socket\r\nInvalid argument");
}

TEST(AsyncSocket, ArrivingDataWithoutAHandlerIsReadAndThrownAway) {
  RawListener listener;
  AsyncSocket socket;
  Aim(socket, listener.Port());
  socket.Connect();
  const int peer = listener.Accept();
  ASSERT_TRUE(WaitFor([&] { return socket.State() == SocketState::wsConnected; }));
  const std::string data(5000, 'z');
  ASSERT_EQ(::send(peer, data.data(), data.size(), 0), 5000);
  ASSERT_TRUE(WaitFor([&] {
    int waiting = -1;
    return ::ioctl(socket.SocketHandle(), FIONREAD, &waiting) == 0 && waiting == 0;
  }));
  EXPECT_EQ(socket.ReadCount(), 0);
  socket.Close();
  ::close(peer);
}

TEST(AsyncSocket, ADataHandlerThatReadsNothingDoesNotSpin) {
  RawListener listener;
  AsyncSocket socket;
  int notices = 0;
  socket.OnDataAvailable = [&](AsyncSocket&, int) { ++notices; };
  Aim(socket, listener.Port());
  socket.Connect();
  const int peer = listener.Accept();
  ASSERT_TRUE(WaitFor([&] { return socket.State() == SocketState::wsConnected; }));
  ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
  ASSERT_TRUE(WaitFor([&] { return notices == 1; }));
  // Until it reads, no further notice comes, however long the loop runs.
  WaitUntil([] { return false; }, 50ms);
  EXPECT_EQ(notices, 1);
  char buffer[8];
  EXPECT_EQ(socket.Receive(buffer, 1), 1);
  ASSERT_TRUE(WaitFor([&] { return notices == 2; }));
  socket.Close();
  ::close(peer);
}

}  // namespace
}  // namespace kestova

// The FTP client against a scripted server: the protocol's edge cases that
// real servers do not produce on demand.
#include <fcntl.h>

#include <sys/file.h>
#include <unistd.h>
#include <QTimer>

#include <chrono>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ftp/ftp_client.h"
#include "net/event_wait.h"
#include "support/failing_stream.h"
#include "support/loopback_peer.h"
#include "support/scripted_ftp_server.h"
#include "support/temp_dir.h"

namespace kestova {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using testing::FailingStream;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::ScriptedFtpServer;
using testing::ScriptedSession;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

class ScriptedClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client_.HostName = "127.0.0.1";
    client_.Port = server_.Port();
    client_.UserName = "user";
    client_.PassWord = "secret";
    client_.SetPassive(true);
    client_.Timeout = 5;
    client_.OnDisplay = [this](FtpClientCore&, std::string& line) { trace_.push_back(line); };
  }

  bool Traced(const std::string& prefix) const {
    return std::any_of(trace_.begin(), trace_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
  int CountTraced(const std::string& prefix) const {
    return static_cast<int>(
        std::count_if(trace_.begin(), trace_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
  }

  ScriptedFtpServer server_;
  FtpClient client_;
  std::vector<std::string> trace_;
  testing::TempDir dir_;
};

TEST_F(ScriptedClientTest, AMultiLineGreetingEndsOnItsLastLine) {
  server_.SetGreeting("220-Welcome to the\r\n220-scripted server\r\n more text\r\n220 Ready\r\n");
  ASSERT_TRUE(client_.Connect()) << client_.LastReply;
  EXPECT_THAT(server_.Words(), ElementsAre("USER", "PASS"));
  EXPECT_EQ(client_.LastReply, "230 Logged in");
  EXPECT_THAT(trace_, Contains("< 220-scripted server"));
  EXPECT_THAT(trace_, Contains("<  more text"));
  EXPECT_THAT(trace_, Contains("> PASS secret"));
  EXPECT_TRUE(client_.Connected());
  EXPECT_TRUE(client_.Quit());
  EXPECT_FALSE(client_.Connected());
}

// Lines of a multi-line reply's text may begin with digits and a space
// ("100 MB quota"): only the first line's code followed by a space ends it,
// or the session falls out of step and every later reply answers the
// command before.
TEST(MultiLineReplyTest, OnlyTheFirstLinesCodeEndsAReply) {
  struct Case {
    const char* name;
    const char* greeting;
    const char* pass;  // the end of the reply follows a moment later
  } const cases[] = {
      {"greeting", "220-Welcome\r\n100 MB quota for every user\r\n220-still\r\n221 not yet\r\n220 Ready\r\n", ""},
      {"login", "220 Ready\r\n", "230-Welcome\r\n500 files at most\r\n"},
      {"indented code", "220 Ready\r\n", "230-Welcome\r\n 230 indented\r\n230\tno space\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedFtpServer server;
    server.SetGreeting(c.greeting);
    server.On("PASS", [&c](ScriptedSession& session, const std::string&) {
      session.Send(c.pass);
      session.Sleep(100);
      session.Reply("230 Logged in");
    });
    FtpClient client;
    client.HostName = "127.0.0.1";
    client.Port = server.Port();
    client.UserName = "user";
    client.PassWord = "secret";
    client.Timeout = 5;
    ASSERT_TRUE(client.Connect()) << client.LastReply;
    EXPECT_EQ(client.LastReply, "230 Logged in");
    ASSERT_TRUE(client.Pwd()) << client.LastReply;
    EXPECT_EQ(client.ReplyCode, 257) << "PWD was answered by the reply before it";
    EXPECT_TRUE(client.Quit());
  }
}

TEST_F(ScriptedClientTest, UserAnswered230SkipsThePassword) {
  // Bare LF line ends, accepted by default.
  server_.SetGreeting("220 one\n");
  server_.On("USER", "230 Welcome\n");
  ASSERT_TRUE(client_.Connect()) << client_.LastReply;
  EXPECT_THAT(server_.Words(), ElementsAre("USER"));
  EXPECT_EQ(client_.LastReply, "230 Welcome");
}

TEST_F(ScriptedClientTest, TooManyConnectionsEndsTheConnectWithTheGreeting) {
  server_.SetGreeting("421 Too many connections from the same IP address.\r\n");
  EXPECT_FALSE(client_.Connect());
  EXPECT_EQ(client_.LastReply, "421 Too many connections from the same IP address.");
  EXPECT_EQ(client_.ReplyCode, 421);
  EXPECT_EQ(client_.ErrorMessage, client_.LastReply);
  EXPECT_FALSE(client_.Connected());
  EXPECT_TRUE(server_.Commands().empty());
}

TEST_F(ScriptedClientTest, ConnectIsRefusedAtOnceWhileConnected) {
  ASSERT_TRUE(client_.Connect());
  const std::string before = client_.LastReply;
  const auto start = Clock::now();
  EXPECT_FALSE(client_.Connect());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(client_.LastReply, before);
  EXPECT_THAT(server_.Words(), ElementsAre("USER", "PASS"));
}

TEST_F(ScriptedClientTest, ARejectedLoginLeavesTheConnectionOpen) {
  server_.On("PASS", "530 Login incorrect.\r\n");
  EXPECT_FALSE(client_.Connect());
  EXPECT_EQ(client_.LastReply, "530 Login incorrect.");
  EXPECT_TRUE(client_.Connected());
  EXPECT_FALSE(client_.Connect());  // "already connected", nothing sent
  EXPECT_THAT(server_.Words(), ElementsAre("USER", "PASS"));
}

TEST_F(ScriptedClientTest, ARefusedConnectionComposesAWinsockLine) {
  testing::ClosedPort nobody;
  client_.Port = nobody.Port();
  EXPECT_FALSE(client_.Connect());
  EXPECT_EQ(client_.LastReply, "500 Connection refused (Winsock error #10061)");
  EXPECT_EQ(client_.ReplyCode, 500);
  EXPECT_FALSE(client_.Connected());
}

TEST_F(ScriptedClientTest, AnUnansweredCommandTimesOut) {
  server_.On("PWD", [](ScriptedSession&, const std::string&) {});  // never answers
  client_.TimeoutMs = 200;
  ASSERT_TRUE(client_.Connect());
  const auto start = Clock::now();
  EXPECT_FALSE(client_.Pwd());
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
  EXPECT_EQ(client_.FailureText(), "426 Timeout: nothing came from the server for 200 ms");
  EXPECT_EQ(client_.ErrorMessage, "426 Timeout");
  EXPECT_EQ(client_.ReplyCode, 426);
  EXPECT_EQ(client_.LastReply, "230 Logged in");  // the last line read
  EXPECT_FALSE(client_.Connected());
  EXPECT_EQ(client_.DataSocket().State(), SocketState::wsClosed);
  EXPECT_EQ(client_.State(), FtpClientState::ftpStReady);
}

TEST_F(ScriptedClientTest, TheProgramEndingEndsAWaitWithoutATimeout) {
  server_.On("PWD", [](ScriptedSession&, const std::string&) {});
  client_.Timeout = 0;  // no limit: only the end of the program ends the wait
  ASSERT_TRUE(client_.Connect());
  QTimer::singleShot(100, [] { SetTerminating(true); });
  EXPECT_FALSE(client_.Pwd());
  SetTerminating(false);
  EXPECT_EQ(client_.ErrorMessage, "426 Stopped: the program is ending");
  EXPECT_FALSE(client_.Connected());
}

// The user's stop ends a wait for the server at once and says so, and cuts
// an upload whose data is moving.
TEST_F(ScriptedClientTest, TheUsersStopEndsAWaitAndAMovingUpload) {
  server_.On("PWD", [](ScriptedSession&, const std::string&) {});
  ASSERT_TRUE(client_.Connect());
  QTimer::singleShot(100, [this] { client_.Interrupt(); });
  const auto start = Clock::now();
  EXPECT_FALSE(client_.Pwd());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "the stop waited for the timeout";
  EXPECT_EQ(client_.FailureText(), "426 Stopped by the user");
  EXPECT_FALSE(client_.Connected());

  const std::string bytes(32 << 20, 'k');
  MemoryStream page;
  page.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  page.Seek(0);
  ASSERT_TRUE(client_.Connect());
  client_.SetLocalStream(&page);
  client_.HostFileName = "big.bin";
  std::int64_t stopped_at = 0;
  client_.OnProgress = [&stopped_at](FtpClientCore& core, std::int64_t count, bool&) {
    if (stopped_at == 0 && count > 0) static_cast<FtpClient&>(core).Interrupt(), stopped_at = count;
  };
  EXPECT_FALSE(client_.Put());
  EXPECT_GT(stopped_at, 0);
  EXPECT_EQ(client_.FailureText(), "426 Stopped by the user");
  EXPECT_FALSE(client_.Connected());
  EXPECT_LT(client_.TransferCount(), static_cast<std::int64_t>(bytes.size())) << "the upload went on to its end";
}

TEST_F(ScriptedClientTest, AListingThatKeepsMovingOutlastsTheTimeout) {
  std::string expected;
  server_.On("LIST", [&](ScriptedSession& s, const std::string&) {
    s.Reply("150 Slow listing");
    s.OpenData();
    for (int i = 0; i < 4; ++i) {
      const std::string line = "-rw-r--r-- 1 u g 10 Jan 1 2026 file" + std::to_string(i) + "\r\n";
      s.SendData(line);
      s.Sleep(80);
    }
    s.CloseData();
    s.Reply("226 Done");
  });
  for (int i = 0; i < 4; ++i) expected += "-rw-r--r-- 1 u g 10 Jan 1 2026 file" + std::to_string(i) + "\r\n";
  client_.TimeoutMs = 200;  // the listing takes 320 ms, but keeps moving
  ASSERT_TRUE(client_.Connect());
  MemoryStream listing;
  client_.SetLocalStream(&listing);
  EXPECT_TRUE(client_.Dir()) << client_.ErrorMessage;
  EXPECT_EQ(listing.Data(), expected);
  EXPECT_EQ(client_.LastReply, "226 Done");
}

TEST_F(ScriptedClientTest, BothOrdersOfTheFinalReplyAndTheDataCloseComplete) {
  server_.SetListing("line one\r\nline two\r\n");
  server_.On("NLST", [](ScriptedSession& s, const std::string&) {
    s.Reply("150 Listing");
    s.OpenData();
    s.SendData("a\r\nb\r\n");
    s.Reply("226 Done before the close");
    s.Sleep(200);
    s.CloseData();
  });
  ASSERT_TRUE(client_.Connect());
  MemoryStream listing;
  client_.SetLocalStream(&listing);
  EXPECT_TRUE(client_.Dir());  // the default: data closed, then 226
  EXPECT_EQ(listing.Data(), "line one\r\nline two\r\n");
  EXPECT_TRUE(client_.Ls());  // 226 first, the close 200 ms later
  EXPECT_EQ(listing.Data(), "line one\r\nline two\r\na\r\nb\r\n");
  EXPECT_EQ(client_.LastReply, "226 Done before the close");
  EXPECT_EQ(CountTraced("! "), 2) << "exactly one statistics line per transfer";
  EXPECT_TRUE(Traced("! 6 bytes received/sent in 0 seconds"));
}

// A receive whose local side cannot keep what comes (a full disk) fails as
// a local failure in both orders of the final reply and the data close,
// and the session stays in step.
TEST_F(ScriptedClientTest, AReceiveThatCannotBeWrittenFails) {
  const std::string big(64 * 1024, 'x');
  server_.SetListing(big);
  server_.On("NLST", [&big](ScriptedSession& s, const std::string&) {
    s.Reply("150 Listing");
    s.OpenData();
    s.SendData(big);
    s.Reply("226 Done before the close");
    s.Sleep(200);
    s.CloseData();
  });
  ASSERT_TRUE(client_.Connect());
  for (const bool names : {false, true}) {
    FailingStream full("");
    client_.SetLocalStream(&full);
    EXPECT_FALSE(names ? client_.Ls() : client_.Dir()) << names;
    EXPECT_TRUE(client_.LocalFailure);
    EXPECT_EQ(client_.FailureText(), "426 Cannot keep the data received: Input/output error");
    client_.SetLocalStream(nullptr);
    ASSERT_TRUE(client_.Pwd()) << client_.LastReply;
    EXPECT_EQ(client_.ReplyCode, 257);
  }
}

TEST_F(ScriptedClientTest, ActiveModeSendsThePortFormOfLoopback) {
  server_.SetListing("x\r\n");
  client_.SetPassive(false);
  ASSERT_TRUE(client_.Connect());
  MemoryStream listing;
  client_.SetLocalStream(&listing);
  ASSERT_TRUE(client_.Dir()) << client_.LastReply;
  EXPECT_EQ(listing.Data(), "x\r\n");
  const auto commands = server_.Commands();
  ASSERT_GE(commands.size(), 4u);
  EXPECT_THAT(commands[2], StartsWith("PORT 127,0,0,1,"));
  EXPECT_EQ(commands[3], "LIST");
}

TEST_F(ScriptedClientTest, ARefusedStorReleasesTheLocalFile) {
  const std::string file = dir_.File("page.htm");
  std::ofstream(file) << "<html></html>";
  server_.On("STOR", "553 Could not create file.\r\n");
  ASSERT_TRUE(client_.Connect());
  client_.SetLocalFileName(file);
  client_.HostFileName = "page.htm";
  EXPECT_FALSE(client_.Put());
  EXPECT_EQ(client_.LastReply, "553 Could not create file.");
  EXPECT_EQ(client_.ErrorMessage, "553 Could not create file.");
  EXPECT_EQ(client_.DataSocket().State(), SocketState::wsClosed);
  const int fd = ::open(file.c_str(), O_RDONLY);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the client still holds the file";
  ::close(fd);
}

TEST_F(ScriptedClientTest, UploadsOfFilesAndStreamsArriveWhole) {
  const std::string file = dir_.File("big.bin");
  std::string content(300000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  std::ofstream(file, std::ios::binary) << content;
  const std::string empty = dir_.File("empty.txt");
  std::ofstream(empty).close();
  for (const bool passive : {true, false}) {
    client_.SetPassive(passive);
    ASSERT_TRUE(client_.Connect());
    client_.SetLocalFileName(file);
    client_.HostFileName = passive ? "passive.bin" : "active.bin";
    ASSERT_TRUE(client_.Put()) << client_.LastReply;
    EXPECT_EQ(client_.TransferCount(), 300000);
    client_.SetLocalFileName(empty);
    client_.HostFileName = "empty.txt";
    ASSERT_TRUE(client_.Put()) << client_.LastReply;
    EXPECT_EQ(client_.TransferCount(), 0);
    MemoryStream page;
    page.Write("<html>moved</html>", 18);
    page.Seek(0);
    client_.SetLocalStream(&page);
    client_.HostFileName = "page.htm";
    ASSERT_TRUE(client_.Put()) << client_.LastReply;
    EXPECT_EQ(page.Position(), 18) << "the caller's stream is left after the last byte read";
    client_.SetLocalStream(nullptr);
    ASSERT_TRUE(client_.Quit());
    EXPECT_TRUE(server_.Stored(passive ? "passive.bin" : "active.bin") == content);
    EXPECT_EQ(server_.Stored("empty.txt"), "");
    EXPECT_EQ(server_.Stored("page.htm"), "<html>moved</html>");
  }
}

TEST_F(ScriptedClientTest, AServerThatConnectsAsSoonAsItGetsPortIsServedEveryTime) {
  // The data connection opens before the 200 to PORT, and STOR is answered
  // 125; the previous transfer's state must not start this one early.
  server_.On("PORT", [](ScriptedSession& s, const std::string& argument) {
    s.ConnectPort(argument);
    s.Reply("200 Active data connection established.");
  });
  std::vector<std::string> received;
  server_.On("STOR", [&](ScriptedSession& s, const std::string&) {
    s.Reply("125 Data connection already open. Transfer starting.");
    received.push_back(s.ReceiveData());
    s.CloseData();
    s.Reply("226 Transfer complete.");
  });
  client_.SetPassive(false);
  ASSERT_TRUE(client_.Connect());
  for (const std::string& text : {std::string(5000, 'a'), std::string(), std::string("last")}) {
    MemoryStream page;
    page.Write(text.data(), static_cast<std::int64_t>(text.size()));
    page.Seek(0);
    client_.SetLocalStream(&page);
    client_.HostFileName = "page.htm";
    ASSERT_TRUE(client_.Put()) << client_.LastReply << " / " << client_.ErrorMessage;
  }
  EXPECT_EQ(received, (std::vector<std::string>{std::string(5000, 'a'), "", "last"}));
}

TEST_F(ScriptedClientTest, AMalformedPasvReplyFailsAtOnce) {
  server_.On("PASV", "227 Entering Passive Mode (127,0,0,1,x,1)\r\n");
  ASSERT_TRUE(client_.Connect());
  MemoryStream listing;
  client_.SetLocalStream(&listing);
  const auto start = Clock::now();
  EXPECT_FALSE(client_.Dir());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_THAT(client_.LastReply, StartsWith("550 FtpException: Invalid PASV reply"));
  EXPECT_THAT(server_.Words(), Not(Contains("LIST")));
  EXPECT_TRUE(client_.Pwd()) << "the session goes on";
}

TEST_F(ScriptedClientTest, APasvReplyNamingAnotherHostIsNotFollowed) {
  server_.SetListing("safe\r\n");
  // The listener is real and on loopback; the reply claims another host.
  server_.On("PASV", [](ScriptedSession& s, const std::string&) {
    const int port = s.ListenPassive();
    s.Reply("227 Entering Passive Mode (10,9,8,7," + std::to_string(port >> 8) + "," + std::to_string(port & 255) +
            ")");
  });
  ASSERT_TRUE(client_.Connect());
  MemoryStream listing;
  client_.SetLocalStream(&listing);
  EXPECT_TRUE(client_.Dir()) << client_.LastReply;
  EXPECT_EQ(listing.Data(), "safe\r\n");
  EXPECT_TRUE(Traced("! PASV reply names 10.9.8.7; connecting to 127.0.0.1"));
}

TEST_F(ScriptedClientTest, OversizedLinesAndZeroBytesFailTheRequestAndClose) {
  for (const std::string& reply : {std::string(5000, 'x'), std::string("257 \"/a\0b\"\r\n", 12)}) {
    ScriptedFtpServer server;
    server.On("PWD", reply);
    client_.Port = server.Port();
    ASSERT_TRUE(client_.Connect());
    const auto start = Clock::now();
    EXPECT_FALSE(client_.Pwd());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2)) << "never stall";
    EXPECT_THAT(client_.LastReply, StartsWith("500 Invalid reply from the server"));
    EXPECT_EQ(client_.ReplyCode, 500);
    ASSERT_TRUE(WaitUntil([&] { return !client_.Connected(); }, std::chrono::seconds(2)));
  }
}

TEST_F(ScriptedClientTest, RepliesSplitAcrossReadsOrSharingOneAreEachHandled) {
  server_.On("PWD", [](ScriptedSession& s, const std::string&) {
    s.Send("25");
    s.Sleep(100);
    s.Send("7 \"/www\" is current\r\n");
  });
  server_.On("CWD",
             [](ScriptedSession& s, const std::string&) { s.Send("250-First line\r\n250-Second\r\n250 Done\r\n"); });
  ASSERT_TRUE(client_.Connect());
  EXPECT_TRUE(client_.Pwd());
  EXPECT_EQ(client_.LastReply, "257 \"/www\" is current");
  EXPECT_EQ(client_.ReplyPath, "/www");
  client_.HostDirName = "/www";
  EXPECT_TRUE(client_.Cwd());
  EXPECT_EQ(client_.LastReply, "250 Done");
  EXPECT_THAT(trace_, Contains("< 250-Second"));
}

TEST_F(ScriptedClientTest, SingleCommandsAcceptOnlyTheirCodes) {
  server_.On("CWD", "550 No such directory\r\n");
  server_.On("CDUP", "200 Odd but fine\r\n");
  server_.On("MKD", "550 Already exists\r\n");
  ASSERT_TRUE(client_.Connect());
  client_.HostDirName = "";
  EXPECT_FALSE(client_.Cwd());  // refused before sending
  client_.HostDirName = "/missing";
  EXPECT_FALSE(client_.Cwd());
  EXPECT_EQ(client_.LastReply, "550 No such directory");
  EXPECT_EQ(client_.ErrorMessage, "550 No such directory");
  EXPECT_TRUE(client_.Pwd());
  EXPECT_EQ(client_.ErrorMessage, "");
  EXPECT_FALSE(client_.CDup());
  client_.HostFileName = "made";
  EXPECT_FALSE(client_.Mkd());
  EXPECT_TRUE(client_.TypeAscii());
  EXPECT_FALSE(client_.Binary());
  EXPECT_TRUE(client_.TypeBinary());
  EXPECT_TRUE(client_.Binary());
  EXPECT_THAT(server_.Commands(),
              ElementsAre("USER user", "PASS secret", "CWD /missing", "PWD", "CDUP", "MKD made", "TYPE A", "TYPE I"));
}

TEST_F(ScriptedClientTest, ALostControlConnectionFailsTheWaitingCommand) {
  server_.On("DELE", [](ScriptedSession& s, const std::string&) { s.Drop(); });
  ASSERT_TRUE(client_.Connect());
  client_.HostFileName = "x";
  EXPECT_FALSE(client_.Dele());
  EXPECT_EQ(client_.LastReply, "500 Control connection closed.");
  EXPECT_FALSE(client_.Connected());
  // Quit on a closed connection can have no answer: it fails at once, not
  // at the end of the timeout.
  client_.Timeout = 15;
  const auto start = Clock::now();
  EXPECT_FALSE(client_.Quit());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(client_.ErrorMessage, "500 Not sent: the control connection is closed");
  EXPECT_EQ(client_.State(), FtpClientState::ftpStReady);
}

TEST_F(ScriptedClientTest, AnEmptyUserNameFailsTheConnectAtOnce) {
  client_.UserName = "";
  const auto start = Clock::now();
  EXPECT_FALSE(client_.Connect());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(client_.ErrorMessage, "UserName empty");
  EXPECT_TRUE(server_.Commands().empty());
}

TEST_F(ScriptedClientTest, AFileLockedByAnotherOpenerIsNotSent) {
  const std::string file = dir_.File("locked.htm");
  std::ofstream(file) << "busy";
  const int holder = ::open(file.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  ASSERT_TRUE(client_.Connect());
  client_.SetLocalFileName(file);
  client_.HostFileName = "locked.htm";
  EXPECT_FALSE(client_.Put());
  EXPECT_EQ(client_.ErrorMessage, "426 Unable to open local file " + file);
  EXPECT_THAT(server_.Words(), Not(Contains("STOR")));
  EXPECT_THAT(trace_, Contains("! 426 Unable to open local file " + file));
  ::close(holder);
}

TEST_F(ScriptedClientTest, AnEmptyDirectoryRefusedWith550LeavesTheStreamAlone) {
  server_.On("LIST", "550 No files found\r\n");
  ASSERT_TRUE(client_.Connect());
  MemoryStream listing;
  listing.Write("kept", 4);
  client_.SetLocalStream(&listing);
  EXPECT_FALSE(client_.Dir());
  EXPECT_EQ(client_.LastReply, "550 No files found");
  EXPECT_EQ(listing.Data(), "kept");
}

TEST_F(ScriptedClientTest, TheProxyFormOfUserNamesTheHostAndAnUnusualPort) {
  // The scripted server plays the proxy: the client must go to it, not to
  // the host name it was given.
  client_.HostName = "ftp.behind.proxy";
  client_.ProxyServer = "127.0.0.1";
  client_.ProxyPort = server_.Port();
  client_.SetPassive(false);
  client_.SetConnectionType(FtpConnectionType::ftpProxy);
  EXPECT_TRUE(client_.Passive());
  for (const char* port : {"ftp", "FTP", "21", "2121"}) {
    client_.Port = port;
    ASSERT_TRUE(client_.Connect()) << port << ": " << client_.LastReply;
    ASSERT_TRUE(client_.Quit());
  }
  const auto commands = server_.Commands();
  EXPECT_THAT(commands, Contains("USER user@ftp.behind.proxy"));
  EXPECT_THAT(commands, Contains("USER user@ftp.behind.proxy:2121"));
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "USER user@ftp.behind.proxy"), 3);
}

// ---- Input from outside, and servers that misbehave on purpose

TEST_F(ScriptedClientTest, NoCommandLineEverCarriesALineBreakOrANul) {
  ASSERT_TRUE(client_.Connect());
  MemoryStream page;
  page.Write("x", 1);
  using Operation = bool (FtpClient::*)();
  const std::pair<const char*, Operation> operations[] = {
      {"DELE", &FtpClient::Dele}, {"MKD", &FtpClient::Mkd},  {"RMD", &FtpClient::Rmd}, {"CWD", &FtpClient::Cwd},
      {"STOR", &FtpClient::Put},  {"LIST", &FtpClient::Dir}, {"NLST", &FtpClient::Ls},
  };
  const std::string names[] = {"a\r\nDELE victim.txt", "a\nDELE victim.txt", std::string("a\0DELE victim.txt", 17)};
  for (const auto& [word, operation] : operations) {
    for (const std::string& name : names) {
      page.Seek(0);
      client_.SetLocalStream(&page);
      client_.HostFileName = name;
      client_.HostDirName = name;
      EXPECT_FALSE((client_.*operation)()) << word;
      EXPECT_TRUE(client_.LocalFailure) << word << ": another attempt could only fail the same way";
      EXPECT_EQ(client_.LastReply, "500 Command not sent: it holds a line break or NUL") << word;
    }
  }
  // Nor can a command hook add one.
  client_.OnCommand = [](FtpClientCore&, std::string& command) { command += "\r\nDELE victim.txt"; };
  client_.HostDirName = "/www";
  EXPECT_FALSE(client_.Cwd());
  client_.OnCommand = nullptr;
  EXPECT_TRUE(client_.Cwd()) << "the session is still usable";
  for (const std::string& command : server_.Commands()) {
    EXPECT_EQ(command.find("victim"), std::string::npos) << command;
  }
  EXPECT_TRUE(Traced("! Refused to send \"DELE a\\r\\nDELE victim.txt\""));
}

TEST_F(ScriptedClientTest, AnActiveDataConnectionFromAnotherHostIsTurnedAway) {
  int intruder = -1;
  server_.On("LIST", [&](ScriptedSession& s, const std::string&) {
    s.Reply("150 Listing");
    // A third host races the server to the client's listening port.
    intruder = s.ConnectPortFrom("127.0.0.2");
    if (intruder >= 0) ::send(intruder, "forged\r\n", 8, MSG_NOSIGNAL);
    s.Sleep(100);
    s.OpenData();
    s.SendData("genuine\r\n");
    s.CloseData();
    s.Reply("226 Done");
  });
  client_.SetPassive(false);
  ASSERT_TRUE(client_.Connect());
  MemoryStream listing;
  client_.SetLocalStream(&listing);
  EXPECT_TRUE(client_.Dir()) << client_.LastReply;
  ASSERT_GE(intruder, 0) << "127.0.0.2 could not reach the client";
  EXPECT_EQ(listing.Data(), "genuine\r\n");
  EXPECT_TRUE(Traced("! Refused a data connection from 127.0.0.2: the server is 127.0.0.1"));
  ::close(intruder);
}

TEST_F(ScriptedClientTest, AnUploadWhoseLocalReadFailsFailsWhateverTheServerSays) {
  // A server that keeps whatever arrived and says so, and one that never
  // says anything about the reset data connection (pyftpdlib, when the
  // reset comes before it took the connection): either way the upload
  // fails as a local failure, not as a lost connection worth a retry.
  bool answers = true;
  server_.On("STOR", [&answers](ScriptedSession& s, const std::string&) {
    s.Reply("150 Ok to send data");
    s.OpenData();
    s.ReceiveData();
    s.CloseData();
    if (answers) s.Reply("226 Transfer complete");
  });
  client_.TimeoutMs = 60000;
  for (const auto& [answer, passive] : {std::pair{true, true}, {true, false}, {false, true}}) {
    SCOPED_TRACE(std::string(answer ? "answers" : "silent") + (passive ? ", passive" : ", active"));
    answers = answer;
    client_.SetPassive(passive);
    ASSERT_TRUE(client_.Connect());
    FailingStream stream(std::string(5000, 'x'));
    client_.SetLocalStream(&stream);
    client_.HostFileName = "big.bin";
    const auto start = Clock::now();
    EXPECT_FALSE(client_.Put());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20)) << "the failure is known: no waiting out the limit";
    EXPECT_EQ(client_.LastReply, "426 Cannot read the data to send: Input/output error");
    EXPECT_EQ(client_.FailureText(), client_.LastReply);
    EXPECT_TRUE(client_.LocalFailure);
    client_.SetLocalStream(nullptr);
    // Silence leaves the session out of step: it is dropped.
    if (answer) {
      ASSERT_TRUE(client_.Quit());
    }
    EXPECT_FALSE(client_.Connected());
  }
}

TEST_F(ScriptedClientTest, ADataConnectionThatOnlyTricklesTimesOut) {
  // One byte now and then would push an ordinary deadline on for ever.
  server_.On("LIST", [](ScriptedSession& s, const std::string&) {
    s.Reply("150 Slowly");
    s.OpenData();
    for (int i = 0; i < 100 && s.SendData("x"); ++i) s.Sleep(20);
    s.CloseData();
    s.Reply("226 Done");
  });
  client_.TimeoutMs = 200;
  ASSERT_TRUE(client_.Connect());
  MemoryStream listing;
  client_.SetLocalStream(&listing);
  const auto start = Clock::now();
  EXPECT_FALSE(client_.Dir());
  EXPECT_EQ(client_.ErrorMessage, "426 Timeout");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << "100 bytes in 2 s, less than 64 a timeout";
}

TEST_F(ScriptedClientTest, AListingLargerThanTheLimitFailsAndDropsTheSession) {
  server_.On("LIST", [](ScriptedSession& s, const std::string&) {
    s.Reply("150 Here comes a lot");
    s.OpenData();
    const std::string block(8192, 'y');
    for (int i = 0; i < 1024 && s.SendData(block); ++i) {
    }
    s.CloseData();
    s.Reply("226 Done");
  });
  client_.MaxListingBytes = 64 * 1024;
  ASSERT_TRUE(client_.Connect());
  MemoryStream listing;
  client_.SetLocalStream(&listing);
  EXPECT_FALSE(client_.Dir());
  EXPECT_THAT(client_.LastReply, StartsWith("426 The listing is larger than"));
  EXPECT_TRUE(client_.LocalFailure);
  EXPECT_LE(listing.Data().size(), 64u * 1024) << "nothing past the limit is kept";
  EXPECT_FALSE(client_.Connected()) << "the server's late answer must not be taken for the next command's";
}

}  // namespace
}  // namespace kestova

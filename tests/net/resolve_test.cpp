#include "net/resolve.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/socket_errors.h"

namespace kestova {
namespace {

using ::testing::HasSubstr;

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const ESocketException& error) {
    return error.what();
  }
  return "(no error)";
}

// IPv6 literals, bare or in brackets, resolve to themselves without a
// lookup; IPv4 ones as before.
TEST(Resolve, Ipv6LiteralsAreAddressesOfTheirOwnFamily) {
  for (const char* text : {"::1", "[::1]", " [2001:db8::2] ", "fe80::1:2"}) EXPECT_TRUE(IsIpv6Address(text)) << text;
  for (const char* text : {"1.2.3.4", "localhost", "[1.2.3.4]", ":::", "[::1", "2001:db8::g"}) {
    EXPECT_FALSE(IsIpv6Address(text)) << text;
  }
  const SocketAddress v6 = ResolveAddress("[::1]");
  EXPECT_TRUE(v6.V6());
  EXPECT_EQ(v6.Text(), "::1");
  const SocketAddress v4 = ResolveAddress("127.0.0.1");
  EXPECT_EQ(v4.Family(), AF_INET);
  EXPECT_EQ(v4.V4(), inet_addr("127.0.0.1"));
}

TEST(Resolve, TheDottedAddressTestAcceptsFourDecimalParts) {
  const std::pair<const char*, bool> cases[] = {
      {"1.2.3.4", true},    {"  1.2.3.4  ", true}, {"01.002.3.4", true}, {"255.255.255.255", true},
      {"1.2.3", false},     {"1.2.3.4.5", false},  {"1..2.3", false},    {"1.2.3.256", false},
      {".1.2.3", false},    {"1.2.3.", false},     {"1.2.3.4x", false},  {"", false},
      {"256.1.1.1", false}, {"1.2.3.4 x", false},  {"localhost", false}, {"1.2.3.99999999999", false},
  };
  for (const auto& [text, dotted] : cases) EXPECT_EQ(IsDottedAddress(text), dotted) << "'" << text << "'";
}

TEST(Resolve, HostsResolveFromDottedTextOrByName) {
  EXPECT_EQ(ResolveHost("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(ResolveHost(" 127.0.0.1 "), inet_addr("127.0.0.1"));
  EXPECT_EQ(ResolveHost("localhost"), inet_addr("127.0.0.1"));
  // Not dotted, so looked up as a name, and there is no such host.
  EXPECT_EQ(ErrorOf([] { ResolveHost("300.1.1.1"); }),
            "ResolveHost: Cannot convert host address '300.1.1.1', Error #11001");
  EXPECT_EQ(ErrorOf([] { ResolveHost(std::string(257, 'a')); }),
            "ResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname.");
  EXPECT_EQ(ErrorOf([] { ResolveHost(""); }), "ResolveHost: '' Invalid Hostname.");
}

TEST(Resolve, PortsAreNumbersOrServiceNames) {
  EXPECT_EQ(ResolvePort("21", "tcp"), 21);
  EXPECT_EQ(ResolvePort("21abc", "tcp"), 21);
  EXPECT_EQ(ResolvePort("ftp", "tcp"), 21);
  EXPECT_EQ(ResolvePort(" ftp ", " tcp "), 21);
  EXPECT_EQ(ResolvePort("70000", "tcp") & 0xFFFF, 70000 & 0xFFFF);  // no range check: callers take 16 bits
  EXPECT_EQ(ErrorOf([] { ResolvePort(std::string(32, '1'), "tcp"); }), "ResolvePort: Invalid Port.");
  EXPECT_EQ(ErrorOf([] { ResolvePort("", "tcp"); }), "ResolvePort: Invalid Port.");
  EXPECT_EQ(ErrorOf([] { ResolvePort("21", ""); }), "ResolvePort: Invalid Proto.");
  EXPECT_THAT(ErrorOf([] { ResolvePort("no-such-service", "tcp"); }),
              HasSubstr("ResolvePort: Cannot convert port 'no-such-service', Error #"));
}

TEST(Resolve, ProtocolsAreNumbersOrNames) {
  EXPECT_EQ(ResolveProto("tcp"), 6);
  EXPECT_EQ(ResolveProto("udp"), 17);
  EXPECT_EQ(ResolveProto("17"), 17);
  EXPECT_EQ(ErrorOf([] { ResolveProto(""); }), "ResolveProto: Invalid Protocol.");
  EXPECT_THAT(ErrorOf([] { ResolveProto("nonsense"); }), HasSubstr("ResolveProto: Cannot convert protocol 'nonsense'"));
}

TEST(Resolve, ErrorCodesHaveTheirTexts) {
  EXPECT_EQ(SocketErrorText(10061), "Connection refused");
  EXPECT_EQ(SocketErrorText(10000), "Not a WinSock error");
  EXPECT_EQ(SocketErrorText(0), "No Error");
  EXPECT_EQ(SocketErrorText(11001), "Host not found");
  EXPECT_EQ(SocketErrorText(10054), "Connection reset by peer");
}

TEST(Resolve, SystemErrorsMapOntoTheProgramsCodes) {
  const std::pair<int, int> cases[] = {
      {ECONNREFUSED, 10061}, {ECONNRESET, 10054},   {ETIMEDOUT, 10060}, {EAGAIN, 10035},     {EINPROGRESS, 10036},
      {ENOTCONN, 10057},     {EHOSTUNREACH, 10065}, {EPIPE, 10054},     {EADDRINUSE, 10048}, {0, 0},
  };
  for (const auto& [system, code] : cases) EXPECT_EQ(SocketErrorFromErrno(system), code) << system;
  EXPECT_EQ(SocketErrorFromResolver(EAI_NONAME, 0), 11001);
  EXPECT_EQ(SocketErrorFromResolver(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(SocketErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), 10061);
}

}  // namespace
}  // namespace kestova

#include "net/resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/text_helpers.h"
#include "platform/socket_errors.h"

namespace kestova {

namespace {

[[noreturn]] void Fail(const std::string& message) { throw ESocketException(message); }

std::string Format(const char* format, const std::string& text, int code) {
  std::vector<char> buffer(text.size() + 128);
  std::snprintf(buffer.data(), buffer.size(), format, text.c_str(), code);
  return buffer.data();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the decimal number at the start of the text, as far as it goes.
int LeadingNumber(const std::string& text) {
  unsigned value = 0;
  for (char c : text) {
    if (!IsDigit(c)) break;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return static_cast<int>(value);
}

}  // namespace

const char* SocketStateName(SocketState state) {
  switch (state) {
    case SocketState::wsInvalidState: return "wsInvalidState";
    case SocketState::wsOpened: return "wsOpened";
    case SocketState::wsBound: return "wsBound";
    case SocketState::wsConnecting: return "wsConnecting";
    case SocketState::wsConnected: return "wsConnected";
    case SocketState::wsAccepting: return "wsAccepting";
    case SocketState::wsListening: return "wsListening";
    case SocketState::wsClosed: return "wsClosed";
  }
  return "?";
}

std::string DottedAddress(std::uint32_t network_order) {
  in_addr address{};
  address.s_addr = network_order;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

bool IsDottedAddress(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  if (i < text.size() && text[i] == '.') return false;
  int dots = 0;
  unsigned value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (IsDigit(c)) {
      value = std::min(value * 10 + static_cast<unsigned>(c - '0'), 1000u);
    } else if (c == '.') {
      const bool last = i + 1 == text.size();
      if (++dots > 3 || value > 255 || last || !IsDigit(text[i + 1])) return false;
      value = 0;
    } else {
      // Anything but trailing spaces makes it a name.
      while (i < text.size() && text[i] == ' ') ++i;
      if (i < text.size()) return false;
      break;
    }
  }
  return dots == 3 && value <= 255;
}

std::uint32_t ResolveHost(const std::string& host) {
  if (host.empty() || host.size() > 256) Fail("ResolveHost: '" + host + "' Invalid Hostname.");
  const std::string name = TrimBlanks(host);
  if (IsDottedAddress(name)) {
    if (name == "255.255.255.255") return INADDR_NONE;
    const in_addr_t address = ::inet_addr(name.c_str());
    if (address == INADDR_NONE) Fail("ResolveHost: '" + host + "' Invalid IP address.");
    return address;
  }
  int error = 0;
  const std::vector<std::uint32_t> found = LookupAddresses(name, error);
  if (found.empty()) Fail(Format("ResolveHost: Cannot convert host address '%s', Error #%d", host, error));
  return found.front();
}

std::string SocketAddress::Text() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (Family() == AF_INET) {
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, text, sizeof text);
  } else if (Family() == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr, text, sizeof text);
  }
  return text;
}

int SocketAddress::Port() const {
  if (Family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
}

void SocketAddress::SetPort(int port) {
  const auto number = htons(static_cast<std::uint16_t>(port));
  if (Family() == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = number;
  } else {
    reinterpret_cast<sockaddr_in*>(&storage)->sin_port = number;
  }
}

std::uint32_t SocketAddress::V4() const {
  return Family() == AF_INET ? reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr : 0;
}

namespace {

std::string Unbracketed(const std::string& text) {
  const std::string bare = TrimBlanks(text);
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') return bare.substr(1, bare.size() - 2);
  return bare;
}

SocketAddress FromIpv6(const std::string& text) {
  SocketAddress address;
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
  v6->sin6_family = AF_INET6;
  ::inet_pton(AF_INET6, Unbracketed(text).c_str(), &v6->sin6_addr);
  address.size = sizeof(sockaddr_in6);
  return address;
}

SocketAddress FromIpv4(std::uint32_t network_order) {
  SocketAddress address;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
  v4->sin_family = AF_INET;
  v4->sin_addr.s_addr = network_order;
  address.size = sizeof(sockaddr_in);
  return address;
}

}  // namespace

bool IsIpv6Address(const std::string& text) {
  in6_addr address{};
  return text.find(':') != std::string::npos && ::inet_pton(AF_INET6, Unbracketed(text).c_str(), &address) == 1;
}

const char* AnyAddress(int family) { return family == AF_INET6 ? "::" : "0.0.0.0"; }

SocketAddress ResolveAddress(const std::string& host) {
  if (IsIpv6Address(host)) return FromIpv6(host);
  if (host.empty() || host.size() > 256 || IsDottedAddress(TrimBlanks(host))) return FromIpv4(ResolveHost(host));
  int error = 0;
  const std::vector<std::string> found = LookupAllAddresses(TrimBlanks(host), error);
  if (found.empty()) Fail(Format("ResolveHost: Cannot convert host address '%s', Error #%d", host, error));
  if (IsIpv6Address(found.front())) return FromIpv6(found.front());
  return FromIpv4(::inet_addr(found.front().c_str()));
}

std::vector<std::string> LookupAllAddresses(const std::string& name, int& error) {
  std::vector<std::string> addresses;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  error = SocketErrorFromResolver(status, errno);
  if (status != 0) return addresses;
  for (addrinfo* entry = found; entry; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    SocketAddress address;
    std::memcpy(&address.storage, entry->ai_addr, entry->ai_addrlen);
    const std::string text = address.Text();
    if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.push_back(text);
  }
  ::freeaddrinfo(found);
  // IPv4 first, as every lookup gave before IPv6 was known here: a name
  // with both is reached as it always was, and one with IPv6 alone now
  // too.
  std::stable_partition(addresses.begin(), addresses.end(),
                        [](const std::string& text) { return !IsIpv6Address(text); });
  if (addresses.empty()) error = kWsaNoData;
  return addresses;
}

std::vector<std::uint32_t> LookupAddresses(const std::string& name, int& error) {
  std::vector<std::uint32_t> addresses;
  for (const std::string& text : LookupAllAddresses(name, error)) {
    if (!IsIpv6Address(text)) addresses.push_back(::inet_addr(text.c_str()));
  }
  if (addresses.empty() && error == 0) error = kWsaNoData;
  return addresses;
}

int ResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty() || port.size() >= 32) Fail("ResolvePort: Invalid Port.");
  if (proto.empty() || proto.size() >= 32) Fail("ResolvePort: Invalid Proto.");
  if (IsDigit(port[0])) return LeadingNumber(port);
  const std::string service = TrimBlanks(port);
  const std::string protocol = TrimBlanks(proto);
  servent entry{};
  servent* found = nullptr;
  char buffer[4096];
  ::getservbyname_r(service.c_str(), protocol.empty() ? nullptr : protocol.c_str(), &entry, buffer, sizeof buffer,
                    &found);
  if (!found) Fail(Format("ResolvePort: Cannot convert port '%s', Error #%d", port, kWsaNoData));
  return ntohs(static_cast<std::uint16_t>(found->s_port));
}

int ResolveProto(const std::string& proto) {
  if (proto.empty() || proto.size() >= 32) Fail("ResolveProto: Invalid Protocol.");
  const std::string name = TrimBlanks(proto);
  if (!name.empty() && IsDigit(name[0])) return LeadingNumber(name);
  protoent entry{};
  protoent* found = nullptr;
  char buffer[4096];
  ::getprotobyname_r(name.c_str(), &entry, buffer, sizeof buffer, &found);
  if (!found) Fail(Format("ResolveProto: Cannot convert protocol '%s', Error #%d", proto, kWsaNoData));
  return found->p_proto;
}

}  // namespace kestova

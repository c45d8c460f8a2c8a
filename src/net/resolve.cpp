#include "net/resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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

std::vector<std::uint32_t> LookupAddresses(const std::string& name, int& error) {
  std::vector<std::uint32_t> addresses;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  error = SocketErrorFromResolver(status, errno);
  if (status != 0) return addresses;
  for (addrinfo* entry = found; entry; entry = entry->ai_next) {
    addresses.push_back(reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
  }
  ::freeaddrinfo(found);
  if (addresses.empty()) error = kWsaNoData;
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

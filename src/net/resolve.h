// Turning the textual endpoint settings of a socket into numbers. The
// resolution functions throw ESocketException on every failure.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/socket_types.h"
#include "platform/socket_errors.h"

namespace kestova {

// True when the text is an IPv4 literal of four decimal parts ("1.2.3.4"),
// optionally surrounded by spaces.
bool IsDottedAddress(const std::string& text);

// The IPv4 address of a dotted text or host name, in network byte order
// (all ones for 255.255.255.255). A name is looked up, blocking.
std::uint32_t ResolveHost(const std::string& host);

// An IPv4 or IPv6 address with its port, as the system's calls take it.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t size = 0;
  int Family() const { return storage.ss_family; }
  bool V6() const { return Family() == AF_INET6; }
  sockaddr* Raw() { return reinterpret_cast<sockaddr*>(&storage); }
  const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&storage); }
  // "1.2.3.4" or "::1"; empty when unset.
  std::string Text() const;
  int Port() const;
  void SetPort(int port);
  // The IPv4 address in network byte order; 0 for IPv6.
  std::uint32_t V4() const;
};

// An IPv6 literal ("::1", "2001:db8::2"), bare or in brackets ("[::1]").
bool IsIpv6Address(const std::string& text);
// An address literal of either family.
inline bool IsAddressLiteral(const std::string& text) { return IsDottedAddress(text) || IsIpv6Address(text); }

// The address of a literal of either family or of a host name (its first
// address, IPv4 or IPv6, in the system's order), with port 0. Throws as
// ResolveHost does.
SocketAddress ResolveAddress(const std::string& host);
// The wildcard address of the family ("0.0.0.0" or "::").
const char* AnyAddress(int family);

// The port of a decimal text (read up to the first non-digit, not range
// checked) or of a service name, in host byte order.
int ResolvePort(const std::string& port, const std::string& proto);

// The protocol number of a decimal text or a protocol name.
int ResolveProto(const std::string& proto);

// Every IPv4 address of a host name, in network byte order, looked up
// (blocking) by the system's resolver; `error` gets the resolver's code.
std::vector<std::uint32_t> LookupAddresses(const std::string& name, int& error);
// Every address of a host name, IPv4 and IPv6, as text in the system's
// order of preference.
std::vector<std::string> LookupAllAddresses(const std::string& name, int& error);

// Dotted text of an address in network byte order.
std::string DottedAddress(std::uint32_t network_order);

}  // namespace kestova

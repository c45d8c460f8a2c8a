// Turning the textual endpoint settings of a socket into numbers. The
// resolution functions throw ESocketException on every failure.
#pragma once

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

// The port of a decimal text (read up to the first non-digit, not range
// checked) or of a service name, in host byte order.
int ResolvePort(const std::string& port, const std::string& proto);

// The protocol number of a decimal text or a protocol name.
int ResolveProto(const std::string& proto);

// Every IPv4 address of a host name, in network byte order, looked up
// (blocking) by the system's resolver; `error` gets the resolver's code.
std::vector<std::uint32_t> LookupAddresses(const std::string& name, int& error);

// Dotted text of an address in network byte order.
std::string DottedAddress(std::uint32_t network_order);

}  // namespace kestova

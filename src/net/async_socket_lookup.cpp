// The socket's name lookups: a dotted address completes inside the call, a
// name is looked up on a worker thread and answered from the event loop.
#include <arpa/inet.h>

#include "common/text_helpers.h"
#include "net/async_socket.h"
#include "net/dns_lookup.h"
#include "net/resolve.h"

namespace kestova {

// A new lookup silently replaces a pending one and its results.
void AsyncSocket::DropPendingLookup() {
  if (lookup_id_ != 0) ForgetLookup(lookup_id_);
  lookup_id_ = 0;
  dns_result_.clear();
  dns_result_list_.clear();
}

void AsyncSocket::DnsLookup(const std::string& host) {
  if (host.empty()) {
    Report("DNS lookup: invalid host name.");
    if (const auto handler = OnDnsLookupDone) handler(*this, kWsaEinval);
    return;
  }
  DropPendingLookup();
  const std::string name = TrimBlanks(host);
  if (IsIpv6Address(name)) {
    dns_result_ = ResolveAddress(name).Text();
    dns_result_list_.push_back(dns_result_);
    if (const auto handler = OnDnsLookupDone) handler(*this, 0);
    return;
  }
  if (IsDottedAddress(name)) {
    in_addr address{};
    if (::inet_aton(name.c_str(), &address) != 0) {
      dns_result_ = DottedAddress(address.s_addr);
      dns_result_list_.push_back(dns_result_);
      if (const auto handler = OnDnsLookupDone) handler(*this, 0);
      return;
    }
  }
  lookup_id_ = StartHostLookup(
      name, [this](std::uint64_t id, const LookupResult& result) { DeliverLookup(id, result.error, result.names); });
}

void AsyncSocket::DeliverLookup(std::uint64_t id, int error, const std::vector<std::string>& names) {
  if (id == 0 || id != lookup_id_) return;
  lookup_id_ = 0;
  if (error == 0) {
    dns_result_list_ = names;
    dns_result_ = names.empty() ? std::string() : names.front();
  }
  try {
    if (const auto handler = OnDnsLookupDone) handler(*this, error);
  } catch (const std::exception& e) {
    BgException(e);
  }
}

void AsyncSocket::CancelLookup() {
  if (lookup_id_ == 0) return;
  ForgetLookup(lookup_id_);
  lookup_id_ = 0;
  if (ending_ != Ending::Alive) return;
  if (const auto handler = OnDnsLookupDone) handler(*this, kWsaEintr);
}

}  // namespace kestova

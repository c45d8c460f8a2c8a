// Host and address lookups that do not block the thread: the system's
// resolver runs on a worker thread, and the result is handed back to the
// thread that asked, through its event loop, under the request's id. A result
// whose id is no longer awaited (cancelled, replaced, or its socket gone) is
// dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestova {

struct LookupResult {
  int error = 0;                   // 0, or a resolver code (11001...)
  std::vector<std::string> names;  // dotted addresses, or the host's name
};

using LookupDone = std::function<void(std::uint64_t id, const LookupResult& result)>;

// Starts a lookup of every IPv4 address of `host`. `done` runs later, from
// the event loop of the calling thread, unless the request is forgotten.
std::uint64_t StartHostLookup(const std::string& host, LookupDone done);
// Drops a request: its result, when it comes, is thrown away.
void ForgetLookup(std::uint64_t id);

// Host lookups answer from `resolver` instead of the system's resolver
// (for tests: a name that does not exist, without asking the network);
// nullptr gives them back to the system.
using HostResolver = std::function<LookupResult(const std::string& host)>;
void SetHostResolver(HostResolver resolver);

}  // namespace kestova

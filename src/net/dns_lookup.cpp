#include "net/dns_lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <QCoreApplication>
#include <QObject>
#include <QThreadPool>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "net/resolve.h"
#include "platform/socket_errors.h"

namespace kestova {

namespace {

// Lives for the whole process in the thread of the sockets, so a worker can
// always post to it; it holds the callbacks of the requests still awaited.
class LookupRouter : public QObject {
 public:
  std::unordered_map<std::uint64_t, LookupDone> waiting;

  void Deliver(std::uint64_t id, const LookupResult& result) {
    const auto found = waiting.find(id);
    if (found == waiting.end()) return;
    LookupDone done = std::move(found->second);
    waiting.erase(found);
    done(id, result);
  }
};

LookupRouter* Router() {
  static LookupRouter* router = new LookupRouter;  // never freed: workers may outlive any owner
  return router;
}

std::atomic<std::uint64_t> next_id{1};

std::mutex resolver_mutex;
std::shared_ptr<const HostResolver> resolver;  // set by SetHostResolver

LookupResult LookupHost(const std::string& host) {
  LookupResult result;
  result.names = LookupAllAddresses(host, result.error);
  return result;
}

std::uint64_t Start(std::function<LookupResult()> work, LookupDone done) {
  LookupRouter* router = Router();
  const std::uint64_t id = next_id++;
  router->waiting.emplace(id, std::move(done));
  QThreadPool::globalInstance()->start([router, id, work = std::move(work)] {
    LookupResult result = work();
    QMetaObject::invokeMethod(
        router, [router, id, result = std::move(result)] { router->Deliver(id, result); }, Qt::QueuedConnection);
  });
  return id;
}

}  // namespace

std::uint64_t StartHostLookup(const std::string& host, LookupDone done) {
  std::shared_ptr<const HostResolver> chosen;
  {
    const std::lock_guard<std::mutex> lock(resolver_mutex);
    chosen = resolver;
  }
  if (chosen) return Start([host, chosen] { return (*chosen)(host); }, std::move(done));
  return Start([host] { return LookupHost(host); }, std::move(done));
}

void SetHostResolver(HostResolver replacement) {
  const std::lock_guard<std::mutex> lock(resolver_mutex);
  resolver = replacement ? std::make_shared<const HostResolver>(std::move(replacement)) : nullptr;
}

void ForgetLookup(std::uint64_t id) { Router()->waiting.erase(id); }

}  // namespace kestova

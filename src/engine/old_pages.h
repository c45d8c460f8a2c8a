// The old site's own pages: after the redirection pages for the local
// folder's pages, the old site is listed and a redirection page goes over
// every .htm or .html page there that the local folder does not hold, each
// pointing at the same path on the new site and carrying the title read
// from the old page itself. Without it, a page that only the old host has
// stays stale without a word. Names are data, as in every walk of a
// server's listings: links are not entered, dot-files, excluded names and
// the temporary files of the modern method are left alone.
#pragma once

#include <cstdint>
#include <string>

#include "engine/upload.h"

namespace kestova {

class OldPages {
 public:
  explicit OldPages(Upload& run) : run_(run) {}
  void Run();
  std::int64_t Pages() const { return pages_; }
  // The most of an old page read for its title.
  static constexpr std::int64_t kMaxPageRead = 1 << 20;

 private:
  struct Addresses {
    std::string site, new_site, old_site;  // where the folder is on the old site, and the two home addresses
  };
  bool Folder(const std::string& remote, const std::string& local, const Addresses& at, int depth);
  void Page(const std::string& remote, const std::string& local, const std::string& name, const Addresses& at);

  Upload& run_;
  std::int64_t pages_ = 0;
};

}  // namespace kestova

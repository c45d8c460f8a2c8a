#include "engine/old_pages.h"

#include <algorithm>
#include <map>
#include <vector>

#include "common/text_helpers.h"
#include "engine/redirect_page.h"
#include "engine/run_strategies.h"
#include "net/event_wait.h"

namespace kestova {

namespace {

// The start of an old page, enough for its title; the rest is read on and
// let go, so that a large page costs no memory.
class PageHead : public Executor::Sink {
 public:
  std::int64_t Read(char*, std::int64_t) override { return 0; }
  bool Write(const char* data, std::int64_t size) override {
    const std::int64_t room = OldPages::kMaxPageRead - static_cast<std::int64_t>(text_.size());
    if (room > 0) text_.append(data, static_cast<size_t>(std::min(room, size)));
    return true;
  }
  void Restart() override { text_.clear(); }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace

void OldPages::Run() {
  const std::string& start = run_.settings_.StartDir;
  run_.Log(
      "The old site's own pages: a redirection page goes over each page there that the local folder does not "
      "hold.");
  if (run_.lists_facts_) run_.DetectMlsd(start);
  const Addresses top{run_.settings_.SiteURL, run_.profile_.NewURL(), run_.profile_.OldURL()};
  if (!Folder(start, run_.settings_.LocalRoot, top, 0)) return run_.Terminate();
  if (run_.terminated_) return;
  if (pages_ == 0) {
    run_.Log("The old site has no page that the local folder does not hold.");
  } else {
    run_.Log(std::string(run_.profile_.TestRun() ? "Would put " : "Put ") + std::to_string(pages_) +
             (pages_ == 1 ? " redirection page" : " redirection pages") + " over pages only the old site has.");
  }
}

bool OldPages::Folder(const std::string& remote, const std::string& local, const Addresses& at, int depth) {
  run_.Next().file = remote;
  run_.Next().folder = remote;
  run_.Next().SetLocalFile("");
  RemoteListing listing;
  if (!run_.ExecuteCommand(remote, "cwd", false)) return false;
  if (!run_.ListFolder(remote, run_.mlsd_ ? "mlsd" : "dir", listing)) return false;
  if (!listing.entries.empty() && !listing.names_found) {
    run_.Problem("Cannot tell where the names begin in the listing of " + remote +
                 "; no redirection page went over its own pages.");
    return true;
  }
  const std::map<std::string, bool> here = LocalNamesFolded(local);
  std::vector<std::string> inner;
  for (const RemoteEntry& entry : listing.entries) {
    ProcessPendingEvents();
    if (run_.terminated_) return true;
    const std::string& name = entry.name;
    const bool folder = entry.kind == RemoteEntry::Kind::Folder;
    if (folder && (name == "." || name == "..")) continue;
    if (!SafeListedName(name)) {
      run_.Log(UnsafeNameLine(name, remote));
      continue;
    }
    if (name[0] == '.' || Upload::IsTemporaryName(name)) continue;
    if (!folder && (entry.kind != RemoteEntry::Kind::File || !Upload::IsPage(name))) continue;
    if (folder && run_.profile_.ExclFrontPage() && (SameText(name, "_vti_cnf") || SameText(name, "_private"))) {
      continue;
    }
    if (run_.Excluded(Upload::Below(run_.settings_.StartDir, AddTrailingSlash(remote) + name), folder)) continue;
    if (folder) {
      if (depth + 1 <= Upload::kMaxWipeDepth) {
        inner.push_back(name);
      } else {
        run_.Problem("Left out the old site's folder " + AddTrailingSlash(remote) + name + ": it lies more than " +
                     std::to_string(Upload::kMaxWipeDepth) + " levels below the start directory");
      }
      continue;
    }
    if (!here.count(FoldCase(name))) Page(remote, local, name, at);
    if (run_.terminated_) return true;
  }
  for (const std::string& name : inner) {
    const std::string segment = UrlPathSegment(name);
    const Addresses below{AddTrailingSlash(at.site) + segment, AddTrailingSlash(at.new_site) + segment,
                          AddTrailingSlash(at.old_site) + segment};
    if (!Folder(AddTrailingSlash(remote) + name, LocalPath(local, name), below, depth + 1)) return false;
    if (run_.terminated_) return true;
  }
  return true;
}

void OldPages::Page(const std::string& remote, const std::string& local, const std::string& name, const Addresses& at) {
  const std::string path = AddTrailingSlash(remote) + name;
  ++pages_;
  if (run_.profile_.TestRun()) {
    run_.Log("## Test: Redirection page over " + path + " (a page only the old site has)");
    run_.Emit(RunEvent::Kind::FileWouldSend, path, 0);
    return;
  }
  // The old page is read in the type its redirection page goes in.
  run_.Next().file = name;
  run_.Next().folder = remote;
  run_.SetTransferType(name);
  if (run_.terminated_) return;
  PageHead head;
  run_.Next().sink = &head;
  const bool read = run_.ExecuteCommand(remote, "get", true);
  run_.Next().sink = nullptr;
  if (run_.terminated_) return;
  if (!read || !run_.executor_->LastDone()) {
    --pages_;
    run_.Problem("Skipped the old page " + path + ": cannot read it for its title: " + run_.executor_->LastFailure());
    return;
  }
  run_.MakePage(head.Text(), name, at.site, at.new_site, at.old_site);
  run_.Next().file = name;
  run_.Next().SetStream(run_.page_stream_.get());
  if (run_.replace_->DeletesFirst() && !run_.ExecuteCommand(remote, "dele", true)) return run_.Terminate();
  run_.SetTransferType(name);
  if (!run_.replace_->Send(local, remote, name, "put", true)) run_.Terminate();
}

}  // namespace kestova

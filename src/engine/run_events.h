// What happened in a run, as structured events beside the log: the windows
// and the command build counts and progress from these, never from the
// wording of log lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kestova {

struct RunEvent {
  enum class Kind {
    RunStarted,     // connected and about to walk: `files` local files, `bytes` their size, to consider
    FolderEntered,  // `path`: the remote folder the walk has entered
    FileChecked,    // `path`: a local file the walk has reached; `bytes` its size
    FileSent,       // `path`: the local file (or page) sent; `bytes` went
    FileUnchanged,  // `path`: the server's copy is current (Wrt Changes)
    FileSkipped,    // `path`: a local file that could not be sent
    FileWouldSend,  // a test run: `path` would be sent, `bytes` of it (0 for a page not built)
    RemoteDeleted,  // `path`: a remote file (`files` 1) or folder (`files` 0) the wipe deleted
    RemoteRemoved,  // `path`: a remote file (`files` 1) or folder (`files` 0) removed as no longer local
    Retry,          // a command failed and will be tried again; `path`: why
    RunEnded,       // the closing line was written; `path` is it
  };
  Kind kind;
  std::string path;
  std::int64_t bytes = 0;
  std::int64_t files = 0;
};

using RunEventSink = std::function<void(const RunEvent& event)>;

}  // namespace kestova

// Several sessions side by side: the run's first connection and further
// ones of the same site take the tasks of a plan from one queue, in the
// plan's order, each starting a task only once the task it depends on (the
// folder it goes into) is done. They run on the one thread (RunTogether):
// each hands the thread to the others where it waits for its server. A
// task's lines are held and written together once it is done, so that the
// log reads file by file, each session's lines in their order.
#include <algorithm>
#include <ctime>

#include "engine/upload.h"
#include "net/event_wait.h"
#include "net/fibers.h"
#include "transports/open_site.h"

namespace kestova {

// What the sessions share while they work.
struct SharedState {
  enum class Task { Waiting, Taken, Done };
  std::vector<Task> tasks;
  size_t first_open = 0;      // no task before it is still waiting or taken
  std::uint64_t changes = 0;  // counts tasks done or handed back, for those that wait
  int extras = 0;             // further sessions asked for
  int settled = 0;            // and those that have connected or closed
  int refused = 0;            // closed: the server would not take them
  int working = 0;            // sessions still taking tasks
  std::string refusal;        // why the first was refused
};

namespace {

std::string Connections(int count) { return std::to_string(count) + (count == 1 ? " connection" : " connections"); }

}  // namespace

void Upload::Log(const std::string& line) {
  std::string text = EscapeControls(line);
  if (session_ && session_->holding) {
    session_->held.push_back(std::move(text));
  } else {
    log_(text);
  }
}

int Upload::SessionsFor(std::int64_t work) const {
  if (profile_.TestRun() || !Modern() || settings_.Connections <= 1) return 1;
  // A further session costs a login (and a TLS or SSH handshake): it pays
  // for itself from a few files on.
  const std::int64_t worth = std::max<std::int64_t>(1, work / 4);
  return static_cast<int>(std::min<std::int64_t>(worth, std::min(settings_.Connections, RunSettings::kMaxConnections)));
}

void Upload::Resume(Session* session) {
  session_ = session;
  executor_ = session && session->executor ? session->executor.get() : &first_executor_;
  client_ = session && session->connection ? session->connection.get() : first_client_;
}

void Upload::Release(Session& session, bool write) {
  session.holding = false;
  if (write) {
    for (const std::string& line : session.held) log_(line);
  }
  session.held.clear();
}

bool Upload::Enter(const std::string& remote) {
  Next().file = remote;
  Next().folder = remote;
  if (!ExecuteCommand(remote, "cwd", false)) return false;
  if (session_) session_->folder = remote;
  return true;
}

void Upload::WatchTransfers(std::function<void(std::int64_t bytes)> watcher) {
  transfer_watcher_ = std::move(watcher);
  first_client_->WatchTransfers([this](std::int64_t bytes) { Moved(0, bytes); });
}

void Upload::Moved(size_t session, std::int64_t bytes) {
  if (!transfer_watcher_) return;
  if (session >= sessions_.size()) return transfer_watcher_(bytes);
  sessions_[session]->moving = bytes;
  std::int64_t total = 0;
  for (const std::unique_ptr<Session>& each : sessions_) total += each->moving;
  transfer_watcher_(total);
}

void Upload::Stop() {
  terminated_ = true;
  first_executor_.Stop();
  for (const std::unique_ptr<Session>& session : sessions_) {
    if (session->executor) session->executor->Stop();
  }
}

void Upload::RunShared(const std::vector<SharedTask>& tasks, int sessions) {
  SharedState state;
  state.tasks.assign(tasks.size(), SharedState::Task::Waiting);
  sessions = std::max(1, sessions);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  sessions_.push_back(std::make_unique<Session>());  // the run's first connection
  for (int i = 1; i < sessions; ++i) {
    auto session = std::make_unique<Session>();
    session->connection = OpenAnother ? OpenAnother() : OpenSite(settings_.Site);
    session->connection->StartRun(local.tm_year + 1900, local.tm_mon + 1);
    session->executor =
        std::make_unique<Executor>(static_cast<Executor::Owner&>(*this), settings_, *session->connection);
    session->executor->CloseWhenRefused();
    const size_t index = sessions_.size();
    if (transfer_watcher_) {
      session->connection->WatchTransfers([this, index](std::int64_t bytes) { Moved(index, bytes); });
    }
    if (settings_.RedirectJob) {
      session->page = std::make_unique<MemoryStream>();
      session->executor->Next().SetStream(session->page.get());
    }
    sessions_.push_back(std::move(session));
  }
  state.extras = sessions - 1;
  state.working = sessions;
  std::vector<std::function<void()>> bodies;
  for (size_t i = 0; i < sessions_.size(); ++i) {
    bodies.emplace_back([this, i, &tasks, &state] { Work(i, tasks, state); });
  }
  RunTogether(bodies, [this](size_t index) { Resume(sessions_[index].get()); });
  Resume(nullptr);
  sessions_.clear();
}

// One session's share: a further one connects first; then each takes the
// first waiting task it may start, until none is left or the run ends.
void Upload::Work(size_t index, const std::vector<SharedTask>& tasks, SharedState& state) {
  Session& me = *sessions_[index];
  const bool several = sessions_.size() > 1;
  if (index > 0) {
    if (terminated_) {
      --state.working;
      return;
    }
    me.holding = true;
    const bool connected = ExecuteCommand("", "", true);
    const bool withdrawn = executor_->Withdrawn();
    Release(me, !withdrawn);
    if (withdrawn && state.refused++ == 0) state.refusal = executor_->LastFailure();
    if (++state.settled == state.extras && state.refused > 0) {
      // Said once, when every further session has connected or closed.
      const int refused = state.refused;
      Log("The server refused " + std::to_string(refused) + " of " + Connections(state.extras + 1) + " (" +
          state.refusal + "): the run goes on with " + Connections(state.extras + 1 - refused) + ".");
    }
    if (!connected || withdrawn) {
      --state.working;
      return;
    }
  }
  while (!terminated_) {
    while (state.first_open < tasks.size() && state.tasks[state.first_open] == SharedState::Task::Done) {
      ++state.first_open;
    }
    size_t pick = tasks.size();
    bool waiting = false;
    for (size_t i = state.first_open; i < tasks.size(); ++i) {
      if (state.tasks[i] != SharedState::Task::Waiting) continue;
      waiting = true;
      const size_t after = tasks[i].after;
      if (after >= tasks.size() || state.tasks[after] == SharedState::Task::Done) {
        pick = i;
        break;
      }
    }
    if (pick == tasks.size()) {
      if (!waiting) break;
      // What is left waits for a folder another session is making.
      const std::uint64_t seen = state.changes;
      WaitUntil([&] { return state.changes != seen || terminated_; }, std::chrono::milliseconds(-1));
      continue;
    }
    state.tasks[pick] = SharedState::Task::Taken;
    me.holding = several;
    const SharedTask& task = tasks[pick];
    const int connects = executor_->Connects();
    if (!task.folder.empty() && me.folder != task.folder && !Enter(task.folder)) {
      Terminate();
    } else {
      if (!task.folder.empty()) Next().folder = task.folder;
      task.act();
    }
    // A new session went wherever its first call worked: the next task
    // goes into its folder again.
    if (executor_->Connects() != connects) me.folder.clear();
    ++state.changes;
    if (executor_->Withdrawn()) {
      // Its connection was lost and the server would not take it again:
      // the task goes back for another session, from its start.
      state.tasks[pick] = SharedState::Task::Waiting;
      state.first_open = std::min(state.first_open, pick);
      Release(me, false);
      Log("A connection was lost and the server would not take it again (" + executor_->LastFailure() +
          "): the run goes on with " + Connections(state.working - 1) + ".");
      break;
    }
    state.tasks[pick] = SharedState::Task::Done;
    Release(me, true);
  }
  --state.working;
  if (index > 0) executor_->Close();
}

}  // namespace kestova

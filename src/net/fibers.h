// Several blocking tasks on the one thread: each runs on a stack of its own,
// and where it would wait (WaitUntil, ProcessPendingEvents) it gives the
// thread back instead, so that the event loop serves every task's sockets
// at once. Only one task runs at any moment, so they share the program's
// state without locks; a task hands over only where it waits.
#pragma once

#include <functional>
#include <vector>

namespace kestova {

// Runs every task to its end and returns when the last one has. `resuming`,
// when set, is called with a task's index right before the task runs on,
// so that the caller can make that task's state the current one. A task
// must not throw: what it throws ends the program.
void RunTogether(const std::vector<std::function<void()>>& tasks,
                 const std::function<void(size_t index)>& resuming = nullptr);

// The calling code runs in one of RunTogether's tasks.
bool InTask();

namespace fiber_detail {
// Hands the thread back until `ready` holds or `limit` (negative: none)
// has passed; true when `ready` held. Only from inside a task.
bool Yield(const std::function<bool()>* ready, long long limit_ms);
}  // namespace fiber_detail

}  // namespace kestova

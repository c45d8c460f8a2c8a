// Waiting without spinning: the thread sleeps in its event loop, serving
// socket notices, timers and windows, until a condition holds.
#pragma once

#include <chrono>
#include <functional>

namespace kestova {

// Runs the event loop until `done` returns true (checked after every batch of
// events) or `limit` has passed. True when `done` held. A negative limit waits
// without a deadline.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

// Processes every event that is already pending, without waiting.
void ProcessPendingEvents();

// Set when the program is ending (its last window closed, or the user
// insisted with a second Ctrl+C): every wait gives up at once.
void SetTerminating(bool terminating);
bool Terminating();

}  // namespace kestova

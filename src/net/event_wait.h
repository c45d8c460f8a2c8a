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

}  // namespace kestova

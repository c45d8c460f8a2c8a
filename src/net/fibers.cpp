#include "net/fibers.h"

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <memory>

#include "net/event_wait.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#define KESTOVA_FIBER_ASAN 1
#endif

namespace kestova {

namespace {

using Clock = std::chrono::steady_clock;

// A task's stack is reserved, not committed: pages are taken as the task
// touches them. The sanitizer's frames are larger.
#if defined(KESTOVA_FIBER_ASAN)
constexpr size_t kStackBytes = size_t{8} << 20;
#else
constexpr size_t kStackBytes = size_t{1} << 20;
#endif

struct Fiber {
  ucontext_t context{};
  void* mapping = nullptr;
  size_t mapping_bytes = 0;
  void* stack = nullptr;  // the lowest address of the usable stack
  const std::function<void()>* body = nullptr;
  bool finished = false;
  // What the task waits for; none: it runs on at the next turn.
  const std::function<bool()>* ready = nullptr;
  bool bounded = false;
  Clock::time_point deadline;
  bool met = false;  // what its wait comes to
  void* fake_stack = nullptr;

  ~Fiber() {
    if (mapping) ::munmap(mapping, mapping_bytes);
  }
};

struct Scheduler {
  ucontext_t main{};
  Fiber* current = nullptr;
  const void* main_bottom = nullptr;
  size_t main_size = 0;
  void* main_fake_stack = nullptr;
};

thread_local Scheduler* active = nullptr;

void StartSwitch([[maybe_unused]] void** fake_stack, [[maybe_unused]] const void* bottom,
                 [[maybe_unused]] size_t size) {
#if defined(KESTOVA_FIBER_ASAN)
  __sanitizer_start_switch_fiber(fake_stack, bottom, size);
#endif
}

void FinishSwitch([[maybe_unused]] void* fake_stack, [[maybe_unused]] const void** bottom_old,
                  [[maybe_unused]] size_t* size_old) {
#if defined(KESTOVA_FIBER_ASAN)
  __sanitizer_finish_switch_fiber(fake_stack, bottom_old, size_old);
#endif
}

void Trampoline() {
  Scheduler& scheduler = *active;
  Fiber& fiber = *scheduler.current;
  FinishSwitch(nullptr, &scheduler.main_bottom, &scheduler.main_size);
  try {
    (*fiber.body)();
  } catch (...) {
    std::terminate();
  }
  fiber.finished = true;
  // Its fake stack goes with it: the task never runs again.
  StartSwitch(nullptr, scheduler.main_bottom, scheduler.main_size);
  ::swapcontext(&fiber.context, &scheduler.main);
}

bool Prepare(Fiber& fiber, const std::function<void()>& body) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  fiber.mapping_bytes = kStackBytes + page;
  fiber.mapping = ::mmap(nullptr, fiber.mapping_bytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (fiber.mapping == MAP_FAILED) {
    fiber.mapping = nullptr;
    return false;
  }
  // A guard page below the stack: running past it faults at once rather
  // than writing into whatever lies below.
  ::mprotect(fiber.mapping, page, PROT_NONE);
  fiber.stack = static_cast<char*>(fiber.mapping) + page;
  fiber.body = &body;
  if (::getcontext(&fiber.context) != 0) return false;
  fiber.context.uc_stack.ss_sp = fiber.stack;
  fiber.context.uc_stack.ss_size = kStackBytes;
  fiber.context.uc_link = nullptr;
  ::makecontext(&fiber.context, Trampoline, 0);
  return true;
}

// Whether the task may run on, and what its wait came to.
bool Ready(Fiber& fiber, Clock::time_point now) {
  if (!fiber.ready) {
    fiber.met = true;
    return true;
  }
  if ((*fiber.ready)()) {
    fiber.met = true;
    return true;
  }
  if ((fiber.bounded && now >= fiber.deadline) || Terminating()) {
    fiber.met = false;
    return true;
  }
  return false;
}

void SwitchTo(Scheduler& scheduler, Fiber& fiber) {
  scheduler.current = &fiber;
  StartSwitch(&scheduler.main_fake_stack, fiber.stack, kStackBytes);
  ::swapcontext(&scheduler.main, &fiber.context);
  FinishSwitch(scheduler.main_fake_stack, nullptr, nullptr);
  scheduler.current = nullptr;
}

}  // namespace

bool InTask() { return active && active->current; }

bool fiber_detail::Yield(const std::function<bool()>* ready, long long limit_ms) {
  Scheduler& scheduler = *active;
  Fiber& fiber = *scheduler.current;
  fiber.ready = ready;
  fiber.bounded = ready && limit_ms >= 0;
  if (fiber.bounded) fiber.deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  StartSwitch(&fiber.fake_stack, scheduler.main_bottom, scheduler.main_size);
  ::swapcontext(&fiber.context, &scheduler.main);
  FinishSwitch(fiber.fake_stack, &scheduler.main_bottom, &scheduler.main_size);
  fiber.ready = nullptr;
  return fiber.met;
}

void RunTogether(const std::vector<std::function<void()>>& tasks, const std::function<void(size_t index)>& resuming) {
  // Tasks within a task, or stacks the system will not give, run one after
  // the other.
  const auto one_by_one = [&] {
    for (size_t i = 0; i < tasks.size(); ++i) {
      if (resuming) resuming(i);
      tasks[i]();
    }
  };
  if (active || tasks.size() < 2) return one_by_one();
  std::vector<std::unique_ptr<Fiber>> fibers;
  for (const std::function<void()>& task : tasks) {
    fibers.push_back(std::make_unique<Fiber>());
    if (!Prepare(*fibers.back(), task)) return one_by_one();
  }
  Scheduler scheduler;
  active = &scheduler;
  size_t left = fibers.size();
  while (left > 0) {
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < fibers.size(); ++i) {
      Fiber& fiber = *fibers[i];
      if (fiber.finished || !Ready(fiber, now)) continue;
      if (resuming) resuming(i);
      SwitchTo(scheduler, fiber);
      if (fiber.finished) --left;
    }
    if (left == 0) break;
    // Until some task may run on: the soonest deadline bounds the wait, and
    // a task that only let events through runs on once they are served.
    bool at_once = false;
    bool bounded = false;
    Clock::time_point soonest = Clock::time_point::max();
    for (const std::unique_ptr<Fiber>& fiber : fibers) {
      if (fiber->finished) continue;
      if (!fiber->ready) at_once = true;
      if (fiber->bounded && fiber->deadline < soonest) {
        soonest = fiber->deadline;
        bounded = true;
      }
    }
    if (at_once) {
      ProcessPendingEvents();
      continue;
    }
    const auto any_ready = [&] {
      for (const std::unique_ptr<Fiber>& fiber : fibers) {
        if (!fiber->finished && fiber->ready && (*fiber->ready)()) return true;
      }
      return false;
    };
    const auto limit =
        bounded ? std::chrono::ceil<std::chrono::milliseconds>(soonest - Clock::now()) : std::chrono::milliseconds(-1);
    WaitUntil(any_ready, bounded ? std::max(limit, std::chrono::milliseconds(0)) : limit);
  }
  active = nullptr;
}

}  // namespace kestova

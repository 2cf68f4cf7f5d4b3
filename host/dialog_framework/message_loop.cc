#include "host/dialog_framework/message_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <set>

#include "host/dialog_framework/front_end.h"

namespace host {
namespace {

volatile std::sig_atomic_t foregroundRequested = 0;

std::mutex windowsMutex;
std::set<HWND>& FrameworkWindows() {
  static std::set<HWND> windows;
  return windows;
}

}  // namespace

void RegisterFrameworkWindow(HWND window) {
  std::lock_guard lock(windowsMutex);
  FrameworkWindows().insert(window);
}

void UnregisterFrameworkWindow(HWND window) {
  std::lock_guard lock(windowsMutex);
  FrameworkWindows().erase(window);
}

bool IsFrameworkWindow(HWND window) {
  std::lock_guard lock(windowsMutex);
  return FrameworkWindows().count(window) != 0;
}

MessageLoop& MessageLoop::Instance() {
  // Never destroyed: a worker may still post while the process exits.
  static MessageLoop* loop = new MessageLoop();
  return *loop;
}

MessageLoop::MessageLoop() {
  int descriptors[2];
  if (pipe(descriptors) == 0) {
    wakeRead_ = descriptors[0];
    wakeWrite_ = descriptors[1];
    for (int descriptor : descriptors) {
      fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
      fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    }
  }
}

void MessageLoop::Attach() {
  std::lock_guard lock(mutex_);
  uiThread_ = std::this_thread::get_id();
  attached_ = true;
}

void MessageLoop::Detach() {
  // Calls queued before the dialog ended still reach their windows, which live until the dialog
  // object is destroyed; later sends are handled on the sender's thread.
  {
    std::lock_guard lock(mutex_);
    attached_ = false;
    uiThread_ = std::thread::id();
  }
  RunTasks();
}

bool MessageLoop::IsUiThread() const {
  std::lock_guard lock(mutex_);
  return attached_ && uiThread_ == std::this_thread::get_id();
}

bool MessageLoop::Attached() const {
  std::lock_guard lock(mutex_);
  return attached_;
}

bool MessageLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (!attached_) return false;
    tasks_.push_back(std::move(task));
    queued_.store(tasks_.size());
  }
  // A UI thread that is not sleeping sees the task by itself; one that is about to sleep
  // checks queued_ after announcing it, so one of the two always notices the other.
  if (sleeping_.load()) Wake();
  return true;
}

void MessageLoop::Wake() {
  if (wakeWrite_ >= 0) {
    const char byte = 0;
    // A full pipe already guarantees a wake-up.
    [[maybe_unused]] ssize_t written = write(wakeWrite_, &byte, 1);
  }
}

void MessageLoop::WakeForForeground() {
  foregroundRequested = 1;
  if (wakeWrite_ >= 0) {
    const char byte = 0;
    [[maybe_unused]] ssize_t written = write(wakeWrite_, &byte, 1);
  }
}

void MessageLoop::SetTimer(HWND window, UINT_PTR timerId, UINT elapse) {
  const auto period = std::chrono::milliseconds(std::max<UINT>(elapse, 1));
  for (Timer& timer : timers_) {
    if (timer.window == window && timer.id == timerId) {
      timer.period = period;
      timer.due = Clock::now() + period;
      return;
    }
  }
  timers_.push_back(Timer{window, timerId, period, Clock::now() + period});
}

bool MessageLoop::KillTimer(HWND window, UINT_PTR timerId) {
  const auto found = std::find_if(timers_.begin(), timers_.end(), [&](const Timer& timer) {
    return timer.window == window && timer.id == timerId;
  });
  if (found == timers_.end()) return false;
  timers_.erase(found);
  return true;
}

void MessageLoop::KillTimers(HWND window) {
  std::erase_if(timers_, [&](const Timer& timer) { return timer.window == window; });
}

void MessageLoop::SetManualTimers(bool manual) {
  std::lock_guard lock(mutex_);
  manualTimers_ = manual;
}

void MessageLoop::FireAllTimers() {
  // A handler may kill or set timers; deliver to a snapshot, skipping timers killed meanwhile.
  const std::vector<Timer> snapshot = timers_;
  for (const Timer& timer : snapshot) {
    const bool stillSet = std::any_of(timers_.begin(), timers_.end(), [&](const Timer& t) {
      return t.window == timer.window && t.id == timer.id;
    });
    if (stillSet) WindowOf(timer.window)->WindowProc(WM_TIMER, timer.id, 0);
  }
}

void MessageLoop::RunTasks() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard lock(mutex_);
    tasks.swap(tasks_);
    queued_.store(0);
  }
  for (auto& task : tasks) task();
}

void MessageLoop::RunDueTimers() {
  bool manual;
  {
    std::lock_guard lock(mutex_);
    manual = manualTimers_;
  }
  if (manual) return;
  const Clock::time_point now = Clock::now();
  std::vector<Timer> due;
  for (Timer& timer : timers_) {
    if (timer.due <= now) {
      due.push_back(timer);
      // Ticks that were missed are not made up: one WM_TIMER, then the next period.
      timer.due = now + timer.period;
    }
  }
  for (const Timer& timer : due) {
    const bool stillSet = std::any_of(timers_.begin(), timers_.end(), [&](const Timer& t) {
      return t.window == timer.window && t.id == timer.id;
    });
    if (stillSet) WindowOf(timer.window)->WindowProc(WM_TIMER, timer.id, 0);
  }
}

int MessageLoop::MillisecondsToNextTimer() const {
  bool manual;
  {
    std::lock_guard lock(mutex_);
    manual = manualTimers_;
  }
  if (manual || timers_.empty()) return -1;
  Clock::time_point next = timers_.front().due;
  for (const Timer& timer : timers_) next = std::min(next, timer.due);
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
  return static_cast<int>(std::max<long long>(0, wait.count() + 1));
}

void MessageLoop::RunOnce() {
  RunTasks();
  RunDueTimers();
  FrontEnd* frontEnd = CurrentFrontEnd();
  if (foregroundRequested) {
    foregroundRequested = 0;
    if (frontEnd != nullptr) frontEnd->BroughtToForeground();
  }

  int timeout = MillisecondsToNextTimer();
  const int inputPeriod = frontEnd != nullptr ? frontEnd->InputPollPeriod() : -1;
  if (inputPeriod >= 0 && (timeout < 0 || inputPeriod < timeout)) timeout = inputPeriod;
  if (timeout != 0) {
    // Watch for a call a little before sleeping (never past the next timer).
    const auto until = Clock::now() + kSpinBeforeSleep;
    while (queued_.load() == 0 && Clock::now() < until) std::this_thread::yield();
  }
  sleeping_.store(true);
  if (queued_.load() != 0) timeout = 0;

  pollfd descriptors[2] = {{wakeRead_, POLLIN, 0}, {-1, POLLIN, 0}};
  const int input = frontEnd != nullptr ? frontEnd->InputDescriptor() : -1;
  descriptors[1].fd = input;
  const int ready = poll(descriptors, input >= 0 ? 2 : 1, timeout);
  sleeping_.store(false);
  if (ready > 0 && (descriptors[0].revents & POLLIN) != 0) {
    char buffer[64];
    while (read(wakeRead_, buffer, sizeof buffer) > 0) {
    }
  }
  // After input, a wake-up, a signal (terminal resize) or a poll period.
  if (frontEnd != nullptr && input >= 0) frontEnd->HandleInput();
}

void MessageLoop::RunUntil(const std::function<bool()>& done) {
  while (!done()) RunOnce();
}

LRESULT CallOnUiThread(const std::function<LRESULT()>& call) {
  MessageLoop& loop = MessageLoop::Instance();
  if (loop.IsUiThread()) return call();
  struct Pending {
    std::mutex mutex;
    std::condition_variable done;
    std::atomic<bool> finished{false};
    LRESULT result = 0;
  };
  auto pending = std::make_shared<Pending>();
  const bool posted = loop.Post([pending, call] {
    const LRESULT result = call();
    std::lock_guard lock(pending->mutex);
    pending->result = result;
    pending->finished.store(true);
    pending->done.notify_all();
  });
  if (!posted) return call();
  // Most calls are answered within microseconds: watch for the answer before sleeping on it.
  const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
  while (!pending->finished.load() && std::chrono::steady_clock::now() < until)
    std::this_thread::yield();
  std::unique_lock lock(pending->mutex);
  pending->done.wait(lock, [&] { return pending->finished.load(); });
  return pending->result;
}

void SetManualTimers(bool manual) {
  MessageLoop::Instance().SetManualTimers(manual);
}

bool FireTimers() {
  MessageLoop& loop = MessageLoop::Instance();
  if (!loop.Attached() || loop.IsUiThread()) return false;
  CallOnUiThread([&loop]() -> LRESULT {
    loop.FireAllTimers();
    return 0;
  });
  return true;
}

bool DialogRunning() {
  return MessageLoop::Instance().Attached();
}

}  // namespace host

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR timerId, UINT elapse, TIMERPROC timerProc) {
  if (window == nullptr || timerProc != nullptr || timerId == 0) return 0;
  return static_cast<UINT_PTR>(host::CallOnUiThread([=]() -> LRESULT {
    host::MessageLoop::Instance().SetTimer(window, timerId, elapse);
    return static_cast<LRESULT>(timerId);
  }));
}

BOOL WINAPI KillTimer(HWND window, UINT_PTR timerId) {
  if (window == nullptr) return FALSE;
  return static_cast<BOOL>(host::CallOnUiThread([=]() -> LRESULT {
    return host::MessageLoop::Instance().KillTimer(window, timerId) ? TRUE : FALSE;
  }));
}

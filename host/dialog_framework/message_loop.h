// The UI thread's message loop of the host dialog framework (internal to host/).
//
// One loop per process. DoModal attaches the calling thread as the UI thread and runs the loop
// until the dialog ends; a message box opened on the UI thread runs it nested until answered.
// The loop sleeps in poll() on a wake-up pipe and the front end's input descriptor, with a
// time-out at the next due timer. Before it sleeps it watches for new calls for a short while
// (kSpinBeforeSleep): a worker that sends progress messages in quick succession then finds the
// UI thread awake, and neither side pays for a thread wake-up on every message.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialog_framework.h"

namespace host {

// How long a thread that waits for the other side of a synchronous call watches for it before
// it goes to sleep.
inline constexpr std::chrono::microseconds kSpinBeforeSleep{200};

class MessageLoop {
 public:
  static MessageLoop& Instance();

  // UI thread side.
  void Attach();
  void Detach();
  bool IsUiThread() const;
  bool Attached() const;
  // Serves queued calls, timers and input until `done()` holds. May nest.
  void RunUntil(const std::function<bool()>& done);

  // Any thread. Queues `task` for the UI thread; false when no UI thread runs.
  bool Post(std::function<void()> task);
  void Wake();
  // Async-signal-safe: asks the UI thread to tell the front end it was brought to the front.
  void WakeForForeground();

  // Window timers (UI thread or before attaching).
  void SetTimer(HWND window, UINT_PTR timerId, UINT elapse);
  bool KillTimer(HWND window, UINT_PTR timerId);
  void KillTimers(HWND window);
  void SetManualTimers(bool manual);
  // Delivers one WM_TIMER for each timer that is set (UI thread).
  void FireAllTimers();

 private:
  MessageLoop();
  using Clock = std::chrono::steady_clock;
  struct Timer {
    HWND window;
    UINT_PTR id;
    std::chrono::milliseconds period;
    Clock::time_point due;
  };

  void RunOnce();
  void RunTasks();
  void RunDueTimers();
  int MillisecondsToNextTimer() const;

  mutable std::mutex mutex_;
  std::thread::id uiThread_;
  bool attached_ = false;
  std::vector<std::function<void()>> tasks_;
  std::atomic<std::size_t> queued_{0};  // tasks_.size(), readable without the mutex
  std::atomic<bool> sleeping_{false};   // the UI thread is in poll() or about to be
  std::vector<Timer> timers_;           // UI thread only
  bool manualTimers_ = false;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
};

// The window object behind a handle: the host's handles are the objects' addresses.
inline Window* WindowOf(HWND window) {
  return reinterpret_cast<Window*>(window);
}

// Whether `window` is a window of the host framework (dialog or control), whose messages are
// handled on the UI thread.
void RegisterFrameworkWindow(HWND window);
void UnregisterFrameworkWindow(HWND window);
bool IsFrameworkWindow(HWND window);

// Runs `call` on the UI thread and waits for it; runs it here when this is the UI thread or no
// UI thread runs.
LRESULT CallOnUiThread(const std::function<LRESULT()>& call);

// The program file's full path (the executable), and the application's name: the file name
// without its extension.
std::string ProgramPath();
std::u16string ApplicationName();

}  // namespace host

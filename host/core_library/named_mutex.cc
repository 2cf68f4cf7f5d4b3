// Mutexes: recursive, owned by a thread, abandoned when the owner ends.
//
// Every mutex keeps its ownership within this process in a MutexState: the owning thread, the
// depth of its recursion (one release per acquisition) and a condition the other threads of the
// process wait on. A thread that ends owning a mutex gives it up, and the next owner gets it
// with WAIT_ABANDONED.
//
// A named mutex is shared by the processes of the device through DIR/.kernel/mutex/<name>.mutex;
// its holders are kept as in named_objects.h. The thread that owns it in its process holds an
// exclusive flock on the file, so one thread of all the processes owns it at a time, and the
// kernel drops the flock when the process ends. The file's first byte is set while an owner
// holds it: set by each owner, cleared by its last release, left set by an owner that ended, so
// the next owner is told WAIT_ABANDONED. When nobody holds a handle to a name, the object is
// gone, as on the device: the next first opener clears an owner that died with it, so a fresh
// object is not reported abandoned.
//
// Nothing here needs robust process-shared mutexes or /proc, which user-mode emulators and
// several POSIX systems lack: only threads of one process and kernel file locks.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/core_library/card_path.h"
#include "host/core_library/handle_table.h"
#include "host/core_library/named_objects.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kOwned = 1;  // the first byte of a named mutex's file while an owner holds it
// Waiting with a time limit polls the file lock, which has no time limit of its own; the pause
// between attempts doubles from the first to the longest.
constexpr auto kFirstPoll = std::chrono::microseconds(500);
constexpr auto kLongestPoll = std::chrono::milliseconds(8);

struct MutexState {
  std::mutex guard;
  std::condition_variable released;
  // The owning thread; set from the moment a thread of this process claims the mutex, while
  // it still waits for the file lock of a named one (depth 0).
  std::thread::id owner;
  std::uint32_t depth = 0;
  bool abandoned = false;      // unnamed: its owner ended holding it
  std::filesystem::path file;  // named: the file shared by the processes; empty otherwise
  int descriptor = -1;         // named: this process's descriptor of the file, used by owners
};

// Every state of the process, never freed: a thread may still own a mutex whose handles are
// all closed.
struct MutexRegistry {
  std::mutex lock;
  std::unordered_map<std::string, MutexState*> named;  // by holders path
  std::vector<MutexState*> all;
};

MutexRegistry& Registry() {
  static MutexRegistry* registry = new MutexRegistry;
  return *registry;
}

// The mutexes a thread owns; the ones still owned when it ends are abandoned.
struct OwnedByThread {
  std::vector<MutexState*> states;
  ~OwnedByThread();
};
thread_local OwnedByThread ownedByThread;

OwnedByThread::~OwnedByThread() {
  for (MutexState* state : states) {
    std::lock_guard hold(state->guard);
    state->owner = std::thread::id();
    state->depth = 0;
    if (state->file.empty())
      state->abandoned = true;
    else
      ::flock(state->descriptor, LOCK_UN);  // the owned byte stays set: abandoned
    state->released.notify_all();
  }
}

// A child process owns none of its parent's mutexes. Its copies of the parent's descriptors
// share the parent's flocks, so the child closes them and opens its own when it needs them.
// Every guard is held across fork(), so the child finds them all unlocked and consistent.
void BeforeFork() {
  Registry().lock.lock();
  for (MutexState* state : Registry().all) state->guard.lock();
}

void AfterForkInParent() {
  for (MutexState* state : Registry().all) state->guard.unlock();
  Registry().lock.unlock();
}

void AfterForkInChild() {
  for (MutexState* state : Registry().all) {
    state->owner = std::thread::id();
    state->depth = 0;
    if (state->descriptor >= 0) ::close(state->descriptor);
    state->descriptor = -1;
    state->guard.unlock();
  }
  ownedByThread.states.clear();
  Registry().lock.unlock();
}

MutexState* NewState(std::filesystem::path file) {
  static std::once_flag forkHandlers;
  std::call_once(forkHandlers,
                 [] { pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild); });
  auto* state = new MutexState;
  state->file = std::move(file);
  Registry().all.push_back(state);  // under Registry().lock
  return state;
}

// Takes the flock of a named mutex for its claiming thread, by `deadline` (nullopt: no limit);
// whether the previous owner ended holding it, or nullopt when the lock was not taken.
std::optional<bool> LockFile(MutexState& state, std::optional<Clock::time_point> deadline,
                             DWORD* failure) {
  *failure = WAIT_FAILED;
  if (state.descriptor < 0)
    state.descriptor = ::open(state.file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (state.descriptor < 0) return std::nullopt;
  auto pause = std::chrono::duration_cast<Clock::duration>(kFirstPoll);
  for (;;) {
    if (::flock(state.descriptor, deadline ? LOCK_EX | LOCK_NB : LOCK_EX) == 0) break;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return std::nullopt;
    const auto now = Clock::now();
    if (now >= *deadline) {
      *failure = WAIT_TIMEOUT;
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::min(pause, *deadline - now));
    pause = std::min<Clock::duration>(pause * 2, kLongestPoll);
  }
  char owned = 0;
  const bool abandoned = ::pread(state.descriptor, &owned, 1, 0) == 1 && owned != 0;
  if (::pwrite(state.descriptor, &kOwned, 1, 0) != 1) {
    ::flock(state.descriptor, LOCK_UN);
    return std::nullopt;
  }
  return abandoned;
}

// With no handle open anywhere the object counts as new: an owner that died with it is
// forgotten. A live owner (a thread that closed its handles but still owns it) keeps it.
void ClearDeadOwner(const std::filesystem::path& file) {
  const int descriptor = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) return;
  if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
    constexpr char kFree = 0;
    [[maybe_unused]] const ssize_t written = ::pwrite(descriptor, &kFree, 1, 0);
  }
  ::close(descriptor);  // also drops the flock
}

class MutexObject : public KernelObject {
 public:
  MutexObject(MutexState* state, std::filesystem::path holders)
      : KernelObject(ObjectKind::Mutex), state_(state), holders_(std::move(holders)) {}
  ~MutexObject() override {
    if (!holders_.empty()) Holders().Leave(holders_);
  }

  DWORD Wait(DWORD milliseconds) override {
    std::optional<Clock::time_point> deadline;
    if (milliseconds != INFINITE) deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    MutexState& state = *state_;
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock hold(state.guard);
    if (state.owner == self) {
      if (state.depth == std::numeric_limits<std::uint32_t>::max()) {
        SetLastError(ERROR_INVALID_HANDLE);  // too deep a recursion
        return WAIT_FAILED;
      }
      ++state.depth;
      return WAIT_OBJECT_0;
    }
    const auto unowned = [&state] { return state.owner == std::thread::id(); };
    if (!deadline)
      state.released.wait(hold, unowned);
    else if (!state.released.wait_until(hold, *deadline, unowned))
      return WAIT_TIMEOUT;
    state.owner = self;
    bool abandoned = std::exchange(state.abandoned, false);
    if (!state.file.empty()) {
      // Only the claiming thread uses the descriptor; the other threads wait for the claim.
      hold.unlock();
      DWORD failure = WAIT_FAILED;
      const std::optional<bool> taken = LockFile(state, deadline, &failure);
      hold.lock();
      if (!taken) {
        state.owner = std::thread::id();
        state.released.notify_all();
        if (failure == WAIT_FAILED) SetLastError(ERROR_INVALID_HANDLE);
        return failure;
      }
      abandoned = *taken;
    }
    state.depth = 1;
    ownedByThread.states.push_back(state_);
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
  }

  BOOL Release() {
    MutexState& state = *state_;
    std::lock_guard hold(state.guard);
    if (state.owner != std::this_thread::get_id() || state.depth == 0) {
      SetLastError(ERROR_NOT_OWNER);
      return FALSE;
    }
    if (--state.depth > 0) return TRUE;
    if (!state.file.empty()) {
      constexpr char kFree = 0;
      [[maybe_unused]] const ssize_t written = ::pwrite(state.descriptor, &kFree, 1, 0);
      ::flock(state.descriptor, LOCK_UN);
    }
    state.owner = std::thread::id();
    std::erase(ownedByThread.states, state_);
    state.released.notify_all();
    return TRUE;
  }

 private:
  MutexState* state_;
  std::filesystem::path holders_;  // empty for an unnamed mutex
};

HANDLE CreateUnnamed(BOOL initialOwner) {
  MutexState* state = nullptr;
  {
    std::lock_guard guard(Registry().lock);
    state = NewState(std::filesystem::path());
  }
  auto object = std::make_shared<MutexObject>(state, std::filesystem::path());
  if (initialOwner) object->Wait(0);
  SetLastError(ERROR_SUCCESS);
  return OpenHandle(std::move(object));
}

}  // namespace
}  // namespace host

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL initialOwner, LPCWSTR name) {
  if (name == nullptr) return host::CreateUnnamed(initialOwner);
  const std::optional<std::string> stem = host::ObjectFileStem(host::ViewOf(name));
  if (!stem) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  const auto directory = host::ObjectDirectory(sim::CurrentDevice(), "mutex");
  if (!directory) return nullptr;
  const std::filesystem::path holders = *directory / (*stem + ".holders");
  const std::filesystem::path file = *directory / (*stem + ".mutex");

  host::MutexState* state = nullptr;
  {
    host::MutexRegistry& registry = host::Registry();
    std::lock_guard guard(registry.lock);
    host::MutexState*& named = registry.named[holders.string()];
    if (named == nullptr) named = host::NewState(file);
    state = named;
  }
  const std::optional<bool> existed = host::Holders().Enter(holders, [&](bool heldBefore) {
    if (!heldBefore) host::ClearDeadOwner(file);
    return true;
  });
  if (!existed) return nullptr;
  auto object = std::make_shared<host::MutexObject>(state, holders);
  // An existing mutex is returned as it is: the caller does not become its owner.
  if (initialOwner && !*existed) object->Wait(0);
  const HANDLE handle = host::OpenHandle(std::move(object));
  SetLastError(*existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL ReleaseMutex(HANDLE mutex) {
  const auto object = host::LookupHandleOf<host::MutexObject>(mutex, host::ObjectKind::Mutex);
  if (object == nullptr) return FALSE;
  return object->Release();
}

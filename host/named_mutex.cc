// Mutexes: process-shared, robust, recursive pthread mutexes.
//
// A named mutex lives in DIR/.kernel/mutex/<name>.mutex, one small file mapped MAP_SHARED by
// every process that opens the name; its holders are kept as in named_objects.h. The owning
// thread may take it again (one release per acquisition). When the owner ends while holding
// it, the next waiter gets it with WAIT_ABANDONED. When nobody holds a handle to a name, the
// object is gone, as on the device: the next first opener clears an owner that died with it,
// so a fresh object is not reported abandoned.
//
// The shared memory of a mutex stays mapped until the process ends, even after its last handle
// is closed: a thread may still own it (closing a handle does not release ownership), and the
// C library keeps owned robust mutexes on a per-thread list that must stay readable.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "host/card_path.h"
#include "host/handle_table.h"
#include "host/named_objects.h"

namespace host {
namespace {

constexpr std::uint32_t kMutexMagic = 0x4D555458;  // "MUTX": the mutex below is initialised

struct SharedMutex {
  std::atomic<std::uint32_t> magic;
  pthread_mutex_t mutex;
};

bool Initialise(pthread_mutex_t* mutex, bool shared) {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return false;
  bool done = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) == 0 &&
              pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
              pthread_mutexattr_setpshared(
                  &attributes, shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE) == 0;
  done = done && pthread_mutex_init(mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  return done;
}

// An owner that died leaves the mutex to be recovered by the next locker; with no handle open
// anywhere the object counts as new, so recover it now and leave it free.
void ClearDeadOwner(pthread_mutex_t* mutex) {
  const int result = pthread_mutex_trylock(mutex);
  if (result == EOWNERDEAD) {
    pthread_mutex_consistent(mutex);
    pthread_mutex_unlock(mutex);
  } else if (result == 0) {
    pthread_mutex_unlock(mutex);
  }
}

class MutexObject : public KernelObject {
 public:
  MutexObject(pthread_mutex_t* mutex, std::filesystem::path holders)
      : KernelObject(ObjectKind::Mutex), mutex_(mutex), holders_(std::move(holders)) {}
  ~MutexObject() override {
    if (!holders_.empty()) Holders().Leave(holders_);
  }

  DWORD Wait(DWORD milliseconds) override {
    int result = 0;
    if (milliseconds == 0) {
      result = pthread_mutex_trylock(mutex_);
    } else if (milliseconds == INFINITE) {
      result = pthread_mutex_lock(mutex_);
    } else {
      timespec deadline{};
      clock_gettime(CLOCK_MONOTONIC, &deadline);
      deadline.tv_sec += milliseconds / 1000;
      deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
      }
      do {
        result = pthread_mutex_clocklock(mutex_, CLOCK_MONOTONIC, &deadline);
      } while (result == EINTR);
    }
    switch (result) {
      case 0:
        return WAIT_OBJECT_0;
      case EOWNERDEAD:
        pthread_mutex_consistent(mutex_);
        return WAIT_ABANDONED;
      case EBUSY:
      case ETIMEDOUT:
        return WAIT_TIMEOUT;
      default:
        SetLastError(ERROR_INVALID_HANDLE);  // EAGAIN (too deep a recursion), not recoverable
        return WAIT_FAILED;
    }
  }

  BOOL Release() {
    if (pthread_mutex_unlock(mutex_) != 0) {
      SetLastError(ERROR_NOT_OWNER);
      return FALSE;
    }
    return TRUE;
  }

 private:
  pthread_mutex_t* mutex_;
  std::filesystem::path holders_;  // empty for an unnamed mutex
};

struct MutexState {
  std::mutex lock;
  std::unordered_map<std::string, SharedMutex*> mapped;  // by holders path, never unmapped
};

MutexState& State() {
  static MutexState* state = new MutexState;
  return *state;
}

SharedMutex* MapShared(const std::filesystem::path& path) {
  const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) return nullptr;
  void* memory = MAP_FAILED;
  if (::ftruncate(descriptor, sizeof(SharedMutex)) == 0)
    memory =
        ::mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
  ::close(descriptor);
  return memory == MAP_FAILED ? nullptr : static_cast<SharedMutex*>(memory);
}

HANDLE CreateUnnamed(BOOL initialOwner) {
  // Kept for the life of the process, for the same reason as the shared ones.
  auto* memory = new SharedMutex{};
  static std::mutex keptLock;
  static auto* kept = new std::vector<SharedMutex*>;
  {
    std::lock_guard guard(keptLock);
    kept->push_back(memory);
  }
  if (!Initialise(&memory->mutex, false)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto object = std::make_shared<MutexObject>(&memory->mutex, std::filesystem::path());
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

  host::MutexState& state = host::State();
  std::lock_guard guard(state.lock);
  host::SharedMutex*& shared = state.mapped[holders.string()];
  const std::optional<bool> existed = host::Holders().Enter(holders, [&](bool heldBefore) {
    if (shared == nullptr) shared = host::MapShared(*directory / (*stem + ".mutex"));
    if (shared == nullptr) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    }
    if (shared->magic.load() != host::kMutexMagic) {
      if (!host::Initialise(&shared->mutex, true)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
      }
      shared->magic.store(host::kMutexMagic);
    } else if (!heldBefore) {
      host::ClearDeadOwner(&shared->mutex);
    }
    return true;
  });
  if (!existed) return nullptr;
  auto object = std::make_shared<host::MutexObject>(&shared->mutex, holders);
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

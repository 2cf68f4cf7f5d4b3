#include "host/core_library/handle_table.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace host {
namespace {

// Handles start above the values that stand for "none" (0 and -1) and step by 4 as the device's
// do; they are never reused, so a stale handle fails instead of reaching a newer object.
constexpr std::uintptr_t kFirstHandle = 0x1000;
constexpr std::uintptr_t kHandleStep = 4;

struct HandleTable {
  std::mutex lock;
  std::uintptr_t next = kFirstHandle;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
};

HandleTable& Table() {
  // Never destroyed: detached threads may still close handles while the process ends.
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

DWORD KernelObject::Wait(DWORD /*milliseconds*/) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

HANDLE OpenHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  const std::uintptr_t value = table.next;
  table.next += kHandleStep;
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard guard(table.lock);
  const auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  if (found == table.objects.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return found->second;
}

}  // namespace host

BOOL CloseHandle(HANDLE object) {
  std::shared_ptr<host::KernelObject> released;
  {
    host::HandleTable& table = host::Table();
    std::lock_guard guard(table.lock);
    const auto found = table.objects.find(reinterpret_cast<std::uintptr_t>(object));
    if (found == table.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    released = std::move(found->second);
    table.objects.erase(found);
  }
  // The object's own clean-up (closing a descriptor, leaving a registry) runs outside the table
  // lock when this was its last reference.
  released.reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  const std::shared_ptr<host::KernelObject> target = host::LookupHandle(object);
  if (target == nullptr) return WAIT_FAILED;
  return target->Wait(milliseconds);
}

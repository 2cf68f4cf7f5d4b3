// The process's table of kernel object handles.
//
// A HANDLE is an opaque number (a multiple of 4, never 0 or INVALID_HANDLE_VALUE, never reused
// within a process) that names one reference to a KernelObject. Several handles may refer to the
// same object (a second CreateMutexW of a name); the object lives while a handle or anything else
// (a mapped view) holds it.
#pragma once

#include <memory>

#include "platform/core_library.h"

namespace host {

enum class ObjectKind { File, FileMapping, Mutex, Thread };

class KernelObject {
 public:
  explicit KernelObject(ObjectKind kind) : kind_(kind) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  ObjectKind Kind() const { return kind_; }

  // WaitForSingleObject on this object: WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT, or
  // WAIT_FAILED with the last error set. Objects that cannot be waited for fail with
  // ERROR_INVALID_HANDLE.
  virtual DWORD Wait(DWORD milliseconds);

 private:
  ObjectKind kind_;
};

// Enters `object` into the table and returns its new handle.
HANDLE OpenHandle(std::shared_ptr<KernelObject> object);

// The object behind `handle`, or null (last error ERROR_INVALID_HANDLE) when the handle is not
// open or names an object of another kind.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <typename Object>
std::shared_ptr<Object> LookupHandleOf(HANDLE handle, ObjectKind kind) {
  std::shared_ptr<KernelObject> object = LookupHandle(handle);
  if (object == nullptr || object->Kind() != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return std::static_pointer_cast<Object>(object);
}

}  // namespace host

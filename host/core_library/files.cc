#include "host/core_library/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "host/core_library/card_path.h"

namespace host {
namespace {

constexpr DWORD kKnownAccess = GENERIC_READ | GENERIC_WRITE;

int OpenFlags(DWORD access) {
  if ((access & GENERIC_READ) != 0 && (access & GENERIC_WRITE) != 0) return O_RDWR;
  if ((access & GENERIC_WRITE) != 0) return O_WRONLY;
  return O_RDONLY;
}

int CreationFlags(DWORD disposition) {
  switch (disposition) {
    case CREATE_NEW:
      return O_CREAT | O_EXCL;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
      return O_CREAT;
    default:
      return 0;
  }
}

}  // namespace

FileObject::~FileObject() {
  ::close(descriptor_);
}

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return ERROR_PATH_NOT_FOUND;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EWOULDBLOCK:
      return ERROR_SHARING_VIOLATION;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EIO:
      return ERROR_READ_FAULT;
    case EMFILE:
    case ENFILE:
      return ERROR_OPEN_FAILED;
    default:
      return ERROR_OPEN_FAILED;
  }
}

}  // namespace host

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES /*securityAttributes*/, DWORD creationDisposition,
                   DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
  if ((desiredAccess & ~host::kKnownAccess) != 0 || creationDisposition < CREATE_NEW ||
      creationDisposition > TRUNCATE_EXISTING ||
      (creationDisposition == TRUNCATE_EXISTING && (desiredAccess & GENERIC_WRITE) == 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::optional<std::filesystem::path> path = host::CardPath(fileName);
  if (!path) return INVALID_HANDLE_VALUE;

  // O_NONBLOCK keeps a FIFO from stalling the open; anything but a regular file is refused.
  const bool existed = ::access(path->c_str(), F_OK) == 0;
  const int descriptor =
      ::open(path->c_str(),
             host::OpenFlags(desiredAccess) | host::CreationFlags(creationDisposition) | O_CLOEXEC |
                 O_NONBLOCK,
             0644);
  if (descriptor < 0) {
    DWORD error = host::ErrorFromErrno(errno);
    if (error == ERROR_FILE_NOT_FOUND && ::access(path->parent_path().c_str(), F_OK) != 0)
      error = ERROR_PATH_NOT_FOUND;
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  auto fail = [descriptor](DWORD error) {
    ::close(descriptor);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  };
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
    return fail(ERROR_ACCESS_DENIED);
  // A file nobody may write carries the read-only attribute: it does not open for writing,
  // whoever asks (root would pass the permission check of open itself).
  if ((desiredAccess & GENERIC_WRITE) != 0 && host::IsReadOnly(status))
    return fail(ERROR_ACCESS_DENIED);
  ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);

  if ((desiredAccess & host::kKnownAccess) != 0) {
    const int lock = (shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE)) == 0 ? LOCK_EX : LOCK_SH;
    int result = 0;
    do {
      result = ::flock(descriptor, lock | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0)
      return fail(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED);
  }
  // Truncation waits for the sharing check: a file held without sharing stays intact.
  if ((creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING) &&
      ::ftruncate(descriptor, 0) != 0)
    return fail(host::ErrorFromErrno(errno));

  const HANDLE handle =
      host::OpenHandle(std::make_shared<host::FileObject>(descriptor, *path, desiredAccess));
  const bool reportExisting =
      existed && (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS);
  SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh) {
  const auto object = host::LookupHandleOf<host::FileObject>(file, host::ObjectKind::File);
  if (object == nullptr) return INVALID_FILE_SIZE;
  struct stat status {};
  if (::fstat(object->Descriptor(), &status) != 0) {
    SetLastError(ERROR_READ_FAULT);
    return INVALID_FILE_SIZE;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (fileSizeHigh != nullptr) *fileSizeHigh = static_cast<DWORD>(size >> 32);
  // A size whose low half is 0xFFFFFFFF is told apart from a failure by the last error.
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

// Open files of the host platform.
//
// A file handle holds one open descriptor of a file on the card. Sharing is enforced with a
// flock on that descriptor, so it holds between handles of one process and between processes
// alike and ends with the descriptor (also when a process dies): an opener that reads or writes
// with share mode 0 takes the lock exclusively, every other reading or writing opener takes it
// shared, and an opener that cannot get its lock fails with ERROR_SHARING_VIOLATION. Non-zero
// share modes are not told apart (any of them lets every other sharing opener in). An opener
// with access 0 only asks about the file and takes no lock, as on the device.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "host/core_library/handle_table.h"

namespace host {

class FileObject : public KernelObject {
 public:
  FileObject(int descriptor, std::filesystem::path path, DWORD access)
      : KernelObject(ObjectKind::File),
        descriptor_(descriptor),
        path_(std::move(path)),
        access_(access) {}
  ~FileObject() override;

  int Descriptor() const { return descriptor_; }
  const std::filesystem::path& Path() const { return path_; }
  bool CanRead() const { return (access_ & GENERIC_READ) != 0; }
  bool CanWrite() const { return (access_ & GENERIC_WRITE) != 0; }

 private:
  int descriptor_;
  std::filesystem::path path_;
  DWORD access_;
};

// The platform error for an errno value of a failed file operation.
DWORD ErrorFromErrno(int error);

// The read-only attribute: a file without any write permission bit. Such a file does not
// open for writing and is not replaced by a copy (ERROR_ACCESS_DENIED), for every user;
// a copy of it is read-only as well, since a copy keeps the source's permissions.
inline bool IsReadOnly(const struct stat& status) {
  return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace host

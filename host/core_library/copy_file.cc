// CopyFileExW: the copy is written to a hidden temporary file next to the destination and
// renamed over it only when complete, so a failed or cancelled copy (missing source, full card,
// read or write error, progress routine cancelling) leaves any old destination as it was and
// nothing half-written under its name.
//
// The progress routine is called once before the first byte (CALLBACK_STREAM_SWITCH, 0 bytes)
// and after every chunk (CALLBACK_CHUNK_FINISHED), the last time with the full size. It gets
// no file handles (null): the system never uses them.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "host/core_library/card_path.h"
#include "host/core_library/disk_space.h"
#include "host/core_library/files.h"

namespace host {
namespace {

constexpr std::size_t kCopyChunk = 1024 * 1024;
// Temporary names: ".<destination name>.copy-in-progress-<pid>-<n>".
constexpr std::string_view kTemporaryMarker = ".copy-in-progress-";

std::atomic<std::uint64_t> temporaryCounter{0};

class Descriptor {
 public:
  explicit Descriptor(int value = -1) : value_(value) {}
  ~Descriptor() {
    if (value_ >= 0) ::close(value_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const { return value_; }
  int Release() {
    const int value = value_;
    value_ = -1;
    return value;
  }

 private:
  int value_;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool AllZero(const char* data, std::size_t length) {
  return std::all_of(data, data + length, [](char c) { return c == 0; });
}

LARGE_INTEGER Large(std::uint64_t value) {
  LARGE_INTEGER result{};
  result.QuadPart = static_cast<LONGLONG>(value);
  return result;
}

// Removes temporary files that copies of processes that no longer run left behind (a process
// killed mid-copy), so that they do not keep taking the card's space.
void RemoveAbandonedTemporaries(const std::filesystem::path& directory) {
  std::error_code code;
  for (std::filesystem::directory_iterator entry(directory, code), end; !code && entry != end;
       entry.increment(code)) {
    const std::string name = entry->path().filename().string();
    const std::size_t marker = name.rfind(kTemporaryMarker);
    if (name.empty() || name[0] != '.' || marker == std::string::npos) continue;
    const long pid = std::strtol(name.c_str() + marker + kTemporaryMarker.size(), nullptr, 10);
    if (pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      std::error_code ignored;
      std::filesystem::remove(entry->path(), ignored);
    }
  }
}

// Opens the source for reading, shared: a file held without sharing cannot be copied.
int OpenSource(const std::filesystem::path& path, DWORD* error) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (descriptor < 0) {
    *error = ErrorFromErrno(errno);
    if (*error == ERROR_FILE_NOT_FOUND && ::access(path.parent_path().c_str(), F_OK) != 0)
      *error = ERROR_PATH_NOT_FOUND;
    return -1;
  }
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(descriptor);
    *error = ERROR_ACCESS_DENIED;
    return -1;
  }
  ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
  if (::flock(descriptor, LOCK_SH | LOCK_NB) != 0) {
    ::close(descriptor);
    *error = ERROR_SHARING_VIOLATION;
    return -1;
  }
  return descriptor;
}

// An existing destination that is open for reading or writing is in use, and one that is
// read-only is kept: neither is replaced.
DWORD CheckDestination(const std::filesystem::path& path, DWORD copyFlags) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return ERROR_SUCCESS;
    return ErrorFromErrno(errno);
  }
  if ((copyFlags & COPY_FILE_FAIL_IF_EXISTS) != 0) return ERROR_FILE_EXISTS;
  if (!S_ISREG(status.st_mode) || IsReadOnly(status)) return ERROR_ACCESS_DENIED;
  const Descriptor descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (descriptor.Get() < 0) return ErrorFromErrno(errno);
  if (::flock(descriptor.Get(), LOCK_EX | LOCK_NB) != 0) return ERROR_SHARING_VIOLATION;
  return ERROR_SUCCESS;
}

DWORD WriteAll(int descriptor, const char* data, std::size_t length, off_t offset) {
  while (length > 0) {
    const ssize_t written = ::pwrite(descriptor, data, length, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
    }
    data += written;
    length -= static_cast<std::size_t>(written);
    offset += written;
  }
  return ERROR_SUCCESS;
}

// Copies `size` bytes from `source` to `target`, reporting progress. Chunks of zeros are left as
// holes in the target, which reads the same and keeps large sparse test files cheap.
DWORD CopyContent(int source, int target, std::uint64_t size, LPPROGRESS_ROUTINE progressRoutine,
                  LPVOID data, const BOOL* cancel) {
  bool report = progressRoutine != nullptr;
  auto call = [&](std::uint64_t done, DWORD reason) {
    if (!report) return ERROR_SUCCESS;
    const DWORD answer = progressRoutine(Large(size), Large(done), Large(size), Large(done), 1,
                                         reason, nullptr, nullptr, data);
    if (answer == PROGRESS_CANCEL || answer == PROGRESS_STOP) return ERROR_REQUEST_ABORTED;
    if (answer == PROGRESS_QUIET) report = false;
    return ERROR_SUCCESS;
  };
  if (const DWORD error = call(0, CALLBACK_STREAM_SWITCH); error != ERROR_SUCCESS) return error;

  std::vector<char> buffer;
  bool inKernel = true;  // copy_file_range until the file system refuses it
  std::uint64_t done = 0;
  while (done < size) {
    if (cancel != nullptr && *cancel) return ERROR_REQUEST_ABORTED;
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, size - done));
    if (inKernel) {
      // The kernel copies the chunk without bringing it through this process.
      std::size_t copied = 0;
      while (copied < wanted) {
        // loff_t is 64 bits wide on every target, whatever the width of off_t.
        auto from = static_cast<loff_t>(done + copied);
        auto to = from;
        const ssize_t count = ::copy_file_range(source, &from, target, &to, wanted - copied, 0);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && copied == 0 && done == 0 &&
            (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL)) {
          inKernel = false;
          break;
        }
        if (count < 0)
          return errno == ENOSPC || errno == EDQUOT ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
        if (count == 0) return ERROR_READ_FAULT;  // the source shrank under us
        copied += static_cast<std::size_t>(count);
      }
      if (inKernel) {
        done += copied;
        if (const DWORD error = call(done, CALLBACK_CHUNK_FINISHED); error != ERROR_SUCCESS)
          return error;
        continue;
      }
    }
    if (buffer.empty()) buffer.resize(kCopyChunk);
    std::size_t got = 0;
    while (got < wanted) {
      const ssize_t count =
          ::pread(source, buffer.data() + got, wanted - got, static_cast<off_t>(done + got));
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) return ERROR_READ_FAULT;  // an error, or the source shrank under us
      got += static_cast<std::size_t>(count);
    }
    if (!AllZero(buffer.data(), got)) {
      if (const DWORD error = WriteAll(target, buffer.data(), got, static_cast<off_t>(done));
          error != ERROR_SUCCESS)
        return error;
    }
    done += got;
    if (const DWORD error = call(done, CALLBACK_CHUNK_FINISHED); error != ERROR_SUCCESS)
      return error;
  }
  if (::ftruncate(target, static_cast<off_t>(size)) != 0)
    return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
  if (cancel != nullptr && *cancel) return ERROR_REQUEST_ABORTED;
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace host

BOOL CopyFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, LPPROGRESS_ROUTINE progressRoutine,
                 LPVOID data, BOOL* cancel, DWORD copyFlags) {
  const std::optional<std::filesystem::path> sourcePath = host::CardPath(existingFileName);
  if (!sourcePath) return FALSE;
  const std::optional<std::filesystem::path> targetPath = host::CardPath(newFileName);
  if (!targetPath) return FALSE;
  if (*targetPath == sim::CurrentDevice().Card()) return host::Fail(ERROR_ACCESS_DENIED);

  DWORD error = ERROR_SUCCESS;
  const host::Descriptor source(host::OpenSource(*sourcePath, &error));
  if (source.Get() < 0) return host::Fail(error);
  struct stat sourceStatus {};
  if (::fstat(source.Get(), &sourceStatus) != 0) return host::Fail(ERROR_READ_FAULT);
  const auto size = static_cast<std::uint64_t>(sourceStatus.st_size);

  const std::filesystem::path directory = targetPath->parent_path();
  std::error_code code;
  if (!std::filesystem::is_directory(directory, code)) return host::Fail(ERROR_PATH_NOT_FOUND);
  if (error = host::CheckDestination(*targetPath, copyFlags); error != ERROR_SUCCESS)
    return host::Fail(error);

  host::RemoveAbandonedTemporaries(directory);
  // The old destination stays until the rename, so the whole copy must fit beside it.
  const sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig(sim::CurrentDevice());
  if (!config) return host::Fail(ERROR_NOT_READY);
  if (config.value->cardCapacity) {
    const std::optional<host::CardSpace> space = host::CurrentCardSpace(sim::CurrentDevice());
    if (!space) return FALSE;
    if (size > space->free) return host::Fail(ERROR_DISK_FULL);
  }

  const std::filesystem::path temporary =
      directory / ("." + targetPath->filename().string() + std::string(host::kTemporaryMarker) +
                   std::to_string(::getpid()) + "-" + std::to_string(++host::temporaryCounter));
  host::Descriptor target(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                                 sourceStatus.st_mode & 0777));
  if (target.Get() < 0) return host::Fail(host::ErrorFromErrno(errno));

  error = host::CopyContent(source.Get(), target.Get(), size, progressRoutine, data, cancel);
  if (error == ERROR_SUCCESS && ::close(target.Release()) != 0) error = ERROR_WRITE_FAULT;
  if (error == ERROR_SUCCESS && ::rename(temporary.c_str(), targetPath->c_str()) != 0)
    error = host::ErrorFromErrno(errno);
  if (error != ERROR_SUCCESS) {
    std::filesystem::remove(temporary, code);
    return host::Fail(error);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

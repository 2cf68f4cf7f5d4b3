#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "sim/system.h"

namespace sim::system {
namespace {

std::uint8_t* MapShared(int descriptor, std::uint64_t bytes) {
  void* mapping = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
  return mapping == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(mapping);
}

}  // namespace

// An unlinked temporary file rather than anonymous memory, so that the flash window can map the
// same bytes read-only (and hide them) while the chip writes them through its own mapping.
bool CreatePrivateArray(std::uint64_t bytes, SharedArray& array, std::string* error) {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvanta-nor-XXXXXX").string();
  const int descriptor = ::mkstemp(pattern.data());
  array.handle = descriptor;
  if (descriptor >= 0) ::unlink(pattern.c_str());
  if (descriptor >= 0 && ::ftruncate(descriptor, static_cast<off_t>(bytes)) == 0)
    array.bytes = MapShared(descriptor, bytes);
  if (array.bytes == nullptr) {
    if (error) *error = pattern + ": " + std::strerror(errno);
    return false;
  }
  array.size = bytes;
  return true;
}

bool MapArrayFile(const std::filesystem::path& file, std::uint64_t bytes, SharedArray& array,
                  std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  const int descriptor = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  array.handle = descriptor;
  if (descriptor < 0) return fail(std::strerror(errno));
  struct stat info {};
  if (::fstat(descriptor, &info) != 0) return fail(std::strerror(errno));
  if (static_cast<std::uint64_t>(info.st_size) != bytes)
    return fail("size " + std::to_string(info.st_size) + ", the geometry needs " +
                std::to_string(bytes));
  array.bytes = MapShared(descriptor, bytes);
  if (array.bytes == nullptr) return fail(std::strerror(errno));
  array.size = bytes;
  return true;
}

void ReleaseArray(SharedArray& array) {
  if (array.bytes != nullptr) ::munmap(array.bytes, array.size);
  if (array.handle >= 0) ::close(static_cast<int>(array.handle));
  array = SharedArray{};
}

std::uint8_t* MapWindow(ArrayHandle handle, std::uint64_t arrayBytes, std::size_t windowBytes,
                        std::string* error) {
  const auto fail = [&](const char* what) -> std::uint8_t* {
    if (error) *error = std::string("flash window: ") + what + ": " + std::strerror(errno);
    return nullptr;
  };
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* area =
      ::mmap(nullptr, windowBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return fail("cannot reserve");
  std::memset(area, 0xFF, windowBytes);
  const auto failMapped = [&](const char* what) {
    const int failure = errno;
    ::munmap(area, windowBytes);
    errno = failure;
    return fail(what);
  };
  if (::mprotect(area, windowBytes, PROT_READ) != 0) return failMapped("cannot protect");
  const std::uint64_t shownBytes = arrayBytes < windowBytes ? arrayBytes : windowBytes;
  // Rounded up to whole pages: the bytes of the last page past the end of the array read 0.
  const std::size_t shared = static_cast<std::size_t>((shownBytes + page - 1) / page * page);
  if (shared != 0 && ::mmap(area, shared, PROT_READ, MAP_SHARED | MAP_FIXED,
                            static_cast<int>(handle), 0) == MAP_FAILED)
    return failMapped("cannot map the array");
  return static_cast<std::uint8_t*>(area);
}

void UnmapWindow(std::uint8_t* base, std::uint64_t, std::size_t windowBytes) {
  ::munmap(base, windowBytes);
}

bool ProtectWindow(std::uint8_t* base, std::uint64_t, std::size_t windowBytes, bool readable) {
  return ::mprotect(base, windowBytes, readable ? PROT_READ : PROT_NONE) == 0;
}

namespace {

FaultRoutine faultRoutine = nullptr;
struct sigaction previousAction {};

void HandleFault(int signal, siginfo_t* info, void* context) {
  switch (faultRoutine(info->si_addr)) {
    case FaultAnswer::Retry:
      return;
    case FaultAnswer::Fatal:
      std::abort();
    case FaultAnswer::NotOurs:
      break;
  }
  // Not ours: the earlier handler, or the default action when the access is retried.
  if ((previousAction.sa_flags & SA_SIGINFO) != 0 && previousAction.sa_sigaction != nullptr) {
    previousAction.sa_sigaction(signal, info, context);
  } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
    previousAction.sa_handler(signal);
  } else {
    ::sigaction(SIGSEGV, &previousAction, nullptr);
  }
}

}  // namespace

void InstallFaultHandler(FaultRoutine routine) {
  static std::once_flag installed;
  std::call_once(installed, [routine] {
    faultRoutine = routine;
    struct sigaction action {};
    action.sa_sigaction = &HandleFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGSEGV, &action, &previousAction);
  });
}

void SayFromHandler(const char* text) {
  const std::size_t length = std::strlen(text);
  if (::write(STDERR_FILENO, text, length) < 0) return;
}

// One write(2) on an O_APPEND descriptor, so lines from several processes never mix, and fsync.
bool AppendDurably(const std::filesystem::path& file, const std::string& line,
                   std::string* error) {
  const int descriptor = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  const bool written =
      descriptor >= 0 &&
      ::write(descriptor, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  const int failure = errno;
  if (descriptor >= 0) {
    ::fsync(descriptor);
    ::close(descriptor);
  }
  if (!written && error) *error = std::strerror(failure);
  return written;
}

bool WriteInOnePiece(const std::filesystem::path& file, const std::string& bytes) {
  const int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool written =
      descriptor >= 0 &&
      ::write(descriptor, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  if (descriptor >= 0) ::close(descriptor);
  return written;
}

std::uint64_t ProcessId() {
  return static_cast<std::uint64_t>(::getpid());
}

void EndAbruptly(int status) {
  ::_exit(status);
}

std::uint64_t MonotonicNanoseconds(bool coarse) {
  timespec now{};
  ::clock_gettime(coarse ? CLOCK_MONOTONIC_COARSE : CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull +
         static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace sim::system

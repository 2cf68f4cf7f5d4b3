// Bookkeeping for named kernel objects shared by the processes of one device.
//
// Everything lives in DIR/.kernel/ of the device directory, outside the card, so two devices
// on one host never see each other's objects and none of it counts toward the card's space:
//
//   DIR/.kernel/<kind>/<name>.holders   one line "pid start-time" per process holding a handle
//   DIR/.kernel/<kind>/<name>.<suffix>  the object's own state (a mutex's shared memory, ...)
//
// <name> is the object's name in UTF-8 with every byte outside [A-Za-z0-9_-] written as %XX;
// a long name is cut and followed by a hash of the whole name. Names are case-sensitive.
// A process counts as holding an object while its record is in the holders file and a process
// with that pid and start time runs, so records of processes that died are ignored (and
// dropped by the next update).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/types.h"
#include "sim/device.h"

namespace host {

// The start time of process `pid` (in clock ticks since boot), nullopt when it does not run.
std::optional<std::uint64_t> ProcessStartTime(pid_t pid);

// The escaped file-name stem of an object name; nullopt for a lone surrogate.
std::optional<std::string> ObjectFileStem(std::u16string_view name);

// DIR/.kernel/<kind>, created when missing; nullopt with the last error set when the device
// directory is missing.
std::optional<std::filesystem::path> ObjectDirectory(const sim::DevicePaths& device,
                                                     std::string_view kind);

// An open file with an exclusive flock, released on destruction.
class LockedFile {
 public:
  explicit LockedFile(const std::filesystem::path& path);
  ~LockedFile();
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  bool IsOpen() const { return descriptor_ >= 0; }
  int Descriptor() const { return descriptor_; }

 private:
  int descriptor_ = -1;
};

// The processes holding handles to named objects, per object (its holders file). Handles of
// one process to the same object are counted in memory; the process enters the file with its
// first handle and leaves it with its last.
class NamedObjectHolders {
 public:
  // Counts one more handle of this process to the object whose holders file is `path`.
  // Returns whether the object existed before (a live holder other than this call), or nullopt
  // when the file cannot be used. Runs `whileLocked(existed)` under the file's lock, so that
  // setting up the object's state cannot race with another process's first open.
  template <typename Step>
  std::optional<bool> Enter(const std::filesystem::path& path, Step whileLocked);
  // Counts one handle less; the last one removes this process's record.
  void Leave(const std::filesystem::path& path);

 private:
  std::optional<bool> EnterLocked(const std::filesystem::path& path, const LockedFile& file);
  void LeaveLocked(const std::filesystem::path& path, const LockedFile& file);
  struct Count {
    pid_t process = 0;
    std::uint64_t handles = 0;
  };
  std::mutex lock_;
  std::unordered_map<std::string, Count> counts_;
};

NamedObjectHolders& Holders();

template <typename Step>
std::optional<bool> NamedObjectHolders::Enter(const std::filesystem::path& path, Step whileLocked) {
  std::lock_guard guard(lock_);
  LockedFile file(path);
  if (!file.IsOpen()) return std::nullopt;
  const std::optional<bool> existed = EnterLocked(path, file);
  if (!existed) return std::nullopt;
  if (!whileLocked(*existed)) {
    // Undo the count taken above: the object could not be set up.
    LeaveLocked(path, file);
    return std::nullopt;
  }
  return existed;
}

}  // namespace host

// Bookkeeping for named kernel objects shared by the processes of one device.
//
// Everything lives in DIR/.kernel/ of the device directory, outside the card, so two devices
// on one host never see each other's objects and none of it counts toward the card's space:
//
//   DIR/.kernel/<kind>/<name>.holders   the lock file of the processes holding a handle
//   DIR/.kernel/<kind>/<name>.<suffix>  the object's own state (a mutex's ownership, ...)
//
// <name> is the object's name in UTF-8 with every byte outside [A-Za-z0-9_-] written as %XX;
// a long name is cut and followed by a hash of the whole name. Names are case-sensitive.
//
// A process counts as holding an object while it keeps a shared record lock (fcntl) on byte 1
// of the holders file; byte 0, locked exclusively, serialises the processes that enter or leave.
// Record locks belong to the process: the kernel drops them when it ends, a forked child does
// not inherit them, and an exec drops them with the close-on-exec descriptor. So the holders of
// an object are exactly the live processes with handles to it, with nothing to read from /proc
// and nothing that user-mode emulators lack. Closing any descriptor of a file drops all of the
// process's record locks on it, so each process opens a holders file only here, once.
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

// The escaped file-name stem of an object name; nullopt for a lone surrogate.
std::optional<std::string> ObjectFileStem(std::u16string_view name);

// DIR/.kernel/<kind>, created when missing; nullopt with the last error set when the device
// directory is missing.
std::optional<std::filesystem::path> ObjectDirectory(const sim::DevicePaths& device,
                                                     std::string_view kind);

// The processes holding handles to named objects, per object (its holders file). Handles of
// one process to the same object are counted in memory; the process takes its lock on the file
// with its first handle and drops it with its last.
class NamedObjectHolders {
 public:
  // Counts one more handle of this process to the object whose holders file is `path`.
  // Returns whether the object existed before (a live holder other than this call), or nullopt
  // when the file cannot be used. Runs `whileLocked(existed)` under the file's lock, so that
  // setting up the object's state cannot race with another process's first open.
  template <typename Step>
  std::optional<bool> Enter(const std::filesystem::path& path, Step whileLocked);
  // Counts one handle less; the last one drops this process's lock on the file.
  void Leave(const std::filesystem::path& path);

 private:
  // This process's standing in one holders file.
  struct Standing {
    pid_t process = 0;  // the process the count belongs to (a forked child starts anew)
    std::uint64_t handles = 0;
    int descriptor = -1;  // open while handles > 0 or while the file is being updated
  };
  // The standing for `path` with its file open and byte 0 locked; nullptr with the last error
  // set when the file cannot be used.
  Standing* Lock(const std::filesystem::path& path);
  // Unlocks byte 0, and closes the file when this process holds no handle to the object.
  static void Unlock(Standing& standing);
  static std::optional<bool> EnterLocked(Standing& standing);
  static void LeaveLocked(Standing& standing);

  std::mutex lock_;
  std::unordered_map<std::string, Standing> standings_;
};

NamedObjectHolders& Holders();

template <typename Step>
std::optional<bool> NamedObjectHolders::Enter(const std::filesystem::path& path, Step whileLocked) {
  std::lock_guard guard(lock_);
  Standing* standing = Lock(path);
  if (standing == nullptr) return std::nullopt;
  std::optional<bool> existed = EnterLocked(*standing);
  if (existed && !whileLocked(*existed)) {
    // Undo the count taken above: the object could not be set up.
    LeaveLocked(*standing);
    existed.reset();
  }
  Unlock(*standing);
  return existed;
}

}  // namespace host

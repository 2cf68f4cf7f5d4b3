#include "host/core_library/named_objects.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "host/core_library/card_path.h"
#include "platform/core_library.h"

namespace host {
namespace {

// Longest escaped stem kept whole; longer ones are cut and given a hash, which keeps file
// names well below the host's 255-byte limit.
constexpr std::size_t kLongestStem = 160;
constexpr std::size_t kCutStem = 140;

// The bytes of a holders file that carry record locks.
constexpr off_t kSetupByte = 0;   // exclusive while a process enters or leaves
constexpr off_t kHolderByte = 1;  // shared by every process holding a handle

// Sets (or with F_UNLCK clears) this process's record lock of `type` on byte `start`.
bool SetRecordLock(int descriptor, short type, off_t start, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = 1;
  int result = 0;
  do {
    result = ::fcntl(descriptor, wait ? F_SETLKW : F_SETLK, &lock);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// Whether another process holds the object: a write lock on the holder byte would conflict
// with its shared lock. The process's own locks never conflict, so they are not seen.
std::optional<bool> OthersHold(int descriptor) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = kHolderByte;
  probe.l_len = 1;
  if (::fcntl(descriptor, F_GETLK, &probe) != 0) return std::nullopt;
  return probe.l_type != F_UNLCK;
}

}  // namespace

std::optional<std::string> ObjectFileStem(std::u16string_view name) {
  const std::optional<std::string> utf8 = Utf8FromUtf16(name);
  if (!utf8) return std::nullopt;
  std::string stem;
  for (const char c : *utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9') || byte == '_' || byte == '-') {
      stem += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      stem += escaped;
    }
  }
  if (stem.empty()) stem = "%";
  if (stem.size() > kLongestStem) {
    std::uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a over the whole UTF-8 name
    for (const char c : *utf8) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 0x100000001B3ull;
    }
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
    stem = stem.substr(0, kCutStem) + suffix;
  }
  return stem;
}

std::optional<std::filesystem::path> ObjectDirectory(const sim::DevicePaths& device,
                                                     std::string_view kind) {
  std::error_code code;
  if (!std::filesystem::is_directory(device.root, code)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  std::filesystem::path directory = std::filesystem::absolute(device.root, code) / ".kernel" / kind;
  std::filesystem::create_directories(directory, code);
  if (code) {
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  return directory.lexically_normal();
}

NamedObjectHolders::Standing* NamedObjectHolders::Lock(const std::filesystem::path& path) {
  Standing& standing = standings_[path.string()];
  const pid_t self = ::getpid();
  // A forked child inherits the parent's counts (and descriptor) but none of its locks.
  if (standing.process != self) {
    standing.process = self;
    standing.handles = 0;
  }
  if (standing.descriptor < 0)
    standing.descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (standing.descriptor >= 0 && SetRecordLock(standing.descriptor, F_WRLCK, kSetupByte, true))
    return &standing;
  if (standing.handles == 0 && standing.descriptor >= 0) {
    ::close(standing.descriptor);
    standing.descriptor = -1;
  }
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

void NamedObjectHolders::Unlock(Standing& standing) {
  if (standing.handles == 0) {
    ::close(standing.descriptor);  // drops every lock of this process on the file
    standing.descriptor = -1;
  } else {
    SetRecordLock(standing.descriptor, F_UNLCK, kSetupByte, false);
  }
}

std::optional<bool> NamedObjectHolders::EnterLocked(Standing& standing) {
  if (standing.handles > 0) {
    ++standing.handles;
    return true;
  }
  const std::optional<bool> othersHold = OthersHold(standing.descriptor);
  if (!othersHold || !SetRecordLock(standing.descriptor, F_RDLCK, kHolderByte, false)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  standing.handles = 1;
  return *othersHold;
}

void NamedObjectHolders::LeaveLocked(Standing& standing) {
  if (standing.handles > 0 && --standing.handles == 0)
    SetRecordLock(standing.descriptor, F_UNLCK, kHolderByte, false);
}

void NamedObjectHolders::Leave(const std::filesystem::path& path) {
  std::lock_guard guard(lock_);
  const auto found = standings_.find(path.string());
  if (found == standings_.end() || found->second.process != ::getpid() ||
      found->second.handles == 0)
    return;
  Standing* standing = Lock(path);
  if (standing == nullptr) return;
  LeaveLocked(*standing);
  Unlock(*standing);
}

NamedObjectHolders& Holders() {
  static NamedObjectHolders* holders = new NamedObjectHolders;
  return *holders;
}

}  // namespace host

#include "host/core_library/disk_space.h"

#include <sys/statvfs.h>

#include <system_error>

#include "host/core_library/card_path.h"
#include "platform/core_library.h"

namespace host {

std::uint64_t UsedBytes(const std::filesystem::path& directory) {
  std::uint64_t used = 0;
  std::error_code code;
  // Files may vanish while the card is walked (another process's finished copy): skip them.
  for (std::filesystem::recursive_directory_iterator
           entry(directory, std::filesystem::directory_options::skip_permission_denied, code),
       end;
       !code && entry != end; entry.increment(code)) {
    std::error_code statusCode;
    if (entry->is_regular_file(statusCode)) {
      const std::uintmax_t size = entry->file_size(statusCode);
      if (!statusCode) used += size;
    }
  }
  return used;
}

std::optional<CardSpace> CurrentCardSpace(const sim::DevicePaths& device) {
  const sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig(device);
  if (!config) {
    SetLastError(ERROR_NOT_READY);
    return std::nullopt;
  }
  std::error_code code;
  if (!std::filesystem::is_directory(device.Card(), code)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  CardSpace space;
  if (config.value->cardCapacity) {
    const std::uint64_t capacity = *config.value->cardCapacity;
    const std::uint64_t used = UsedBytes(device.Card());
    space.total = capacity;
    space.free = used < capacity ? capacity - used : 0;
    space.totalFree = space.free;
    return space;
  }
  struct statvfs volume {};
  if (::statvfs(device.Card().c_str(), &volume) != 0) {
    SetLastError(ERROR_NOT_READY);
    return std::nullopt;
  }
  space.total = std::uint64_t{volume.f_blocks} * volume.f_frsize;
  space.free = std::uint64_t{volume.f_bavail} * volume.f_frsize;
  space.totalFree = std::uint64_t{volume.f_bfree} * volume.f_frsize;
  return space;
}

}  // namespace host

BOOL GetDiskFreeSpaceExW(LPCWSTR directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                         ULARGE_INTEGER* totalNumberOfBytes,
                         ULARGE_INTEGER* totalNumberOfFreeBytes) {
  // The card is the one volume: "\SD Card" or any folder on it.
  const std::optional<std::filesystem::path> path = host::CardPath(directoryName);
  if (!path) return FALSE;
  std::error_code code;
  if (!std::filesystem::is_directory(*path, code)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  const std::optional<host::CardSpace> space = host::CurrentCardSpace(sim::CurrentDevice());
  if (!space) return FALSE;
  if (freeBytesAvailableToCaller != nullptr) freeBytesAvailableToCaller->QuadPart = space->free;
  if (totalNumberOfBytes != nullptr) totalNumberOfBytes->QuadPart = space->total;
  if (totalNumberOfFreeBytes != nullptr) totalNumberOfFreeBytes->QuadPart = space->totalFree;
  return TRUE;
}

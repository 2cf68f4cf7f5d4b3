// The update tests' temporary device on Windows, where the card helpers run against the
// platform's own file system: the device is only its card, "\SD Card" on drive C: of the build's
// Wine prefix, made empty for each test. There is one such folder for all test programs, so the
// tests that use it hold the resource lock windows_card.
#include <stdexcept>

#include "platform/core_library.h"
#include "testsupport/temporary_device.h"

namespace sim {

// A device that is only its card has no chip: the configuration's lock variant is never read.
LockVariant DefaultLockVariant() {
  return LockVariant::PerBlock;
}

}  // namespace sim

namespace testsupport {

TemporaryDevice::TemporaryDevice(const sim::DeviceConfig& /*config*/) {
  // "\SD Card\..." names a folder of the current drive.
  if (!SetCurrentDirectoryW(L"C:\\")) throw std::runtime_error("no drive C:");
  paths_.root = "C:\\";
  std::filesystem::remove_all(paths_.Card());
  std::filesystem::create_directories(paths_.Card());
}

TemporaryDevice::~TemporaryDevice() {
  std::error_code ignored;
  std::filesystem::remove_all(paths_.Card(), ignored);
}

}  // namespace testsupport

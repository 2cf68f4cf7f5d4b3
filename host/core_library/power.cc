// The power status of the simulated device: its AC line from device.json. Portable C++ over
// sim/, built by the POSIX host and by the Windows layer over the simulated device.
#include "platform/core_library.h"
#include "sim/device.h"

namespace {

constexpr BYTE kUnknownByte = 0xFF;
constexpr DWORD kUnknownTime = 0xFFFFFFFFu;

BYTE AcLineStatus(sim::AcLine line) {
  switch (line) {
    case sim::AcLine::Online:
      return AC_LINE_ONLINE;
    case sim::AcLine::Offline:
      return AC_LINE_OFFLINE;
    case sim::AcLine::Backup:
      return AC_LINE_BACKUP_POWER;
    case sim::AcLine::Unknown:
      return AC_LINE_UNKNOWN;
  }
  return AC_LINE_UNKNOWN;
}

}  // namespace

BOOL WINAPI GetSystemPowerStatusEx(SYSTEM_POWER_STATUS_EX* status, BOOL /*update*/) {
  if (status == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The simulated device has no battery model: every battery field reads "unknown".
  *status = SYSTEM_POWER_STATUS_EX{};
  status->ACLineStatus = AC_LINE_UNKNOWN;
  status->BatteryFlag = kUnknownByte;
  status->BatteryLifePercent = kUnknownByte;
  status->BatteryLifeTime = kUnknownTime;
  status->BatteryFullLifeTime = kUnknownTime;
  status->BackupBatteryFlag = kUnknownByte;
  status->BackupBatteryLifePercent = kUnknownByte;
  status->BackupBatteryLifeTime = kUnknownTime;
  status->BackupBatteryFullLifeTime = kUnknownTime;
  // device.json is read on every call, so a change of the line shows at the next query.
  const sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig(sim::CurrentDevice());
  if (!config) {
    SetLastError(ERROR_NOT_READY);
    return FALSE;
  }
  status->ACLineStatus = AcLineStatus(config.value->acLine);
  return TRUE;
}

#include "update/external_power.h"

#include "platform/core_library.h"

bool HasExternalPower() {
  SYSTEM_POWER_STATUS_EX status{};
  if (!GetSystemPowerStatusEx(&status, TRUE)) {
    return false;
  }
  return status.ACLineStatus == AC_LINE_ONLINE;
}

// The handheld's calls on a desktop machine, which has none of its hardware (see handheld.h).
#include "platform/core_library.h"
#include "platform/dialog_framework.h"
#include "platform/physical_memory.h"
#include "windows/handheld/handheld.h"

// The desktop has no handheld shell library: there are no extra controls to prepare.
BOOL InitializeShellControls() {
  return TRUE;
}

// The desktop's own idle timer, which the handheld's call resets.
void KeepDeviceAwake() {
  SetThreadExecutionState(ES_SYSTEM_REQUIRED);
}

// There is no physical memory of the handheld to map.
void* GetPointer(DWORD /*physicalAddress*/, DWORD /*size*/) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return nullptr;
}

BOOL ReleasePointer(void* /*address*/, DWORD /*size*/) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

// The device's own register accesses: single volatile accesses (never reached here, as no
// window is ever mapped).
WORD ReadRegister16(const volatile WORD* address) {
  return *address;
}

void WriteRegister16(volatile WORD* address, WORD value) {
  *address = value;
}

DWORD ReadRegister32(const volatile DWORD* address) {
  return *address;
}

// The desktop's power status; it knows of no backup battery.
BOOL WINAPI GetSystemPowerStatusEx(SYSTEM_POWER_STATUS_EX* status, BOOL /*update*/) {
  SYSTEM_POWER_STATUS desktop;
  if (status == nullptr || !GetSystemPowerStatus(&desktop)) return FALSE;
  *status = SYSTEM_POWER_STATUS_EX{};
  status->ACLineStatus = desktop.ACLineStatus;
  status->BatteryFlag = desktop.BatteryFlag;
  status->BatteryLifePercent = desktop.BatteryLifePercent;
  status->BatteryLifeTime = desktop.BatteryLifeTime;
  status->BatteryFullLifeTime = desktop.BatteryFullLifeTime;
  status->BackupBatteryFlag = BATTERY_FLAG_UNKNOWN;
  status->BackupBatteryLifePercent = BATTERY_PERCENTAGE_UNKNOWN;
  status->BackupBatteryLifeTime = BATTERY_LIFE_UNKNOWN;
  status->BackupBatteryFullLifeTime = BATTERY_LIFE_UNKNOWN;
  return TRUE;
}

// A desktop is never restarted from here: the request is refused, and the caller goes on.
BOOL WINAPI KernelIoControl(DWORD /*ioControlCode*/, LPVOID /*inBuffer*/, DWORD /*inBufferSize*/,
                            LPVOID /*outBuffer*/, DWORD /*outBufferSize*/,
                            LPDWORD /*bytesReturned*/) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

// A run of a program on the desktop has nothing of the handheld to prepare or record.
bool windows::StartRun(std::string* /*error*/) {
  return true;
}

void windows::EndRun(int /*status*/) {}

// The core-library functions that the system calls: files, mappings, copies, disk space,
// power, named mutexes, threads, waits and the restart request.
//
// Every function fails the way the device's does: FALSE, INVALID_HANDLE_VALUE or null, with
// the reason for GetLastError(). None of them throws. Paths are UTF-16 with '\' separators;
// on the host bench only paths below "\SD Card" exist.
//
// On a Windows target the desktop core library is <windows.h>'s; only the power status and
// the kernel I/O control, which the handheld has beyond it, are declared here.
#pragma once

#include "platform/types.h"

#ifndef _WIN32

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

using LPPROGRESS_ROUTINE = DWORD(WINAPI*)(LARGE_INTEGER totalFileSize,
                                          LARGE_INTEGER totalBytesTransferred,
                                          LARGE_INTEGER streamSize,
                                          LARGE_INTEGER streamBytesTransferred, DWORD streamNumber,
                                          DWORD callbackReason, HANDLE sourceFile,
                                          HANDLE destinationFile, LPVOID data);

using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID parameter);

DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD error);

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
DWORD WINAPI GetFileSize(HANDLE file, LPDWORD fileSizeHigh);
BOOL WINAPI CloseHandle(HANDLE object);

HANDLE WINAPI CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name);
LPVOID WINAPI MapViewOfFile(HANDLE fileMapping, DWORD desiredAccess, DWORD fileOffsetHigh,
                            DWORD fileOffsetLow, std::size_t numberOfBytesToMap);
BOOL WINAPI UnmapViewOfFile(LPCVOID baseAddress);

BOOL WINAPI CopyFileExW(LPCWSTR existingFileName, LPCWSTR newFileName,
                        LPPROGRESS_ROUTINE progressRoutine, LPVOID data, LPBOOL cancel,
                        DWORD copyFlags);

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                                ULARGE_INTEGER* totalNumberOfBytes,
                                ULARGE_INTEGER* totalNumberOfFreeBytes);

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL WINAPI ReleaseMutex(HANDLE mutex);
DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, std::size_t stackSize,
                           LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                           DWORD creationFlags, LPDWORD threadId);
void WINAPI Sleep(DWORD milliseconds);

#endif  // !_WIN32

// The handheld's power status: the desktop structure's fields plus the backup battery's.
struct SYSTEM_POWER_STATUS_EX {
  BYTE ACLineStatus;
  BYTE BatteryFlag;
  BYTE BatteryLifePercent;
  BYTE Reserved1;
  DWORD BatteryLifeTime;
  DWORD BatteryFullLifeTime;
  BYTE Reserved2;
  BYTE BackupBatteryFlag;
  BYTE BackupBatteryLifePercent;
  BYTE Reserved3;
  DWORD BackupBatteryLifeTime;
  DWORD BackupBatteryFullLifeTime;
};
static_assert(sizeof(SYSTEM_POWER_STATUS_EX) == 24);

// Fills `status`; with `update` TRUE the driver is asked for fresh values first.
BOOL WINAPI GetSystemPowerStatusEx(SYSTEM_POWER_STATUS_EX* status, BOOL update);

// Restart request: IOCTL_HAL_REBOOT restarts the device and returns only when the restart did
// not start. Any other code fails with ERROR_NOT_SUPPORTED.
inline constexpr DWORD IOCTL_HAL_REBOOT = 0x0101003Cu;
BOOL WINAPI KernelIoControl(DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                            LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned);

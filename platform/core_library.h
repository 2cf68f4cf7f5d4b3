// The core-library functions that the system calls: files, mappings, copies, disk space,
// power, named mutexes, threads, waits and the restart request.
//
// Every function fails the way the device's does: FALSE, INVALID_HANDLE_VALUE or null, with
// the reason for GetLastError(). None of them throws. Paths are UTF-16 with '\' separators;
// on the host bench only paths below "\SD Card" exist.
#pragma once

#include "platform/types.h"

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

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

using LPPROGRESS_ROUTINE = DWORD (*)(LARGE_INTEGER totalFileSize, LARGE_INTEGER totalBytesTransferred,
                                     LARGE_INTEGER streamSize, LARGE_INTEGER streamBytesTransferred,
                                     DWORD streamNumber, DWORD callbackReason, HANDLE sourceFile,
                                     HANDLE destinationFile, LPVOID data);

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

DWORD GetLastError();
void SetLastError(DWORD error);

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
DWORD GetFileSize(HANDLE file, DWORD* fileSizeHigh);
BOOL CloseHandle(HANDLE object);

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                          DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name);
LPVOID MapViewOfFile(HANDLE fileMapping, DWORD desiredAccess, DWORD fileOffsetHigh,
                     DWORD fileOffsetLow, DWORD numberOfBytesToMap);
BOOL UnmapViewOfFile(LPCVOID baseAddress);

BOOL CopyFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, LPPROGRESS_ROUTINE progressRoutine,
                 LPVOID data, BOOL* cancel, DWORD copyFlags);

BOOL GetDiskFreeSpaceExW(LPCWSTR directoryName, ULARGE_INTEGER* freeBytesAvailableToCaller,
                         ULARGE_INTEGER* totalNumberOfBytes, ULARGE_INTEGER* totalNumberOfFreeBytes);

BOOL GetSystemPowerStatusEx(SYSTEM_POWER_STATUS_EX* status, BOOL update);

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, DWORD stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    DWORD* threadId);
void Sleep(DWORD milliseconds);

// Restart request: IOCTL_HAL_REBOOT restarts the device and returns only when the restart did
// not start. Any other code fails with ERROR_NOT_SUPPORTED.
BOOL KernelIoControl(DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, DWORD* bytesReturned);

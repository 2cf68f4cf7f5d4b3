#include "update/free_space.h"

#include "platform/core_library.h"
#include "settings/device_variant.h"
#include "update/card_paths.h"

ULONGLONG CardFileSize(LPCWSTR path) {
  HANDLE file = CreateFileW(path, 0, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return 0;
  }
  // The whole size: a file of 4 GiB or more must not count as its size modulo 2^32.
  DWORD sizeHigh = 0;
  const DWORD sizeLow = GetFileSize(file, &sizeHigh);
  CloseHandle(file);
  return static_cast<ULONGLONG>(sizeHigh) << 32 | sizeLow;
}

bool HasEnoughFreeSpace() {
  ULARGE_INTEGER availableToCaller{};
  ULARGE_INTEGER totalBytes{};
  ULARGE_INTEGER totalFree{};
  availableToCaller.QuadPart = 0;
  totalBytes.QuadPart = 0;
  totalFree.QuadPart = 0;
  // A failed query leaves the counts at 0, which the comparison below refuses.
  if (!GetDiskFreeSpaceExW(kCardRoot, &availableToCaller, &totalBytes, &totalFree)) {
    availableToCaller.QuadPart = 0;
  }

  ULONGLONG required = CardFileSize(kBootloaderPackagePath);
  if (LPCWSTR variantImage = VariantImagePath(GetDeviceVariant()); variantImage != nullptr) {
    required += CardFileSize(variantImage);
  }
  required += kFreeSpaceMargin;
  return availableToCaller.QuadPart > required;
}

// The fixed paths of the update package on the storage card, mounted at "\SD Card".
#pragma once

#include "platform/types.h"
#include "settings/device_variant.h"

inline constexpr WCHAR kCardRoot[] = TEXT("\\SD Card");
// Package file common to all variants, verified with key 0.
inline constexpr WCHAR kCommonPackagePath[] = TEXT("\\SD Card\\sdisk.bc");
// The bootloader package and its working copy (verified with key 0 and compacted in place).
inline constexpr WCHAR kBootloaderPackagePath[] = TEXT("\\SD Card\\seboot.nb0");
inline constexpr WCHAR kBootloaderCopyPath[] = TEXT("\\SD Card\\_seboot.nb0");
// The copy of the variant's file-system image, verified with the variant's key.
inline constexpr WCHAR kVariantImageCopyPath[] = TEXT("\\SD Card\\syaffs.bc");

// The variant's file-system image as delivered: "EA1", "EA2" or "EB" for variants 1, 2 and 3;
// null for any other variant.
[[nodiscard]] constexpr LPCWSTR VariantImagePath(DeviceVariant variant) {
  switch (variant) {
    case 1:
      return TEXT("\\SD Card\\EA1\\syaffs.bc");
    case 2:
      return TEXT("\\SD Card\\EA2\\syaffs.bc");
    case 3:
      return TEXT("\\SD Card\\EB\\syaffs.bc");
    default:
      return nullptr;
  }
}

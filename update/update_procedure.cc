#include "update/update_procedure.h"

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "platform/core_library.h"
#include "settings/device_variant.h"
#include "settings/settings_store.h"
#include "signing/image_verifier.h"
#include "update/bootloader_programmer.h"
#include "update/card_paths.h"
#include "update/copy_with_progress.h"
#include "update/external_power.h"
#include "update/free_space.h"
#include "update/mapped_file.h"

namespace {

// String table ids of the messages the procedure shows.
constexpr UINT kExternalPowerText = 129;
constexpr UINT kConfirmationText = 132;
constexpr UINT kNoFreeSpaceText = 133;
constexpr UINT kBadFilesText = 134;

constexpr DWORD kCommonKey = 0;
constexpr DWORD kUpdateRequested = 1;

// Maps the whole of `file` and verifies it with `keyIndex`; with `verifyOnly` clear the
// payloads are compacted to the front of the file. The verifier's result (the payload byte
// count, 0 or -1); 0 when the file cannot be mapped. `view` receives the mapped address.
INT VerifyMappedFile(UpdateDialog* dialog, MappedFile& file, DWORD keyIndex, BOOL verifyOnly,
                     BYTE** view = nullptr) {
  BYTE* address = file.MapView(0, 0);
  if (view != nullptr) {
    *view = address;
  }
  if (address == nullptr) {
    return 0;
  }
  return VerifyImage(dialog, address, file.ViewSize(), keyIndex, verifyOnly,
                     DialogProgressBar(dialog));
}

// Asks for external power until it is present or the user cancels. Returns the last answer,
// or IDOK when power was there at once.
int WaitForExternalPower() {
  int answer = IDOK;
  while (!HasExternalPower()) {
    answer = AppMessageBox(kExternalPowerText, MB_OKCANCEL);
    if (answer == IDCANCEL) {
      break;
    }
  }
  return answer;
}

// The store cycle that leaves the update request for the next start. True when the flush
// stored it.
bool StoreUpdateRequest() {
  SettingsStore::Open();
  SettingsStore::Lock();
  SettingsStore::Load();
  SettingsStore::RequestUpdate(kUpdateRequested);
  const bool flushed = SettingsStore::Flush();
  SettingsStore::Unlock();
  SettingsStore::Close();
  return flushed;
}

}  // namespace

void ProgramAndRestart(UpdateDialog* dialog, const BYTE* image, DWORD imageLength) {
  NorFlashMutex::Create();
  const DWORD wait = NorFlashMutex::Acquire();
  // Without the lock another process may be in the middle of a flash command sequence.
  const bool locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;

  DWORD written = 0;
  if (locked) {
    if (NorFlash::Open()) {
      AdvanceOperation(dialog);
      // The progress bar still shows the verification's 100 until the first block is written.
      if (WaitForExternalPower() == IDOK) {
        written = ProgramBootloader(image, imageLength, DialogProgressBar(dialog));
      }
    }
    NorFlash::Close();
  }

  if (locked && written == imageLength && StoreUpdateRequest()) {
    KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
  }
  NorFlashMutex::ReleaseAndClose();
}

bool VerifyPackageFiles(UpdateDialog* dialog) {
  MappedFile file;
  if (!file.Open(kCommonPackagePath, TRUE)) {
    return false;
  }
  if (VerifyMappedFile(dialog, file, kCommonKey, TRUE) <= 0) {
    return false;
  }
  const DeviceVariant variant = GetDeviceVariant();
  LPCWSTR variantImage = VariantImagePath(variant);
  if (variantImage == nullptr) {
    return false;
  }
  if (!CopyWithProgress(dialog, variantImage, kVariantImageCopyPath)) {
    return false;
  }
  if (!file.Open(kVariantImageCopyPath, TRUE)) {
    return false;
  }
  return VerifyMappedFile(dialog, file, static_cast<DWORD>(variant), TRUE) > 0;
}

void UpdateProcedure(UpdateDialog* dialog) {
  if (AppMessageBox(kConfirmationText, MB_OKCANCEL) == IDCANCEL) {
    return;
  }
  if (!HasEnoughFreeSpace()) {
    AppMessageBox(kNoFreeSpaceText, MB_OK);
    return;
  }
  if (WaitForExternalPower() == IDCANCEL) {
    return;
  }
  if (!VerifyPackageFiles(dialog)) {
    AppMessageBox(kBadFilesText, MB_OK);
    return;
  }
  if (!CopyWithProgress(dialog, kBootloaderPackagePath, kBootloaderCopyPath)) {
    AppMessageBox(kBadFilesText, MB_OK);
    return;
  }
  MappedFile bootloader;
  if (!bootloader.Open(kBootloaderCopyPath, FALSE)) {
    return;
  }
  // Verification compacts the working copy in place: its first n bytes are the raw image.
  BYTE* image = nullptr;
  const INT imageLength = VerifyMappedFile(dialog, bootloader, kCommonKey, FALSE, &image);
  if (imageLength <= 0) {
    return;
  }
  ProgramAndRestart(dialog, image, static_cast<DWORD>(imageLength));
}

#include "update/update_procedure.h"

#include "common/message_ids.h"
#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "platform/core_library.h"
#include "settings/device_variant.h"
#include "settings/settings_mutex.h"
#include "settings/settings_store.h"
#include "signing/image_verifier.h"
#include "update/bootloader_programmer.h"
#include "update/card_paths.h"
#include "update/copy_with_progress.h"
#include "update/external_power.h"
#include "update/free_space.h"
#include "update/mapped_file.h"

namespace {

constexpr DWORD kCommonKey = 0;
constexpr DWORD kUpdateRequested = 1;
constexpr ULONGLONG kLargestPackageFileSize = 0xFFFFFFFFu;

// Maps the whole of `file` and verifies it with `keyIndex`; with `verifyOnly` clear the
// payloads are compacted to the front of the file. The verifier's result (the payload byte
// count, 0 or -1); 0 when the file cannot be mapped, which counts as an operation all the same,
// as every verification does. `view` receives the mapped address.
INT VerifyMappedFile(UpdateDialog* dialog, MappedFile& file, DWORD keyIndex, BOOL verifyOnly,
                     BYTE** view = nullptr) {
  BYTE* address = file.MapView(0, 0);
  if (view != nullptr) {
    *view = address;
  }
  if (address == nullptr) {
    AdvanceOperation(dialog);
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
    answer = AppMessageBox(kExternalPowerRequiredText, MB_OKCANCEL);
    if (answer == IDCANCEL) {
      break;
    }
  }
  return answer;
}

// Whether the Semi-Permanent Settings block, read back from the flash, holds the update request.
bool UpdateRequestReadsBack() {
  SettingsStore::Load();
  BYTE stored[4] = {};
  return SettingsStore::LoadedFromFlash(kSemiPermanentSettingsType) &&
         SettingsStore::GetRecord(RecordId::UpdateRequest, kSemiPermanentSettingsType, stored,
                                  sizeof stored) &&
         stored[0] == kUpdateRequested && stored[1] == 0 && stored[2] == 0 && stored[3] == 0;
}

// The store cycle that leaves the update request for the next start. True only when the
// request was put, written, and reads back from the flash: a flush with nothing to write (the
// put found no room) succeeds too, and a restart without the request would start the new
// bootloader with nothing to do.
bool StoreUpdateRequest() {
  SettingsStore::Open();
  SettingsStore::Lock();
  SettingsStore::Load();
  const bool stored = SettingsStore::RequestUpdate(kUpdateRequested) && SettingsStore::Flush() &&
                      UpdateRequestReadsBack();
  SettingsStore::Unlock();
  SettingsStore::Close();
  return stored;
}

}  // namespace

void ProgramAndRestart(UpdateDialog* dialog, const BYTE* image, DWORD imageLength,
                       MappedFile* workingCopy) {
  // CFG_SYN_OBJ is taken here with NOR_SYN_OBJ, before anything is erased, and both are kept
  // to the end: the update request's store cycle then only nests inside this hold. Waiting for
  // CFG_SYN_OBJ while holding NOR_SYN_OBJ would deadlock with any other process inside a store
  // cycle, which holds CFG_SYN_OBJ and waits for NOR_SYN_OBJ.
  const HANDLE settingsLock = CreateMutexW(nullptr, FALSE, kSettingsMutexName);
  const DWORD wait = AcquireSettingsAndFlashMutexes(settingsLock, NorFlashMutex::Create());
  // Without the lock another process may be in the middle of a flash command sequence.
  const bool locked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;

  DWORD written = 0;
  if (locked) {
    // An image that would reach a settings partition is refused before operation 6 and the
    // power prompt: the user is not asked to plug in for a run that cannot program.
    if (NorFlash::Open() && imageLength <= BootloaderCapacity()) {
      AdvanceOperation(dialog);
      // The progress bar still shows the verification's 100 until the first block is written.
      if (WaitForExternalPower() == IDOK) {
        written = ProgramBootloader(image, imageLength, DialogProgressBar(dialog));
      }
    }
    NorFlash::Close();
  }
  // The working copy is unmapped and closed before any restart is requested: the new
  // bootloader works from its compacted contents, and a card keeps only what was written back.
  if (workingCopy != nullptr) {
    workingCopy->Close();
  }

  if (locked && written == imageLength && StoreUpdateRequest()) {
    KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
  }
  if (locked) {
    NorFlashMutex::Release();
    ReleaseMutex(settingsLock);
  }
  NorFlashMutex::Close();
  if (settingsLock != nullptr) {
    CloseHandle(settingsLock);
  }
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
  if (AppMessageBox(kConfirmUpgradeText, MB_OKCANCEL) == IDCANCEL) {
    return;
  }
  if (!HasEnoughFreeSpace()) {
    AppMessageBox(kNotEnoughSpaceText, MB_OK);
    return;
  }
  if (WaitForExternalPower() == IDCANCEL) {
    return;
  }
  if (!VerifyPackageFiles(dialog)) {
    AppMessageBox(kCorruptFilesText, MB_OK);
    return;
  }
  // The verifier sees at most 4 GiB - 1 bytes of a file: a larger package cannot be checked.
  if (CardFileSize(kBootloaderPackagePath) > kLargestPackageFileSize ||
      !CopyWithProgress(dialog, kBootloaderPackagePath, kBootloaderCopyPath)) {
    AppMessageBox(kCorruptFilesText, MB_OK);
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
  ProgramAndRestart(dialog, image, static_cast<DWORD>(imageLength), &bootloader);
}

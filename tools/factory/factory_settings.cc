#include "tools/factory/factory_settings.h"

#include <vector>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "settings/settings_block.h"
#include "settings/settings_record.h"
#include "settings/settings_store.h"

namespace factory {
namespace {

std::string WriteEmptyBlocks(std::span<const DWORD> partitionTypes) {
  NorFlashMutex::Acquire();
  std::string error;
  if (NorFlash::Open() != 1) {
    error = "the flash driver does not open the flash";
  } else {
    const BYTE nothing = 0xFF;
    for (const DWORD type : partitionTypes) {
      const INT block = NorFlash::FirstBlockOfType(type);
      if (block < 0 || !SettingsBlock::Write(static_cast<DWORD>(block), &nothing, 0)) {
        error = "writing the settings block of partition type " + std::to_string(type) + " failed";
        break;
      }
    }
  }
  NorFlash::Close();
  NorFlashMutex::Release();
  return error;
}

std::string StorePartNumber(const std::u16string& partNumber) {
  std::vector<BYTE> record;
  for (const char16_t unit : partNumber) {
    record.push_back(static_cast<BYTE>(unit & 0xFF));
    record.push_back(static_cast<BYTE>(unit >> 8));
  }
  SettingsStore::Open();
  SettingsStore::Lock();
  const bool loaded = SettingsStore::Load();
  const bool put =
      loaded && SettingsStore::PutRecord(RecordId::PartNumber, kSemiPermanentSettingsType,
                                         record.data(), static_cast<DWORD>(record.size()), 0);
  const bool flushed = put && SettingsStore::Flush();
  SettingsStore::Unlock();
  SettingsStore::Close();
  if (!loaded) return "the settings just written do not load";
  if (!put) return "the part number does not fit the Semi-Permanent Settings block";
  if (!flushed) return "writing the Semi-Permanent Settings block failed";
  return {};
}

}  // namespace

std::string WriteSettings(std::span<const DWORD> partitionTypes,
                          const std::optional<std::u16string>& partNumber) {
  std::string error = WriteEmptyBlocks(partitionTypes);
  if (error.empty() && partNumber) error = StorePartNumber(*partNumber);
  return error;
}

}  // namespace factory

#include "testsupport/factory_settings.h"

#include <functional>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "settings/settings_block.h"
#include "settings/settings_store.h"

namespace testsupport {
namespace {

// Runs `write` with the flash open under NOR_SYN_OBJ; its error, or the flash's.
std::string WithOpenFlash(const std::function<std::string()>& write) {
  NorFlashMutex::Create();
  NorFlashMutex::Acquire();
  const std::string error = NorFlash::Open() ? write() : "the flash does not open";
  NorFlash::Close();
  NorFlashMutex::Release();
  return error;
}

std::string StorePartNumber(const std::string& partNumber) {
  Bytes record;
  for (char c : partNumber) {
    record.push_back(static_cast<std::uint8_t>(c));
    record.push_back(0);
  }
  SettingsStore::Open();
  SettingsStore::Lock();
  const bool loaded = SettingsStore::Load();
  const bool put = SettingsStore::PutRecord(RecordId::PartNumber, kSemiPermanentSettingsType,
                                            record.data(), static_cast<DWORD>(record.size()), 0);
  const bool flushed = SettingsStore::Flush();
  SettingsStore::Unlock();
  SettingsStore::Close();
  return loaded && put && flushed ? "" : "the settings store cycle failed";
}

}  // namespace

std::string WriteSettingsBlock(std::uint32_t block, const Bytes& payload) {
  const std::string error = WithOpenFlash([&]() -> std::string {
    return SettingsBlock::Write(block, payload.data(), static_cast<DWORD>(payload.size()))
               ? ""
               : "cannot write settings block " + std::to_string(block);
  });
  NorFlashMutex::Close();
  return error;
}

std::string FormatSettings(const std::optional<std::string>& partNumber) {
  std::string error = WithOpenFlash([]() -> std::string {
    const BYTE empty = 0;
    for (DWORD type : kSettingsPartitionTypes) {
      const INT block = NorFlash::FirstBlockOfType(type);
      if (block < 0 || !SettingsBlock::Write(static_cast<DWORD>(block), &empty, 0))
        return "cannot write the settings block of partition type " + std::to_string(type);
    }
    return "";
  });
  if (error.empty() && partNumber) error = StorePartNumber(*partNumber);
  // Named objects belong to their device: the next device needs a handle of its own.
  NorFlashMutex::Close();
  return error;
}

}  // namespace testsupport

#include "testsupport/factory_settings.h"

#include <functional>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "settings/settings_block.h"
#include "settings/settings_store.h"
#include "tools/factory/factory_settings.h"

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
  NorFlashMutex::Create();
  const std::string error = factory::WriteSettings(
      kSettingsPartitionTypes, partNumber ? std::optional<std::u16string>(std::u16string(
                                                partNumber->begin(), partNumber->end()))
                                          : std::nullopt);
  // Named objects belong to their device: the next device needs a handle of its own.
  NorFlashMutex::Close();
  return error;
}

}  // namespace testsupport

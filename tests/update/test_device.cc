#include "test_device.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <stdexcept>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "settings/settings_store.h"

namespace test {

namespace {

std::filesystem::path NewDirectoryName() {
  static int counter = 0;
  return std::filesystem::temp_directory_path() /
         ("orvanta-update-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
}

}  // namespace

TemporaryDevice::TemporaryDevice(const sim::DeviceConfig& config) {
  paths_.root = NewDirectoryName();
  std::filesystem::remove_all(paths_.root);
  std::string error;
  if (!sim::CreateDevice(paths_, config, &error)) {
    throw std::runtime_error("cannot create a device: " + error);
  }
  setenv("ORVANTA_DEVICE", paths_.root.c_str(), 1);
}

TemporaryDevice::~TemporaryDevice() {
  std::error_code ignored;
  std::filesystem::remove_all(paths_.root, ignored);
}

Bytes TemporaryDevice::ReadNor() const {
  return ReadFile(paths_.Nor());
}

sim::DeviceConfig TemporaryDevice::Config() const {
  sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(paths_);
  if (!loaded) {
    throw std::runtime_error(loaded.error);
  }
  return *loaded.value;
}

void TemporaryDevice::SaveConfig(const sim::DeviceConfig& config) const {
  std::string error;
  if (!sim::SaveDeviceConfig(paths_, config, &error)) {
    throw std::runtime_error("cannot save device.json: " + error);
  }
}

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

std::string FormatSettings(const std::string& partNumber) {
  const std::string formatted = WithOpenFlash([]() -> std::string {
    const BYTE empty = 0;
    for (DWORD type : kSettingsPartitionTypes) {
      const INT block = NorFlash::FirstBlockOfType(type);
      if (block < 0 || !SettingsBlock::Write(static_cast<DWORD>(block), &empty, 0)) {
        return "cannot write the settings block of partition type " + std::to_string(type);
      }
    }
    return "";
  });
  if (!formatted.empty()) {
    return formatted;
  }

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
  // Named objects belong to their device: the next device needs a handle of its own.
  NorFlashMutex::Close();
  if (!loaded || !put || !flushed) {
    return "the settings store cycle failed";
  }
  return "";
}

std::uint32_t BlockSizeOf(const sim::DeviceConfig& config, std::uint32_t block) {
  for (const sim::FlashRegion& region : config.regions) {
    if (block < region.count) {
      return region.size;
    }
    block -= region.count;
  }
  return 0;
}

std::uint64_t BlockOffset(const sim::DeviceConfig& config, std::uint32_t block) {
  std::uint64_t offset = 0;
  for (std::uint32_t b = 0; b < block; ++b) {
    offset += BlockSizeOf(config, b);
  }
  return offset;
}

}  // namespace test

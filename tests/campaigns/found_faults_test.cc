// Faults the campaigns found in other folders, kept as disabled reproductions until the owners
// mend them (run with --gtest_also_run_disabled_tests).
#include <gtest/gtest.h>

#include <algorithm>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "fuzz/memory_device.h"
#include "settings/settings_store.h"

namespace {

// A record with the free-space id 0xFFFFFFFF is reported as stored, cannot be read back, and
// leaves bytes after the next record's end that no longer read as free space, so the list
// ends in a record of id 0xFFFFFF02 and length 0xFFFFFFFF and later puts find no room.
TEST(FoundFaults, DISABLED_PutRecordRefusesTheFreeSpaceId) {
  memory_device::Reset(memory_device::ChipConfig{});
  NorFlashMutex::Acquire();
  ASSERT_EQ(NorFlash::Open(), 1);
  const BYTE nothing = 0;
  for (DWORD type : kSettingsPartitionTypes)
    ASSERT_TRUE(
        SettingsBlock::Write(static_cast<DWORD>(NorFlash::FirstBlockOfType(type)), &nothing, 0));
  NorFlash::Close();
  NorFlashMutex::Release();
  SettingsStore::Open();
  SettingsStore::Lock();
  ASSERT_TRUE(SettingsStore::Load());
  const BYTE data[2] = {1, 2};
  EXPECT_FALSE(SettingsStore::PutRecord(kFreeSpaceId, kSerialSettingsType, data, 2, 0));
  ASSERT_TRUE(SettingsStore::PutRecord(10, kSerialSettingsType, data, 1, 0));
  const BYTE* payload = SettingsStore::Payload(kSerialSettingsType);
  EXPECT_TRUE(std::all_of(payload + 13, payload + kSettingsPayloadCapacity,
                          [](BYTE b) { return b == 0xFF; }));
  SettingsStore::Unlock();
  SettingsStore::Close();
}

}  // namespace

// Faults the campaigns found in other folders, each kept as a test of its mend.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "settings/settings_store.h"
#include "testsupport/memory_device.h"
#include "tools/factory/factory_settings.h"

namespace {

// A record with the free-space id 0xFFFFFFFF used to be reported as stored, could not be read
// back, and left bytes after the next record's end that no longer read as free space, so the
// list ended in a record of id 0xFFFFFF02 and length 0xFFFFFFFF and later puts found no room.
// It is refused now, and the buffer stays as it was.
TEST(FoundFaults, PutRecordRefusesTheFreeSpaceId) {
  memory_device::Reset(memory_device::ChipConfig{});
  ASSERT_EQ(factory::WriteSettings(kSettingsPartitionTypes, std::nullopt), "");
  SettingsStore::Open();
  SettingsStore::Lock();
  ASSERT_TRUE(SettingsStore::Load());
  const BYTE data[2] = {1, 2};
  const std::vector<BYTE> before(
      SettingsStore::Payload(kSerialSettingsType),
      SettingsStore::Payload(kSerialSettingsType) + kSettingsPayloadCapacity);
  EXPECT_FALSE(SettingsStore::PutRecord(kFreeSpaceId, kSerialSettingsType, data, 2, 0));
  EXPECT_TRUE(
      std::equal(before.begin(), before.end(), SettingsStore::Payload(kSerialSettingsType)));
  ASSERT_TRUE(SettingsStore::PutRecord(10, kSerialSettingsType, data, 1, 0));
  const BYTE* payload = SettingsStore::Payload(kSerialSettingsType);
  EXPECT_TRUE(std::all_of(payload + 13, payload + kSettingsPayloadCapacity,
                          [](BYTE b) { return b == 0xFF; }));
  SettingsStore::Unlock();
  SettingsStore::Close();
}

}  // namespace

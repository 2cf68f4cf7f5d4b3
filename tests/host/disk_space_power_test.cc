#include <gtest/gtest.h>

#include "host_test_support.h"
#include "platform/core_library.h"
#include "testsupport/temporary_device.h"

namespace {

struct Space {
  ULARGE_INTEGER free{}, total{}, totalFree{};
};

bool Query(LPCWSTR path, Space* space) {
  return GetDiskFreeSpaceExW(path, &space->free, &space->total, &space->totalFree) != FALSE;
}

TEST(DiskSpace, CardCapacityLessTheSizesOfItsFiles) {
  sim::DeviceConfig config = host_test::SmallFlash();
  config.cardCapacity = 10'000;
  testsupport::TemporaryDevice device(config);
  device.WriteCard("a", std::string(1000, 'a'));
  device.WriteCard("EA1/syaffs.bc", std::string(2000, 'b'));
  device.WriteCard(".hidden", std::string(300, 'c'));  // hidden files take room too
  // Bookkeeping outside the card takes none.
  device.WriteCard("../outside", std::string(5000, 'd'));
  Space space;
  ASSERT_TRUE(Query(u"\\SD Card", &space));
  EXPECT_EQ(space.total.QuadPart, 10'000u);
  EXPECT_EQ(space.free.QuadPart, 6'700u);
  EXPECT_EQ(space.totalFree.QuadPart, 6'700u);
  Space withSeparator;
  ASSERT_TRUE(Query(u"\\SD Card\\", &withSeparator));
  EXPECT_EQ(withSeparator.free.QuadPart, 6'700u);
  // Every output is optional.
  EXPECT_TRUE(GetDiskFreeSpaceExW(u"\\SD Card", nullptr, nullptr, nullptr));
}

TEST(DiskSpace, FullerThanItsCapacityHasNothingFree) {
  sim::DeviceConfig config = host_test::SmallFlash();
  config.cardCapacity = 100;
  testsupport::TemporaryDevice device(config);
  device.WriteCard("a", std::string(150, 'a'));
  Space space;
  ASSERT_TRUE(Query(u"\\SD Card", &space));
  EXPECT_EQ(space.free.QuadPart, 0u);
  EXPECT_EQ(space.total.QuadPart, 100u);
}

TEST(DiskSpace, WithoutCapacityTheHostVolumeCounts) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  Space space;
  ASSERT_TRUE(Query(u"\\SD Card", &space));
  EXPECT_GT(space.total.QuadPart, 0u);
  EXPECT_LE(space.free.QuadPart, space.totalFree.QuadPart);
  EXPECT_LE(space.totalFree.QuadPart, space.total.QuadPart);
}

TEST(DiskSpace, OnlyTheCardIsAVolume) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  Space space;
  for (LPCWSTR path : {u"\\", u"\\Windows", u"\\SD Card\\..", u"/tmp", u"\\SD Card\\absent"}) {
    EXPECT_FALSE(Query(path, &space));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  }
  EXPECT_FALSE(Query(nullptr, &space));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(DiskSpace, UnreadableDeviceConfigFails) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  host_test::WriteFile(device.Paths().Config(), "{\"card_capacity\": \"lots\"}");
  Space space;
  EXPECT_FALSE(Query(u"\\SD Card", &space));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
}

TEST(PowerStatus, FollowsTheAcLineOfDeviceJsonOnEveryCall) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  const std::pair<sim::AcLine, BYTE> lines[] = {{sim::AcLine::Online, AC_LINE_ONLINE},
                                                {sim::AcLine::Offline, AC_LINE_OFFLINE},
                                                {sim::AcLine::Backup, AC_LINE_BACKUP_POWER},
                                                {sim::AcLine::Unknown, AC_LINE_UNKNOWN},
                                                {sim::AcLine::Online, AC_LINE_ONLINE}};
  sim::DeviceConfig config = host_test::SmallFlash();
  for (const auto& [line, status] : lines) {
    config.acLine = line;
    device.SaveConfig(config);
    SYSTEM_POWER_STATUS_EX power{};
    ASSERT_TRUE(GetSystemPowerStatusEx(&power, TRUE));
    EXPECT_EQ(power.ACLineStatus, status) << sim::ToString(line);
    EXPECT_EQ(power.BatteryLifePercent, 0xFF);
  }
}

TEST(PowerStatus, RefusesNullAndUnreadableConfig) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  EXPECT_FALSE(GetSystemPowerStatusEx(nullptr, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  host_test::WriteFile(device.Paths().Config(), "{\"ac_line\": \"plugged\"}");
  SYSTEM_POWER_STATUS_EX power{};
  power.ACLineStatus = AC_LINE_ONLINE;
  EXPECT_FALSE(GetSystemPowerStatusEx(&power, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
  EXPECT_EQ(power.ACLineStatus, AC_LINE_UNKNOWN);  // never a stale "online"
}

}  // namespace

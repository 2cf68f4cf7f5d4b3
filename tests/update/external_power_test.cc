#include "update/external_power.h"

#include <gtest/gtest.h>

#include "test_device.h"

namespace {

TEST(HasExternalPowerTest, OnlyAnOnlineLineCounts) {
  test::TemporaryDevice device;
  struct Case {
    sim::AcLine line;
    bool expected;
  };
  for (const Case& c : {Case{sim::AcLine::Online, true}, Case{sim::AcLine::Offline, false},
                        Case{sim::AcLine::Backup, false}, Case{sim::AcLine::Unknown, false},
                        Case{sim::AcLine::Online, true}}) {
    sim::DeviceConfig config = device.Config();
    config.acLine = c.line;
    device.SaveConfig(config);
    EXPECT_EQ(HasExternalPower(), c.expected) << sim::ToString(c.line);
  }
}

TEST(HasExternalPowerTest, FailedQueryIsNoPower) {
  test::TemporaryDevice device;
  test::WriteFile(device.Paths().Config(), {'{', 'x'});
  EXPECT_FALSE(HasExternalPower());
}

}  // namespace

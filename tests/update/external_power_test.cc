#include "update/external_power.h"

#include <gtest/gtest.h>

#include "testsupport/factory_settings.h"
#include "testsupport/temporary_device.h"

namespace {

TEST(HasExternalPowerTest, OnlyAnOnlineLineCounts) {
  testsupport::TemporaryDevice device;
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
  testsupport::TemporaryDevice device;
  testsupport::WriteFile(device.Paths().Config(), {'{', 'x'});
  EXPECT_FALSE(HasExternalPower());
}

}  // namespace

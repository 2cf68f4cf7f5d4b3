#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "host/core_library/lifecycle.h"
#include "host_test_support.h"
#include "platform/core_library.h"
#include "testsupport/temporary_device.h"

namespace {

TEST(KernelIoControl, OtherCodesAreNotSupported) {
  DWORD returned = 5;
  EXPECT_FALSE(KernelIoControl(0x01010000u, nullptr, 0, nullptr, 0, &returned));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(returned, 0u);
  EXPECT_FALSE(KernelIoControl(0, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

std::string observerMark;

void MarkRestart() {
  host_test::WriteFile(observerMark, "observed");
}

TEST(KernelIoControl, RestartJournalsCallsTheObserverAndEndsWithStatusZero) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  observerMark = (device.Paths().root / "observer").string();
  const std::string output = (device.Paths().root / "stdout").string();
  EXPECT_EXIT(
      {
        host::SetRestartObserver(MarkRestart);
        std::freopen(output.c_str(), "w", stdout);
        std::printf("buffered, not yet written");  // must survive the immediate end
        KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
        std::exit(3);  // not reached
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(host_test::ReadFile(device.Paths().Journal()), "{\"event\":\"restart\"}\n");
  EXPECT_EQ(host_test::ReadFile(observerMark), "observed");
  EXPECT_EQ(host_test::ReadFile(output), "buffered, not yet written");
}

// The fault plan can refuse the restart: the call comes back FALSE, journalled, without the
// observer, and the caller goes on (here: reaches the exit with status 4).
TEST(KernelIoControl, RefusedRestartReturnsFalseAndTheProcessGoesOn) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  sim::DeviceConfig config = host_test::SmallFlash();
  config.faults.push_back(sim::Fault::RestartFails());
  device.SaveConfig(config);
  observerMark = (device.Paths().root / "observer").string();
  EXPECT_EXIT(
      {
        host::SetRestartObserver(MarkRestart);
        DWORD returned = 9;
        const BOOL result = KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, &returned);
        std::exit(result == FALSE && returned == 0 && GetLastError() == ERROR_NOT_READY ? 4 : 5);
      },
      ::testing::ExitedWithCode(4), "");
  EXPECT_EQ(host_test::ReadFile(device.Paths().Journal()), "{\"event\":\"restart_refused\"}\n");
  EXPECT_FALSE(std::filesystem::exists(observerMark));
  // The plan keeps the fault: every later request is refused too.
  const sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(device.Paths());
  ASSERT_TRUE(loaded) << loaded.error;
  EXPECT_EQ(loaded.value->faults, config.faults);
}

}  // namespace

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "host/lifecycle.h"
#include "platform/core_library.h"
#include "test_device.h"

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
  host_test::TemporaryDevice device;
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

}  // namespace

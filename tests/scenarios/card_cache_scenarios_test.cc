// The card's cache across a restart: what a working copy's view changed reaches the card only
// when the view is unmapped before the device restarts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/core_library.h"
#include "scenario_bench.h"
#include "scenario_expectations.h"

namespace scenario {
namespace {

constexpr WCHAR kPackage[] = u"\\SD Card\\seboot.nb0";
constexpr WCHAR kWorkingCopy[] = u"\\SD Card\\_seboot.nb0";

enum class BeforeRestart { Nothing, UnmapAndClose };

// In a child process on the bench's device, as the update does: copies seboot.nb0 to its working
// copy, maps the copy read-write, writes the raw bootloader over its front (what the compacting
// verification leaves there) and restarts the device. Returns the child's exit status.
int CompactAndRestart(const Bytes& raw, BeforeRestart before) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (!CopyFileExW(kPackage, kWorkingCopy, nullptr, nullptr, nullptr, 0)) ::_exit(10);
    const HANDLE file = CreateFileW(kWorkingCopy, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) ::_exit(11);
    const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    auto* view = static_cast<BYTE*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (view == nullptr) ::_exit(12);
    std::memcpy(view, raw.data(), raw.size());
    if (before == BeforeRestart::UnmapAndClose) {
      UnmapViewOfFile(view);
      CloseHandle(mapping);
      CloseHandle(file);
    }
    KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
    ::_exit(13);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool BeginsWith(const Bytes& content, const Bytes& front) {
  return content.size() >= front.size() && std::equal(front.begin(), front.end(), content.begin());
}

TEST(CardCacheScenario, AWorkingCopyNotUnmappedBeforeARestartLosesItsChanges) {
  Bench bench("52614-01");
  const PackageSet& packages = StandardPackages(1);
  bench.Place(packages);
  ASSERT_EQ(CompactAndRestart(packages.bootloader, BeforeRestart::Nothing), 0);
  EXPECT_EQ(bench.Device().ReadCard("_seboot.nb0"), bench.Device().ReadCard("seboot.nb0"));

  ASSERT_EQ(CompactAndRestart(packages.bootloader, BeforeRestart::UnmapAndClose), 0);
  EXPECT_TRUE(BeginsWith(bench.Device().ReadCard("_seboot.nb0"), packages.bootloader));
}

// A whole update restarts with the compacted working copy on the card. This needs the procedure
// to unmap and close its working copies before it requests the restart.
TEST(CardCacheScenario, DISABLED_TheUpdateKeepsTheCompactedWorkingCopyAcrossTheRestart) {
  Bench bench("52614-01");
  const PackageSet& packages = StandardPackages(1);
  bench.Place(packages);
  ASSERT_EQ(bench.Run("ok"), 0);
  EXPECT_TRUE(BeginsWith(bench.Device().ReadCard("_seboot.nb0"), packages.bootloader))
      << "_seboot.nb0 does not begin with the raw bootloader";
}

}  // namespace
}  // namespace scenario

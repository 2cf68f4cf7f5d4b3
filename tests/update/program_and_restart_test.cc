#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "flash/nor_flash_mutex.h"
#include "host/core_library/lifecycle.h"
#include "platform/core_library.h"
#include "recording_dialog.h"
#include "tests/test_emulator.h"
#include "testsupport/factory_settings.h"
#include "testsupport/temporary_device.h"
#include "update/mapped_file.h"
#include "update/update_procedure.h"

namespace {

using testsupport::Bytes;

// A restart would end this test program with status 0, which would read as a pass.
void RestartIsAFailure() {
  std::fputs("unexpected restart request\n", stderr);
  std::_Exit(97);
}

class ProgramAndRestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testsupport::FormatSettings("52614-01"), "");
    before_ = device_.ReadNor();
    host::SetRestartObserver(RestartIsAFailure);
  }
  void TearDown() override { host::SetRestartObserver(nullptr); }

  testsupport::TemporaryDevice device_;
  Bytes before_;
  test::RecordingDialog dialog_;
  Bytes image_ = testsupport::PatternBytes(20'000, 3);
};

// A wait that fails says nothing about who holds the flash: another process may be halfway
// through a command sequence. Nothing may be erased then.
TEST_F(ProgramAndRestartTest, LockThatCannotBeTakenErasesNothing) {
  // The kept handle goes stale, so the wait fails.
  ASSERT_TRUE(CloseHandle(NorFlashMutex::Create()));
  ProgramAndRestart(&dialog_, image_.data(), static_cast<DWORD>(image_.size()), nullptr);
  EXPECT_EQ(dialog_.operations, 0);
  EXPECT_TRUE(dialog_.bar.Messages().empty());
  EXPECT_TRUE(device_.ReadNor() == before_);
}

TEST_F(ProgramAndRestartTest, FlashThatDoesNotOpenIsNotCounted) {
  sim::DeviceConfig config = device_.Config();
  config.manufacturer = 0x00B0;
  device_.SaveConfig(config);
  ProgramAndRestart(&dialog_, image_.data(), static_cast<DWORD>(image_.size()), nullptr);
  EXPECT_EQ(dialog_.operations, 0);
  EXPECT_TRUE(device_.ReadNor() == before_);
}

// Refused before operation 6 and the power prompt: nobody is asked to plug in for nothing.
TEST_F(ProgramAndRestartTest, ImageTooLargeForTheBootloaderAreaIsNotProgrammed) {
  const Bytes image = testsupport::PatternBytes(2 * 1024 * 1024, 4);
  ProgramAndRestart(&dialog_, image.data(), static_cast<DWORD>(image.size()), nullptr);
  EXPECT_EQ(dialog_.operations, 0);
  EXPECT_TRUE(device_.ReadNor() == before_);
}

// The card keeps only what was unmapped or closed before a restart, and the new bootloader works
// from the compacted working copy: at the restart nothing may hold it any more. The restart
// observer tries to open it without sharing, which fails while a view, mapping or handle is
// left.
constexpr int kWorkingCopyClosed = 41;
constexpr int kWorkingCopyStillHeld = 42;
constexpr WCHAR kWorkingCopy[] = u"\\SD Card\\_seboot.nb0";

void ExitWithWhetherTheWorkingCopyIsFree() {
  HANDLE file = CreateFileW(kWorkingCopy, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  std::_Exit(file == INVALID_HANDLE_VALUE ? kWorkingCopyStillHeld : kWorkingCopyClosed);
}

TEST_F(ProgramAndRestartTest, WorkingCopyIsClosedBeforeTheRestart) {
  // The threadsafe style re-executes this program, which under an emulator the kernel cannot
  // start by itself; a plain fork serves there.
  GTEST_FLAG_SET(death_test_style, test_emulator::kEmulator[0] != '\0' ? "fast" : "threadsafe");
  device_.WriteCard("_seboot.nb0", image_);
  EXPECT_EXIT(
      {
        host::SetRestartObserver(ExitWithWhetherTheWorkingCopyIsFree);
        MappedFile workingCopy;
        BYTE* view = workingCopy.Open(kWorkingCopy, FALSE) ? workingCopy.MapView(0, 0) : nullptr;
        if (view != nullptr) {
          ProgramAndRestart(&dialog_, view, workingCopy.ViewSize(), &workingCopy);
        }
        std::_Exit(1);
      },
      ::testing::ExitedWithCode(kWorkingCopyClosed), "");
}

}  // namespace

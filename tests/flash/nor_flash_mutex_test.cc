#include "flash/nor_flash_mutex.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/core_library.h"
#include "testsupport/temporary_device.h"

namespace {

using testsupport::TemporaryDevice;

// What another process sees when it tries NOR_SYN_OBJ without waiting: its exit status is the
// wait's result (0 for WAIT_OBJECT_0, 1 for WAIT_TIMEOUT, 2 otherwise).
int TryFromAnotherProcess() {
  const pid_t child = ::fork();
  if (child == 0) {
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, kNorFlashMutexName);
    const DWORD wait = WaitForSingleObject(mutex, 0);
    ::_exit(wait == WAIT_OBJECT_0 ? 0 : wait == WAIT_TIMEOUT ? 1 : 2);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(NorFlashMutexTest, OneHandlePerProcessUntilClosed) {
  TemporaryDevice device;
  const HANDLE first = NorFlashMutex::Create();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(NorFlashMutex::Create(), first);
  NorFlashMutex::Close();
  NorFlashMutex::Close();  // a second close finds nothing
  EXPECT_NE(NorFlashMutex::Create(), nullptr);
  NorFlashMutex::Close();
}

TEST(NorFlashMutexTest, AcquisitionsNestAndExcludeOtherProcesses) {
  TemporaryDevice device;
  EXPECT_EQ(NorFlashMutex::Acquire(), WAIT_OBJECT_0);  // creates the handle on the way
  EXPECT_EQ(NorFlashMutex::Acquire(), WAIT_OBJECT_0);
  EXPECT_EQ(TryFromAnotherProcess(), 1);
  NorFlashMutex::Release();
  EXPECT_EQ(TryFromAnotherProcess(), 1);  // one release per acquisition
  NorFlashMutex::ReleaseAndClose();
  EXPECT_EQ(TryFromAnotherProcess(), 0);
}

TEST(NorFlashMutexTest, ReleaseAndCloseWithoutAHandleDoNothing) {
  TemporaryDevice device;
  NorFlashMutex::Release();
  NorFlashMutex::Close();
  NorFlashMutex::ReleaseAndClose();
  EXPECT_EQ(NorFlashMutex::Acquire(), WAIT_OBJECT_0);
  NorFlashMutex::ReleaseAndClose();
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host_test_support.h"
#include "platform/core_library.h"
#include "testsupport/temporary_device.h"

namespace {

constexpr LPCWSTR kName = u"NOR_SYN_OBJ";

// Whether another thread of this process could take `mutex` now.
DWORD TryFromOtherThread(HANDLE mutex) {
  DWORD result = WAIT_FAILED;
  std::thread([&] {
    result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(mutex);
  }).join();
  return result;
}

class MutexTest : public ::testing::Test {
 protected:
  testsupport::TemporaryDevice device_{host_test::SmallFlash()};
};

TEST_F(MutexTest, RecursionNeedsOneReleasePerAcquisition) {
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, kName);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 50), WAIT_OBJECT_0);
  EXPECT_EQ(TryFromOtherThread(mutex), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(TryFromOtherThread(mutex), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(TryFromOtherThread(mutex), WAIT_OBJECT_0);
  // One release too many: this thread no longer owns it.
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  CloseHandle(mutex);
}

TEST_F(MutexTest, OnlyTheOwnerReleases) {
  const HANDLE mutex = CreateMutexW(nullptr, TRUE, kName);  // owned from the start
  ASSERT_NE(mutex, nullptr);
  BOOL released = TRUE;
  DWORD error = 0;
  std::thread([&] {
    released = ReleaseMutex(mutex);
    error = GetLastError();
  }).join();
  EXPECT_FALSE(released);
  EXPECT_EQ(error, ERROR_NOT_OWNER);
  EXPECT_EQ(TryFromOtherThread(mutex), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST_F(MutexTest, SecondCreateOfAHeldNameReportsItExists) {
  SetLastError(55);
  const HANDLE first = CreateMutexW(nullptr, FALSE, kName);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  // An existing mutex is not taken over by initialOwner.
  const HANDLE second = CreateMutexW(nullptr, TRUE, kName);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_NE(first, second);
  EXPECT_EQ(TryFromOtherThread(first), WAIT_OBJECT_0);
  // Both handles name one mutex.
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_EQ(TryFromOtherThread(second), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(second));
  CloseHandle(first);
  CloseHandle(second);
  const HANDLE fresh = CreateMutexW(nullptr, FALSE, kName);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(fresh);
}

TEST_F(MutexTest, FiniteWaitTimesOut) {
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, kName);
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  DWORD result = WAIT_FAILED;
  std::thread([&] { result = WaitForSingleObject(mutex, 20); }).join();
  EXPECT_EQ(result, WAIT_TIMEOUT);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

TEST_F(MutexTest, HeldByAnotherProcessBlocksUntilReleased) {
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, kName);
  ASSERT_NE(mutex, nullptr);
  host_test::Child child([](host_test::Child& self) {
    const HANDLE own = CreateMutexW(nullptr, FALSE, kName);
    if (own == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return 1;
    if (WaitForSingleObject(own, INFINITE) != WAIT_OBJECT_0) return 2;
    self.Send('h');
    char byte = 0;
    self.Receive(&byte);
    if (!ReleaseMutex(own)) return 3;
    self.Receive(&byte);
    return 0;
  });
  char byte = 0;
  ASSERT_TRUE(child.Receive(&byte));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(mutex, 30), WAIT_TIMEOUT);

  std::atomic<DWORD> result{WAIT_FAILED};
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    result = WaitForSingleObject(mutex, INFINITE);
    returned = true;
  });
  // The waiter cannot return before the child lets go: the child still holds the mutex.
  EXPECT_FALSE(returned.load());
  child.Send('r');
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  // Taken by the waiter thread, which ended holding it: the next owner hears of it.
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
  child.Send('e');
  EXPECT_EQ(child.Join(), 0);
  CloseHandle(mutex);
}

TEST_F(MutexTest, KilledOwnerLeavesItAbandoned) {
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, kName);
  ASSERT_NE(mutex, nullptr);
  host_test::Child child([](host_test::Child& self) {
    const HANDLE own = CreateMutexW(nullptr, FALSE, kName);
    if (WaitForSingleObject(own, INFINITE) != WAIT_OBJECT_0) return 2;
    WaitForSingleObject(own, INFINITE);  // twice: recursion does not outlive the owner
    self.Send('h');
    char byte = 0;
    self.Receive(&byte);
    return 0;
  });
  char byte = 0;
  ASSERT_TRUE(child.Receive(&byte));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
  child.Kill();
  EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_ABANDONED);
  // This thread owns it now, once; after the release it is an ordinary free mutex.
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(TryFromOtherThread(mutex), WAIT_OBJECT_0);
  CloseHandle(mutex);
}

TEST_F(MutexTest, NameNobodyHoldsIsANewMutex) {
  // The only holder dies owning it; with no handle left anywhere the object is gone, and the
  // next create makes a new one that is neither existing nor abandoned.
  host_test::Child child([](host_test::Child& self) {
    const HANDLE own = CreateMutexW(nullptr, TRUE, kName);
    if (own == nullptr || GetLastError() != ERROR_SUCCESS) return 1;
    self.Send('h');
    char byte = 0;
    self.Receive(&byte);
    return 0;
  });
  char byte = 0;
  ASSERT_TRUE(child.Receive(&byte));
  child.Kill();
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, kName);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

TEST(MutexDevices, MutexesOfTwoDevicesNeverMeet) {
  testsupport::TemporaryDevice first{host_test::SmallFlash()};
  const HANDLE held = CreateMutexW(nullptr, TRUE, kName);
  ASSERT_NE(held, nullptr);
  testsupport::TemporaryDevice second{host_test::SmallFlash()};
  const HANDLE other = CreateMutexW(nullptr, FALSE, kName);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(TryFromOtherThread(other), WAIT_OBJECT_0);
  // The mutex's files are not on the card.
  EXPECT_TRUE(std::filesystem::is_empty(second.Paths().Card()));
  ReleaseMutex(held);
  CloseHandle(held);
  CloseHandle(other);
}

TEST(MutexDevices, MissingDeviceFails) {
  ::setenv("ORVANTA_DEVICE", "/nonexistent/device", 1);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, kName), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(UnnamedMutex, IsPrivateAndRecursive) {
  const HANDLE first = CreateMutexW(nullptr, TRUE, nullptr);
  const HANDLE second = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(TryFromOtherThread(first), WAIT_TIMEOUT);
  EXPECT_EQ(TryFromOtherThread(second), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(first));
  EXPECT_TRUE(ReleaseMutex(first));
  EXPECT_EQ(TryFromOtherThread(first), WAIT_OBJECT_0);
  CloseHandle(first);
  CloseHandle(second);
}

}  // namespace

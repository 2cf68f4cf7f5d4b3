// Named mutexes as NOR_SYN_OBJ and CFG_SYN_OBJ use them: recursive for their owner, one name one
// object, abandoned by an owner that ends, released only by their owner.
#include "conformance.h"
#include "threads.h"

namespace {

using conformance::Card;
using conformance::OnOtherThread;

HANDLE Create(Card& card, BOOL initialOwner = FALSE) {
  return CreateMutexW(nullptr, initialOwner, card.ObjectName("mutex").c_str());
}

// Whether another thread finds the mutex free (taking and giving it back at once).
bool FreeForOthers(HANDLE mutex) {
  bool free = false;
  OnOtherThread([&] {
    const DWORD wait = WaitForSingleObject(mutex, 0);
    free = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    if (free) ReleaseMutex(mutex);
  });
  return free;
}

const conformance::Case kMutexCases[] = {
    {"SecondCreateOfANameReportsAlreadyExistsAndSharesTheObject",
     [](Card& card) {
       SetLastError(ERROR_SUCCESS);
       const HANDLE first = Create(card);
       ASSERT_NE(first, nullptr);
       EXPECT_NE(GetLastError(), ERROR_ALREADY_EXISTS);
       const HANDLE second = Create(card);
       ASSERT_NE(second, nullptr);
       EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
       ASSERT_EQ(WaitForSingleObject(first, INFINITE), WAIT_OBJECT_0);
       EXPECT_FALSE(FreeForOthers(second));
       EXPECT_TRUE(ReleaseMutex(second)) << "either handle releases the owner's hold";
       EXPECT_TRUE(FreeForOthers(first));
       CloseHandle(second);
       CloseHandle(first);
     }},
    // The settings store's acquisitions nest inside the update procedure's.
    {"OwnerWaitsRecursivelyAndReleasesOncePerWait",
     [](Card& card) {
       const HANDLE mutex = Create(card);
       ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
       ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
       EXPECT_TRUE(ReleaseMutex(mutex));
       EXPECT_FALSE(FreeForOthers(mutex)) << "one hold is left";
       EXPECT_TRUE(ReleaseMutex(mutex));
       EXPECT_FALSE(ReleaseMutex(mutex));
       EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
       EXPECT_TRUE(FreeForOthers(mutex));
       CloseHandle(mutex);
     }},
    {"ReleaseByANonOwnerFailsAndLeavesTheOwnersHold",
     [](Card& card) {
       const HANDLE mutex = Create(card, TRUE);
       ASSERT_NE(mutex, nullptr);
       OnOtherThread([&] {
         EXPECT_FALSE(ReleaseMutex(mutex));
         EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
         EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
       });
       EXPECT_TRUE(ReleaseMutex(mutex));
       CloseHandle(mutex);
     }},
    // A process that dies inside a flash command sequence must not lock out the next one; the
    // next owner learns that the sequence may be half done.
    {"OwnerThatEndsAbandonsTheMutexToTheNextWaiter",
     [](Card& card) {
       const HANDLE mutex = Create(card);
       OnOtherThread([&] { ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0); });
       EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_ABANDONED);
       EXPECT_FALSE(FreeForOthers(mutex)) << "the abandoned wait owns the mutex";
       EXPECT_TRUE(ReleaseMutex(mutex));
       EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "abandoned only once";
       EXPECT_TRUE(ReleaseMutex(mutex));
       CloseHandle(mutex);
     }},
    // AcquireSettingsAndFlashMutexes tries the second lock without waiting.
    {"ZeroTimeWaitOnAMutexHeldElsewhereTimesOut",
     [](Card& card) {
       const HANDLE mutex = Create(card);
       ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
       OnOtherThread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT); });
       EXPECT_TRUE(ReleaseMutex(mutex));
       CloseHandle(mutex);
     }},
    // A failed create is kept by NorFlashMutex: later waits and releases on it fail.
    {"NullHandleFailsWaitsAndReleases",
     [](Card&) {
       EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
       EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
       EXPECT_FALSE(ReleaseMutex(nullptr));
       EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
     }},
};

}  // namespace

PLATFORM_CONFORMANCE_CASES(NamedMutexes, kMutexCases);

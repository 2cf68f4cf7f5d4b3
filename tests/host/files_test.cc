#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "host_test_support.h"
#include "platform/core_library.h"
#include "testsupport/temporary_device.h"

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

HANDLE Open(LPCWSTR path, DWORD access, DWORD share) {
  return CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { device_.WriteCard("data.bin", "0123456789"); }
  testsupport::TemporaryDevice device_{host_test::SmallFlash()};
};

TEST_F(FilesTest, OpensAnExistingFileAndReportsItsSize) {
  const HANDLE file = Open(u"\\SD Card\\data.bin", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD high = 7;
  EXPECT_EQ(GetFileSize(file, &high), 10u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(GetFileSize(file, nullptr), 10u);
  EXPECT_TRUE(CloseHandle(file));
  // A closed handle is gone: closing or using it again fails.
  EXPECT_FALSE(CloseHandle(file));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetFileSize(file, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(FilesTest, SizeAbove4GiBSplitsIntoHalves) {
  host_test::WriteFile(device_.Card("big.bin"), "");
  std::filesystem::resize_file(device_.Card("big.bin"), 0x1'0000'0010);  // sparse
  const HANDLE file = Open(u"\\SD Card\\big.bin", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD high = 0;
  EXPECT_EQ(GetFileSize(file, &high), 0x10u);
  EXPECT_EQ(high, 1u);
  CloseHandle(file);
}

TEST_F(FilesTest, MissingFilesFoldersAndNonFilesFailAsOnTheDevice) {
  EXPECT_EQ(Open(u"\\SD Card\\absent.bin", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open(u"\\SD Card\\EA1\\syaffs.bc", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  std::filesystem::create_directory(device_.Card("EA1"));
  EXPECT_EQ(Open(u"\\SD Card\\EA1", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  // A FIFO is refused at once instead of blocking the open.
  ASSERT_EQ(::mkfifo(device_.Card("fifo").c_str(), 0644), 0);
  EXPECT_EQ(Open(u"\\SD Card\\fifo", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open(nullptr, GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, RefusesUnknownAccessAndDisposition) {
  EXPECT_EQ(Open(u"\\SD Card\\data.bin", 0x10000000u, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateFileW(u"\\SD Card\\data.bin", GENERIC_READ, 0, nullptr, 9, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FilesTest, CreationDispositions) {
  HANDLE file = CreateFileW(u"\\SD Card\\data.bin", kReadWrite, 0, nullptr, CREATE_NEW, 0, nullptr);
  EXPECT_EQ(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  file = CreateFileW(u"\\SD Card\\new.bin", kReadWrite, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(file);
  EXPECT_TRUE(std::filesystem::exists(device_.Card("new.bin")));

  file = CreateFileW(u"\\SD Card\\data.bin", kReadWrite, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(GetFileSize(file, nullptr), 10u);
  CloseHandle(file);

  file = CreateFileW(u"\\SD Card\\data.bin", kReadWrite, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(GetFileSize(file, nullptr), 0u);
  CloseHandle(file);
}

// Without a write permission bit a file is read-only for every user, root included: it opens
// for reading only, and a truncating open leaves it whole.
TEST_F(FilesTest, ReadOnlyFilesOpenOnlyForReading) {
  ASSERT_EQ(::chmod(device_.Card("data.bin").c_str(), 0444), 0);
  for (const DWORD access : {DWORD{GENERIC_WRITE}, kReadWrite}) {
    EXPECT_EQ(Open(u"\\SD Card\\data.bin", access, 0), INVALID_HANDLE_VALUE) << access;
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(CreateFileW(u"\\SD Card\\data.bin", kReadWrite, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(device_.ReadCardText("data.bin"), "0123456789");
  const HANDLE reader = Open(u"\\SD Card\\data.bin", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  // Any one write bit makes it writable again.
  ASSERT_EQ(::chmod(device_.Card("data.bin").c_str(), 0464), 0);
  const HANDLE writer = Open(u"\\SD Card\\data.bin", kReadWrite, 0);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE);
  CloseHandle(writer);
}

TEST_F(FilesTest, ExclusiveOpenExcludesEveryOtherOpenerInTheProcess) {
  const HANDLE exclusive = Open(u"\\SD Card\\data.bin", GENERIC_READ, 0);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(u"\\SD Card\\data.bin", GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Open(u"\\SD Card\\data.bin", kReadWrite, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // An opener that neither reads nor writes only asks about the file, and is let in.
  const HANDLE query = Open(u"\\SD Card\\data.bin", 0, 0);
  ASSERT_NE(query, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(query, nullptr), 10u);
  CloseHandle(query);
  // The truncating create is refused too, and leaves the content intact.
  EXPECT_EQ(CreateFileW(u"\\SD Card\\data.bin", kReadWrite, FILE_SHARE_READ, nullptr,
                        TRUNCATE_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(device_.ReadCardText("data.bin"), "0123456789");
  CloseHandle(exclusive);

  const HANDLE again = Open(u"\\SD Card\\data.bin", GENERIC_READ, FILE_SHARE_READ);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST_F(FilesTest, SharedOpenersAdmitEachOtherButNoExclusiveOne) {
  const HANDLE first = Open(u"\\SD Card\\data.bin", GENERIC_READ, FILE_SHARE_READ);
  const HANDLE second = Open(u"\\SD Card\\data.bin", GENERIC_READ, FILE_SHARE_READ);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(first, second);
  EXPECT_EQ(Open(u"\\SD Card\\data.bin", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(first);
  EXPECT_EQ(Open(u"\\SD Card\\data.bin", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  CloseHandle(second);
  const HANDLE exclusive = Open(u"\\SD Card\\data.bin", GENERIC_READ, 0);
  EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
  CloseHandle(exclusive);
}

TEST_F(FilesTest, ShareModeZeroHoldsAcrossProcesses) {
  host_test::Child child([](host_test::Child& self) {
    const HANDLE file = Open(u"\\SD Card\\data.bin", kReadWrite, 0);
    if (file == INVALID_HANDLE_VALUE) return 1;
    char byte = 0;
    self.Send('h');       // holding it
    self.Receive(&byte);  // until the parent says so
    CloseHandle(file);
    self.Send('c');
    self.Receive(&byte);
    return 0;
  });
  ASSERT_TRUE(child.Started());
  char byte = 0;
  ASSERT_TRUE(child.Receive(&byte));
  ASSERT_EQ(byte, 'h');
  EXPECT_EQ(Open(u"\\SD Card\\data.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Open(u"\\SD Card\\data.bin", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

  child.Send('r');
  ASSERT_TRUE(child.Receive(&byte));
  ASSERT_EQ(byte, 'c');
  const HANDLE file = Open(u"\\SD Card\\data.bin", GENERIC_READ, 0);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);

  // And the other way round: the parent's exclusive open keeps the child out.
  host_test::Child second([](host_test::Child&) {
    const HANDLE attempt = Open(u"\\SD Card\\data.bin", GENERIC_READ, FILE_SHARE_READ);
    if (attempt != INVALID_HANDLE_VALUE) return 1;
    return GetLastError() == ERROR_SHARING_VIOLATION ? 0 : 2;
  });
  EXPECT_EQ(second.Join(), 0);
  CloseHandle(file);
  child.Send('e');
  EXPECT_EQ(child.Join(), 0);
}

TEST_F(FilesTest, ExclusiveHoldOfAKilledProcessEndsWithIt) {
  host_test::Child child([](host_test::Child& self) {
    if (Open(u"\\SD Card\\data.bin", kReadWrite, 0) == INVALID_HANDLE_VALUE) return 1;
    self.Send('h');
    char byte = 0;
    self.Receive(&byte);
    return 0;
  });
  char byte = 0;
  ASSERT_TRUE(child.Receive(&byte));
  EXPECT_EQ(Open(u"\\SD Card\\data.bin", GENERIC_READ, FILE_SHARE_READ), INVALID_HANDLE_VALUE);
  child.Kill();
  const HANDLE file = Open(u"\\SD Card\\data.bin", GENERIC_READ, 0);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
}

TEST(Handles, NullAndInvalidHandlesAreRefused) {
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReleaseMutex(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(LastError, IsKeptPerThread) {
  SetLastError(1234);
  DWORD seenByOther = 99;
  std::thread([&] { seenByOther = GetLastError(); }).join();
  EXPECT_EQ(seenByOther, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

}  // namespace

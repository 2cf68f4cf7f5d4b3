#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>

#include "host_test_support.h"
#include "platform/core_library.h"
#include "testsupport/temporary_device.h"

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr LPCWSTR kName = u"_Test_MMF_";

HANDLE Open(LPCWSTR path, DWORD access) {
  return CreateFileW(path, access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

class FileMappingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_.WriteCard("a.bin", "first file content");
    device_.WriteCard("b.bin", "second file");
  }
  testsupport::TemporaryDevice device_{host_test::SmallFlash()};
};

// The card's cache: a read-write view reaches the card file when it is unmapped, and what a
// process ended before unmapping (a restart or a power cut) never reaches it.
TEST_F(FileMappingTest, ReadWriteViewsReachTheFileOnlyWhenUnmapped) {
  const HANDLE file = Open(u"\\SD Card\\a.bin", kReadWrite);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const HANDLE mapping =
      CreateFileMappingW(file, nullptr, PAGE_READWRITE | SEC_COMMIT, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 18), "first file content");
  std::memcpy(view, "FIRST", 5);
  EXPECT_EQ(device_.ReadCardText("a.bin"), "first file content");
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_EQ(device_.ReadCardText("a.bin"), "FIRST file content");

  host_test::Child restarted([&](host_test::Child&) {
    auto* changed = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (changed == nullptr) return 1;
    std::memcpy(changed + 6, "FILE", 4);
    KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
    return 1;
  });
  EXPECT_EQ(restarted.Join(), 0);
  EXPECT_EQ(device_.ReadCardText("a.bin"), "FIRST file content");
  CloseHandle(mapping);
  CloseHandle(file);
}

TEST_F(FileMappingTest, ReadOnlyMappingsRefuseWriteAccess) {
  const HANDLE readOnlyFile = Open(u"\\SD Card\\a.bin", GENERIC_READ);
  ASSERT_NE(readOnlyFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileMappingW(readOnlyFile, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  const HANDLE mapping =
      CreateFileMappingW(readOnlyFile, nullptr, PAGE_READONLY | SEC_COMMIT, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  const auto* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 5));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 5), "first");
  EXPECT_TRUE(UnmapViewOfFile(view));
  CloseHandle(mapping);
  CloseHandle(readOnlyFile);
}

TEST_F(FileMappingTest, EmptyFileCannotBeMapped) {
  device_.WriteCard("empty.bin", "");
  const HANDLE file = Open(u"\\SD Card\\empty.bin", kReadWrite);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  EXPECT_EQ(CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, kName), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  CloseHandle(file);
}

TEST_F(FileMappingTest, RefusesBadArgumentsAndViewsOutsideTheMapping) {
  const HANDLE file = Open(u"\\SD Card\\a.bin", kReadWrite);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileMappingW(file, nullptr, 0x40 /* execute */, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // A larger read-only mapping than the file would read past its end.
  EXPECT_EQ(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 4096, nullptr), nullptr);

  const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  // The mapping is not a file, and the file is not a mapping.
  EXPECT_EQ(GetFileSize(mapping, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(MapViewOfFile(file, FILE_MAP_READ, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 19), nullptr);  // one byte too many
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_READ, 0, 4096, 1), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
  EXPECT_EQ(MapViewOfFile(mapping, 0, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  char local = 0;
  EXPECT_FALSE(UnmapViewOfFile(&local));
  EXPECT_FALSE(UnmapViewOfFile(nullptr));
  CloseHandle(mapping);
  CloseHandle(file);
}

TEST_F(FileMappingTest, ReadWriteMappingLargerThanTheFileExtendsIt) {
  const HANDLE file = Open(u"\\SD Card\\b.bin", kReadWrite);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 100, nullptr);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(GetFileSize(file, nullptr), 100u);
  CloseHandle(mapping);
  CloseHandle(file);
}

TEST_F(FileMappingTest, ViewsOutliveTheHandlesOfFileAndMapping) {
  const HANDLE file = Open(u"\\SD Card\\a.bin", kReadWrite);
  const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  ASSERT_NE(mapping, nullptr);
  CloseHandle(file);
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  CloseHandle(mapping);
  // The mapping still holds the file, without sharing, as it was opened.
  EXPECT_EQ(Open(u"\\SD Card\\a.bin", GENERIC_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  view[0] = 'F';
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));
  EXPECT_EQ(device_.ReadCardText("a.bin"), "First file content");
  const HANDLE again = Open(u"\\SD Card\\a.bin", GENERIC_READ);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST_F(FileMappingTest, SecondMappingOfALiveNameGetsTheFirstObject) {
  const HANDLE first = Open(u"\\SD Card\\a.bin", GENERIC_READ);
  const HANDLE second = Open(u"\\SD Card\\b.bin", GENERIC_READ);
  SetLastError(77);
  const HANDLE mapping =
      CreateFileMappingW(first, nullptr, PAGE_READONLY | SEC_COMMIT, 0, 0, kName);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

  const HANDLE again = CreateFileMappingW(second, nullptr, PAGE_READONLY | SEC_COMMIT, 0, 0, kName);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  const auto* view = static_cast<const char*>(MapViewOfFile(again, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 18), "first file content");
  UnmapViewOfFile(view);
  CloseHandle(again);

  // Names are case-sensitive: another name is another object.
  const HANDLE other = CreateFileMappingW(second, nullptr, PAGE_READONLY, 0, 0, u"_test_mmf_");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(other);

  // Once the last handle is closed the name is free again.
  CloseHandle(mapping);
  const HANDLE fresh = CreateFileMappingW(second, nullptr, PAGE_READONLY, 0, 0, kName);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(fresh);
  CloseHandle(first);
  CloseHandle(second);
}

TEST_F(FileMappingTest, NameHeldByAnotherProcessExistsUntilThatProcessEnds) {
  host_test::Child child([](host_test::Child& self) {
    const HANDLE file = Open(u"\\SD Card\\a.bin", GENERIC_READ);
    const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, kName);
    if (mapping == nullptr || GetLastError() != ERROR_SUCCESS) return 1;
    self.Send('m');
    char byte = 0;
    self.Receive(&byte);
    return 0;
  });
  char byte = 0;
  ASSERT_TRUE(child.Receive(&byte));

  const HANDLE file = Open(u"\\SD Card\\b.bin", GENERIC_READ);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, kName);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  // What the other process maps, not this file.
  const auto* view = static_cast<const char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(view, 18), "first file content");
  UnmapViewOfFile(view);
  CloseHandle(mapping);

  // A process that was killed holds nothing.
  child.Kill();
  const HANDLE fresh = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, kName);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(fresh);
  CloseHandle(file);
}

TEST(FileMappingDevices, NamesOfTwoDevicesNeverMeet) {
  testsupport::TemporaryDevice first{host_test::SmallFlash()};
  first.WriteCard("a.bin", "on the first device");
  const HANDLE firstFile = Open(u"\\SD Card\\a.bin", GENERIC_READ);
  const HANDLE firstMapping = CreateFileMappingW(firstFile, nullptr, PAGE_READONLY, 0, 0, kName);
  ASSERT_NE(firstMapping, nullptr);

  testsupport::TemporaryDevice second{host_test::SmallFlash()};  // now the current device
  second.WriteCard("a.bin", "on the second device");
  const HANDLE secondFile = Open(u"\\SD Card\\a.bin", GENERIC_READ);
  const HANDLE secondMapping = CreateFileMappingW(secondFile, nullptr, PAGE_READONLY, 0, 0, kName);
  ASSERT_NE(secondMapping, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  // Nothing of the bookkeeping is on the card.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(second.Paths().Card()))
    EXPECT_EQ(entry.path().filename(), "a.bin");
  for (HANDLE handle : {firstMapping, firstFile, secondMapping, secondFile}) CloseHandle(handle);
}

}  // namespace

namespace {

TEST(FileMappingDevices, ProcessesReachingTheDeviceByOtherPathsShareNames) {
  testsupport::TemporaryDevice device{host_test::SmallFlash()};
  device.WriteCard("a.bin", "mapped by the parent");
  device.WriteCard("b.bin", "the child's own file");
  const std::filesystem::path before = std::filesystem::current_path();
  // The parent names its device relative to its working folder, the child by an absolute
  // path from another folder.
  std::filesystem::current_path(device.Paths().root.parent_path());
  ::setenv("ORVANTA_DEVICE", device.Paths().root.filename().c_str(), 1);
  const HANDLE file = Open(u"\\SD Card\\a.bin", GENERIC_READ);
  const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, kName);
  ASSERT_NE(mapping, nullptr);
  host_test::Child child([&device](host_test::Child&) {
    ::setenv("ORVANTA_DEVICE", device.Paths().root.c_str(), 1);
    if (::chdir("/") != 0) return 1;
    const HANDLE own = Open(u"\\SD Card\\b.bin", GENERIC_READ);
    const HANDLE shared = CreateFileMappingW(own, nullptr, PAGE_READONLY, 0, 0, kName);
    if (shared == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return 2;
    const auto* view = static_cast<const char*>(MapViewOfFile(shared, FILE_MAP_READ, 0, 0, 0));
    if (view == nullptr) return 3;
    return std::string(view, 20) == "mapped by the parent" ? 0 : 4;
  });
  EXPECT_EQ(child.Join(), 0);
  CloseHandle(mapping);
  CloseHandle(file);
  std::filesystem::current_path(before);
}

}  // namespace

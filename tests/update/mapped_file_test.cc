#include "update/mapped_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/core_library.h"
#include "testsupport/temporary_device.h"

namespace {

using testsupport::Bytes;

constexpr WCHAR kFirst[] = TEXT("\\SD Card\\first.bin");
constexpr WCHAR kSecond[] = TEXT("\\SD Card\\second.bin");

class MappedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_.WriteCard("first.bin", first_);
    device_.WriteCard("second.bin", second_);
  }

  // True when nobody holds `path` open: an opener that shares nothing gets it.
  static bool IsClosed(LPCWSTR path) {
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      return false;
    }
    CloseHandle(file);
    return true;
  }

  testsupport::TemporaryDevice device_;
  Bytes first_ = testsupport::PatternBytes(100, 1);
  Bytes second_ = testsupport::PatternBytes(5000, 2);
};

TEST_F(MappedFileTest, WholeFileViewHasTheFileSizeAndContents) {
  MappedFile file;
  ASSERT_TRUE(file.Open(kFirst, TRUE));
  const BYTE* view = file.MapView(0, 0);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(file.ViewSize(), first_.size());
  EXPECT_EQ(Bytes(view, view + file.ViewSize()), first_);
}

TEST_F(MappedFileTest, ViewsAreCutAtTheEndOfTheFile) {
  MappedFile file;
  ASSERT_TRUE(file.Open(kFirst, TRUE));
  struct Case {
    DWORD length;
    DWORD expected;
  };
  for (const Case& c : {Case{1, 1}, Case{100, 100}, Case{101, 100}, Case{0xFFFFFFFFu, 100}}) {
    const BYTE* view = file.MapView(0, c.length);
    ASSERT_NE(view, nullptr) << c.length;
    EXPECT_EQ(file.ViewSize(), c.expected) << c.length;
    EXPECT_EQ(Bytes(view, view + file.ViewSize()),
              Bytes(first_.begin(), first_.begin() + c.expected));
  }
}

TEST_F(MappedFileTest, OffsetAtOrPastTheEndMapsNothingAndKeepsTheFileOpen) {
  MappedFile file;
  ASSERT_TRUE(file.Open(kFirst, TRUE));
  ASSERT_NE(file.MapView(0, 0), nullptr);
  for (DWORD offset : {100u, 101u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
    EXPECT_EQ(file.MapView(offset, 0), nullptr) << offset;
    EXPECT_EQ(file.ViewSize(), 0u) << offset;
    EXPECT_EQ(file.MapView(offset, 10), nullptr) << offset;
  }
  EXPECT_FALSE(IsClosed(kFirst));
  EXPECT_NE(file.MapView(0, 0), nullptr);
}

TEST_F(MappedFileTest, ReopeningClosesTheFirstFile) {
  MappedFile file;
  ASSERT_TRUE(file.Open(kFirst, TRUE));
  ASSERT_NE(file.MapView(0, 0), nullptr);
  EXPECT_FALSE(IsClosed(kFirst));
  ASSERT_TRUE(file.Open(kSecond, TRUE));
  EXPECT_TRUE(IsClosed(kFirst));
  const BYTE* view = file.MapView(0, 0);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(Bytes(view, view + file.ViewSize()), second_);
}

TEST_F(MappedFileTest, CloseAndDestructorReleaseFileAndName) {
  {
    MappedFile file;
    ASSERT_TRUE(file.Open(kFirst, TRUE));
    ASSERT_NE(file.MapView(0, 0), nullptr);
  }
  EXPECT_TRUE(IsClosed(kFirst));
  MappedFile file;
  ASSERT_TRUE(file.Open(kSecond, TRUE));
  file.Close();
  file.Close();
  EXPECT_TRUE(IsClosed(kSecond));
  EXPECT_EQ(file.MapView(0, 0), nullptr);
  EXPECT_TRUE(file.Open(kFirst, TRUE));
}

TEST_F(MappedFileTest, ReadWriteViewWritesTheFile) {
  MappedFile file;
  ASSERT_TRUE(file.Open(kSecond, FALSE));
  BYTE* view = file.MapView(0, 0);
  ASSERT_NE(view, nullptr);
  std::memset(view, 0xA5, 10);
  view[4999] = 0x5A;
  file.Close();
  Bytes expected = second_;
  std::memset(expected.data(), 0xA5, 10);
  expected[4999] = 0x5A;
  EXPECT_EQ(device_.ReadCard("second.bin"), expected);
}

TEST_F(MappedFileTest, ReadOnlyOpenLeavesTheFileAsItWas) {
  MappedFile file;
  ASSERT_TRUE(file.Open(kSecond, TRUE));
  ASSERT_NE(file.MapView(0, 0), nullptr);
  file.Close();
  EXPECT_EQ(device_.ReadCard("second.bin"), second_);
}

TEST_F(MappedFileTest, FilesThatCannotBeMappedFailAndLeaveNothingOpen) {
  device_.WriteCard("empty.bin", Bytes{});
  MappedFile file;
  EXPECT_FALSE(file.Open(TEXT("\\SD Card\\missing.bin"), TRUE));
  EXPECT_FALSE(file.Open(TEXT("\\SD Card\\empty.bin"), TRUE));
  EXPECT_TRUE(IsClosed(TEXT("\\SD Card\\empty.bin")));
  EXPECT_FALSE(file.Open(TEXT("\\SD Card\\empty.bin"), FALSE));
  EXPECT_TRUE(IsClosed(TEXT("\\SD Card\\empty.bin")));
  EXPECT_EQ(file.MapView(0, 0), nullptr);
  EXPECT_EQ(file.ViewSize(), 0u);
}

TEST_F(MappedFileTest, FileHeldByAnotherOpenerFails) {
  HANDLE other =
      CreateFileW(kFirst, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  MappedFile file;
  EXPECT_FALSE(file.Open(kFirst, TRUE));
  CloseHandle(other);
  EXPECT_TRUE(file.Open(kFirst, TRUE));
}

// The mapping name is shared by every process: a live object of that name would be handed out
// instead of a mapping of our file, and the verifier would check someone else's bytes.
TEST_F(MappedFileTest, TakenMappingNameIsRefusedAndTheFileClosed) {
  HANDLE otherFile =
      CreateFileW(kSecond, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(otherFile, INVALID_HANDLE_VALUE);
  HANDLE otherMapping =
      CreateFileMappingW(otherFile, nullptr, PAGE_READONLY | SEC_COMMIT, 0, 0, kMappingName);
  ASSERT_NE(otherMapping, nullptr);

  MappedFile file;
  EXPECT_FALSE(file.Open(kFirst, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(IsClosed(kFirst));
  EXPECT_EQ(file.MapView(0, 0), nullptr);

  CloseHandle(otherMapping);
  CloseHandle(otherFile);
  ASSERT_TRUE(file.Open(kFirst, TRUE));
  const BYTE* view = file.MapView(0, 0);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(Bytes(view, view + file.ViewSize()), first_);
}

}  // namespace

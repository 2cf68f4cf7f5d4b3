#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <vector>

#include "host_test_support.h"
#include "platform/core_library.h"
#include "testsupport/temporary_device.h"

namespace {

constexpr std::uint64_t kLargeSize = 100'000'000;

struct ProgressLog {
  std::vector<std::uint64_t> totals;
  std::vector<std::uint64_t> done;
  std::vector<DWORD> reasons;
  std::size_t cancelAfter = SIZE_MAX;  // calls before answering PROGRESS_CANCEL
  DWORD answer = PROGRESS_CONTINUE;
};

DWORD Record(LARGE_INTEGER total, LARGE_INTEGER transferred, LARGE_INTEGER streamSize,
             LARGE_INTEGER streamTransferred, DWORD streamNumber, DWORD reason, HANDLE, HANDLE,
             LPVOID data) {
  auto* log = static_cast<ProgressLog*>(data);
  EXPECT_EQ(streamSize.QuadPart, total.QuadPart);
  EXPECT_EQ(streamTransferred.QuadPart, transferred.QuadPart);
  EXPECT_EQ(streamNumber, 1u);
  log->totals.push_back(static_cast<std::uint64_t>(total.QuadPart));
  log->done.push_back(static_cast<std::uint64_t>(transferred.QuadPart));
  log->reasons.push_back(reason);
  if (log->done.size() > log->cancelAfter) return PROGRESS_CANCEL;
  return log->answer;
}

// Names in the card's folder, hidden ones included.
std::vector<std::string> CardNames(const testsupport::TemporaryDevice& device) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(device.Paths().Card()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class CopyFileTest : public ::testing::Test {
 protected:
  testsupport::TemporaryDevice device_{host_test::SmallFlash()};
};

TEST_F(CopyFileTest, CopiesAndReplacesAnExistingDestination) {
  device_.WriteCard("EA1/syaffs.bc", "new image");
  device_.WriteCard("syaffs.bc", "an older and longer image");
  ProgressLog log;
  ASSERT_TRUE(
      CopyFileExW(u"\\SD Card\\EA1\\syaffs.bc", u"\\SD Card\\syaffs.bc", Record, &log, nullptr, 0));
  EXPECT_EQ(device_.ReadCardText("syaffs.bc"), "new image");
  EXPECT_EQ(device_.ReadCardText("EA1/syaffs.bc"), "new image");
  ASSERT_FALSE(log.done.empty());
  EXPECT_EQ(log.reasons.front(), CALLBACK_STREAM_SWITCH);
  EXPECT_EQ(log.done.front(), 0u);
  EXPECT_EQ(log.done.back(), 9u);
  EXPECT_EQ(CardNames(device_), (std::vector<std::string>{"EA1", "syaffs.bc"}));
}

TEST_F(CopyFileTest, EmptyFileAndNoProgressRoutine) {
  device_.WriteCard("empty", "");
  ProgressLog log;
  ASSERT_TRUE(CopyFileExW(u"\\SD Card\\empty", u"\\SD Card\\copy", Record, &log, nullptr, 0));
  EXPECT_EQ(device_.ReadCardText("copy"), "");
  EXPECT_EQ(log.done, std::vector<std::uint64_t>{0});
  EXPECT_EQ(log.totals, std::vector<std::uint64_t>{0});
  device_.WriteCard("small", "abc");
  ASSERT_TRUE(CopyFileExW(u"\\SD Card\\small", u"\\SD Card\\copy", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(device_.ReadCardText("copy"), "abc");
}

TEST_F(CopyFileTest, LargeCopyReportsRisingProgressEndingAtItsSize) {
  // Sparse, with marks at the start, across a chunk boundary and at the very end.
  const std::filesystem::path source = device_.Card("seboot.nb0");
  {
    std::ofstream stream(source, std::ios::binary);
    stream << "head";
    stream.seekp(1024 * 1024 - 2);
    stream << "edge";
    stream.seekp(static_cast<std::streamoff>(kLargeSize - 4));
    stream << "tail";
  }
  ASSERT_EQ(std::filesystem::file_size(source), kLargeSize);
  ProgressLog log;
  ASSERT_TRUE(
      CopyFileExW(u"\\SD Card\\seboot.nb0", u"\\SD Card\\_seboot.nb0", Record, &log, nullptr, 0));

  ASSERT_GE(log.done.size(), 3u);
  for (std::uint64_t total : log.totals) EXPECT_EQ(total, kLargeSize);
  for (std::size_t i = 1; i < log.done.size(); ++i) EXPECT_GT(log.done[i], log.done[i - 1]);
  EXPECT_EQ(log.done.back(), kLargeSize);
  // The percentage a caller computes as bytes x 100 / total: 10^10 needs more than 32 bits.
  std::uint64_t lastPercent = 0;
  for (std::uint64_t done : log.done) {
    const std::uint64_t percent = done * 100 / kLargeSize;
    EXPECT_GE(percent, lastPercent);
    EXPECT_LE(percent, 100u);
    lastPercent = percent;
  }
  EXPECT_EQ(lastPercent, 100u);
  EXPECT_GT(kLargeSize * 100, std::uint64_t{UINT32_MAX});

  const std::filesystem::path copy = device_.Card("_seboot.nb0");
  ASSERT_EQ(std::filesystem::file_size(copy), kLargeSize);
  std::ifstream stream(copy, std::ios::binary);
  char mark[5] = {};
  stream.read(mark, 4);
  EXPECT_STREQ(mark, "head");
  stream.seekg(1024 * 1024 - 2);
  stream.read(mark, 4);
  EXPECT_STREQ(mark, "edge");
  stream.seekg(static_cast<std::streamoff>(kLargeSize - 4));
  stream.read(mark, 4);
  EXPECT_STREQ(mark, "tail");
}

TEST_F(CopyFileTest, CopyOntoAFullCardFailsAndKeepsTheOldDestination) {
  sim::DeviceConfig config = host_test::SmallFlash();
  config.cardCapacity = 3000;
  device_.SaveConfig(config);
  device_.WriteCard("source", std::string(1500, 's'));
  device_.WriteCard("target", std::string(1000, 't'));  // 2500 used, 500 free
  ProgressLog log;
  EXPECT_FALSE(CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\target", Record, &log, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(device_.ReadCardText("target"), std::string(1000, 't'));
  EXPECT_EQ(CardNames(device_), (std::vector<std::string>{"source", "target"}));

  // With exactly enough room (the old destination stays until the copy is complete) it fits.
  config.cardCapacity = 4000;
  device_.SaveConfig(config);
  EXPECT_TRUE(
      CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\target", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(device_.ReadCardText("target"), std::string(1500, 's'));
}

TEST_F(CopyFileTest, FailuresLeaveTheOldDestinationAndNoTemporary) {
  device_.WriteCard("source", std::string(3 * 1024 * 1024 + 5, 'n'));
  device_.WriteCard("target", "old");
  const std::vector<std::string> before = CardNames(device_);

  EXPECT_FALSE(
      CopyFileExW(u"\\SD Card\\absent", u"\\SD Card\\target", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(
      CopyFileExW(u"\\SD Card\\EA9\\x", u"\\SD Card\\target", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(
      CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\EA9\\x", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // The progress routine cancels after the second chunk.
  ProgressLog log;
  log.cancelAfter = 2;
  EXPECT_FALSE(CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\target", Record, &log, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);
  EXPECT_EQ(log.done.size(), 3u);

  ProgressLog stopping;
  stopping.answer = PROGRESS_STOP;
  EXPECT_FALSE(
      CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\target", Record, &stopping, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);

  BOOL cancel = TRUE;
  EXPECT_FALSE(
      CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\target", nullptr, nullptr, &cancel, 0));
  EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);

  EXPECT_FALSE(CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\target", nullptr, nullptr, nullptr,
                           COPY_FILE_FAIL_IF_EXISTS));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  EXPECT_EQ(device_.ReadCardText("target"), "old");
  EXPECT_EQ(CardNames(device_), before);
}

TEST_F(CopyFileTest, QuietAnswerStopsTheCallsButNotTheCopy) {
  device_.WriteCard("source", std::string(3 * 1024 * 1024, 'q'));
  ProgressLog log;
  log.answer = PROGRESS_QUIET;
  EXPECT_TRUE(CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\target", Record, &log, nullptr, 0));
  EXPECT_EQ(log.done.size(), 1u);
  EXPECT_EQ(std::filesystem::file_size(device_.Card("target")), 3u * 1024 * 1024);
}

TEST_F(CopyFileTest, FilesInUseAreNotCopiedOrReplaced) {
  device_.WriteCard("source", "new");
  device_.WriteCard("target", "old");
  const HANDLE heldSource =
      CreateFileW(u"\\SD Card\\source", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(heldSource, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(
      CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\target", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(heldSource);

  const HANDLE heldTarget = CreateFileW(u"\\SD Card\\target", GENERIC_READ, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(heldTarget, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(
      CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\target", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(heldTarget);
  EXPECT_EQ(device_.ReadCardText("target"), "old");

  // Copying a file onto itself is copying onto a file in use.
  EXPECT_FALSE(
      CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\source", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(device_.ReadCardText("source"), "new");
  // Folders are neither source nor destination.
  std::filesystem::create_directory(device_.Card("folder"));
  EXPECT_FALSE(CopyFileExW(u"\\SD Card\\folder", u"\\SD Card\\x", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(
      CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\folder", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CopyFileExW(u"\\SD Card\\source", u"\\SD Card", nullptr, nullptr, nullptr, 0));
}

// A copy keeps the source's read-only attribute, and a read-only destination is kept.
TEST_F(CopyFileTest, ReadOnlyAttributeTravelsWithTheCopyAndGuardsTheDestination) {
  device_.WriteCard("source", "new");
  ASSERT_EQ(::chmod(device_.Card("source").c_str(), 0444), 0);
  ASSERT_TRUE(CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\copy", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(device_.ReadCardText("copy"), "new");
  EXPECT_EQ(CreateFileW(u"\\SD Card\\copy", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  device_.WriteCard("other", "other");
  EXPECT_FALSE(CopyFileExW(u"\\SD Card\\other", u"\\SD Card\\copy", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(device_.ReadCardText("copy"), "new");
  EXPECT_EQ(CardNames(device_), (std::vector<std::string>{"copy", "other", "source"}));
}

// A restart or power cut in the middle of a copy leaves the old destination, never a part of
// the new one: the destination is complete only once the call returned.
TEST_F(CopyFileTest, ACopyCutOffHalfWayLeavesTheOldDestination) {
  device_.WriteCard("source", std::string(3 * 1024 * 1024, 'x'));
  device_.WriteCard("target", "old");
  host_test::Child cut([](host_test::Child&) {
    const auto restartAfterOneChunk = [](LARGE_INTEGER, LARGE_INTEGER transferred, LARGE_INTEGER,
                                         LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                                         LPVOID) -> DWORD {
      if (transferred.QuadPart > 0)
        KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
      return PROGRESS_CONTINUE;
    };
    CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\target", restartAfterOneChunk, nullptr,
                nullptr, 0);
    return 1;
  });
  EXPECT_EQ(cut.Join(), 0);
  EXPECT_EQ(device_.ReadCardText("target"), "old");
}

TEST_F(CopyFileTest, TemporariesOfKilledCopiesAreRemovedByTheNextCopy) {
  host_test::Child ended([](host_test::Child&) { return 0; });
  const pid_t gone = ended.Pid();
  ASSERT_EQ(ended.Join(), 0);
  const std::string leftover = ".target.copy-in-progress-" + std::to_string(gone) + "-1";
  const std::string ours = ".target.copy-in-progress-" + std::to_string(::getpid()) + "-999";
  device_.WriteCard(leftover, std::string(100, 'x'));
  device_.WriteCard(ours, "y");
  device_.WriteCard("source", "content");
  EXPECT_TRUE(
      CopyFileExW(u"\\SD Card\\source", u"\\SD Card\\target", nullptr, nullptr, nullptr, 0));
  EXPECT_FALSE(std::filesystem::exists(device_.Card(leftover)));
  EXPECT_TRUE(std::filesystem::exists(device_.Card(ours)));  // a running process's copy
}

}  // namespace

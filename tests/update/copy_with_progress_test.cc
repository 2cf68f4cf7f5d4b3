#include "update/copy_with_progress.h"

#include <gtest/gtest.h>

#include "recording_dialog.h"
#include "testsupport/temporary_device.h"

namespace {

using testsupport::Bytes;

TEST(ProgressPercentTest, WholePercentagesWithoutOverflow) {
  struct Case {
    ULONGLONG transferred;
    ULONGLONG total;
    DWORD expected;
  };
  const Case cases[] = {
      {0, 0, 100},  // an empty file is done at once, and nothing divides by 0
      {0, 1, 0},
      {1, 1, 100},
      {0, 100, 0},
      {1, 100, 1},
      {99, 100, 99},
      {100, 100, 100},
      {2, 3, 66},
      // 100,000,000 bytes: transferred x 100 exceeds 32 bits.
      {50'000'000, 100'000'000, 50},
      {99'999'999, 100'000'000, 99},
      {100'000'000, 100'000'000, 100},
      {0xFFFFFFFFull, 0x100000000ull, 99},
      // Near the top of 64 bits, where transferred x 100 would not fit.
      {0x4000000000000000ull, 0x8000000000000000ull, 50},
      {0xFFFFFFFFFFFFFFFEull, 0xFFFFFFFFFFFFFFFFull, 99},
      {0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull, 100},
      {200, 100, 100},  // never past the end of the bar
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProgressPercent(c.transferred, c.total), c.expected)
        << c.transferred << " of " << c.total;
  }
}

LARGE_INTEGER Large(LONGLONG value) {
  LARGE_INTEGER large;
  large.QuadPart = value;
  return large;
}

TEST(CopyProgressRoutineTest, SetsThePositionAndContinues) {
  test::RecordingWindow bar;
  const LARGE_INTEGER zero = Large(0);
  EXPECT_EQ(CopyProgressRoutine(Large(100'000'000), Large(42'949'673), zero, zero, 1,
                                CALLBACK_CHUNK_FINISHED, nullptr, nullptr, bar.Handle()),
            PROGRESS_CONTINUE);
  EXPECT_EQ(CopyProgressRoutine(Large(0), Large(0), zero, zero, 1, CALLBACK_STREAM_SWITCH, nullptr,
                                nullptr, bar.Handle()),
            PROGRESS_CONTINUE);
  const std::vector<test::WindowMessage> expected = {{PBM_SETPOS, 42, 0, 0},
                                                     {PBM_SETPOS, 100, 0, 0}};
  EXPECT_EQ(bar.Messages(), expected);
}

class CopyWithProgressTest : public ::testing::Test {
 protected:
  testsupport::TemporaryDevice device_;
  test::RecordingDialog dialog_;
};

TEST_F(CopyWithProgressTest, CountsOneOperationResetsTheBarAndRisesTo100) {
  const Bytes content = testsupport::PatternBytes(3 * 1024 * 1024 + 17, 3);
  device_.WriteCard("EA1/syaffs.bc", content);
  ASSERT_TRUE(
      CopyWithProgress(&dialog_, TEXT("\\SD Card\\EA1\\syaffs.bc"), TEXT("\\SD Card\\syaffs.bc")));
  EXPECT_EQ(dialog_.operations, 1);
  EXPECT_EQ(device_.ReadCard("syaffs.bc"), content);

  const std::vector<test::WindowMessage> messages = dialog_.bar.Messages();
  ASSERT_GE(messages.size(), 3u);
  // The reset comes after the operation was counted and before any position.
  EXPECT_EQ(messages[0], (test::WindowMessage{PBM_SETRANGE, 0, MAKELPARAM(0, 100), 1}));
  EXPECT_EQ(messages[1], (test::WindowMessage{PBM_SETPOS, 0, 0, 1}));
  const std::vector<WPARAM> positions = dialog_.bar.Positions();
  for (std::size_t i = 1; i < positions.size(); ++i) {
    EXPECT_LE(positions[i - 1], positions[i]);
  }
  EXPECT_EQ(positions.back(), 100u);
}

TEST_F(CopyWithProgressTest, ReplacesAnExistingDestination) {
  device_.WriteCard("seboot.nb0", testsupport::PatternBytes(10, 4));
  device_.WriteCard("_seboot.nb0", testsupport::PatternBytes(100'000, 5));
  ASSERT_TRUE(
      CopyWithProgress(&dialog_, TEXT("\\SD Card\\seboot.nb0"), TEXT("\\SD Card\\_seboot.nb0")));
  EXPECT_EQ(device_.ReadCard("_seboot.nb0"), testsupport::PatternBytes(10, 4));
}

TEST_F(CopyWithProgressTest, FailedCopyStillCountsAnOperation) {
  EXPECT_FALSE(
      CopyWithProgress(&dialog_, TEXT("\\SD Card\\missing.bin"), TEXT("\\SD Card\\copy.bin")));
  EXPECT_EQ(dialog_.operations, 1);
  EXPECT_FALSE(std::filesystem::exists(device_.Card("copy.bin")));
  EXPECT_FALSE(
      CopyWithProgress(&dialog_, TEXT("\\SD Card\\missing.bin"), TEXT("\\SD Card\\copy.bin")));
  EXPECT_EQ(dialog_.operations, 2);
}

TEST_F(CopyWithProgressTest, EmptyFileCopiesWithinTheBar) {
  device_.WriteCard("empty.bin", Bytes{});
  ASSERT_TRUE(
      CopyWithProgress(&dialog_, TEXT("\\SD Card\\empty.bin"), TEXT("\\SD Card\\copy.bin")));
  EXPECT_TRUE(device_.ReadCard("copy.bin").empty());
  for (WPARAM position : dialog_.bar.Positions()) {
    EXPECT_LE(position, 100u);
  }
}

}  // namespace

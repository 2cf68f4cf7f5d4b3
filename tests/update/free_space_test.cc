#include "update/free_space.h"

#include <gtest/gtest.h>

#include "platform/core_library.h"
#include "testsupport/factory_settings.h"
#include "testsupport/temporary_device.h"

namespace {

constexpr std::uint64_t kBootloaderSize = 300'000;
constexpr std::uint64_t kVariant2Size = 2'000'000;
constexpr std::uint64_t kMebibyte = 0x100000;

class HasEnoughFreeSpaceTest : public ::testing::Test {
 protected:
  void Prepare(const std::string& partNumber) {
    ASSERT_EQ(testsupport::FormatSettings(partNumber), "");
    device_.WriteCard("seboot.nb0", testsupport::Bytes(kBootloaderSize, 1));
    device_.WriteCard("EA1/syaffs.bc", testsupport::Bytes(5'000'000, 2));
    device_.WriteCard("EA2/syaffs.bc", testsupport::Bytes(kVariant2Size, 3));
  }

  // Sets the card's capacity so that exactly `free` bytes are free with the files on it now.
  void SetFreeBytes(std::uint64_t free) {
    sim::DeviceConfig config = device_.Config();
    config.cardCapacity = 1ull << 32;
    device_.SaveConfig(config);
    ULARGE_INTEGER available{}, total{}, totalFree{};
    available.QuadPart = 0;
    ASSERT_TRUE(GetDiskFreeSpaceExW(u"\\SD Card", &available, &total, &totalFree));
    const std::uint64_t used = *config.cardCapacity - available.QuadPart;
    config.cardCapacity = used + free;
    device_.SaveConfig(config);
    available.QuadPart = 0;
    ASSERT_TRUE(GetDiskFreeSpaceExW(u"\\SD Card", &available, &total, &totalFree));
    ASSERT_EQ(available.QuadPart, free);
  }

  testsupport::TemporaryDevice device_;
};

TEST_F(HasEnoughFreeSpaceTest, FreeSpaceMustExceedBothCopiesAndAMebibyte) {
  Prepare("52614-02");
  const std::uint64_t required = kBootloaderSize + kVariant2Size + kMebibyte;
  struct Case {
    std::uint64_t free;
    bool expected;
  };
  for (const Case& c : {Case{0, false}, Case{required - 1, false}, Case{required, false},
                        Case{required + 1, true}, Case{required * 10, true}}) {
    SetFreeBytes(c.free);
    EXPECT_EQ(HasEnoughFreeSpace(), c.expected) << c.free << " free, " << required << " needed";
  }
}

TEST_F(HasEnoughFreeSpaceTest, UnknownPartNumberCountsOnlyTheBootloader) {
  Prepare("52614-04");
  const std::uint64_t required = kBootloaderSize + kMebibyte;
  SetFreeBytes(required);
  EXPECT_FALSE(HasEnoughFreeSpace());
  SetFreeBytes(required + 1);
  EXPECT_TRUE(HasEnoughFreeSpace());
}

TEST_F(HasEnoughFreeSpaceTest, MissingFilesCountNothing) {
  ASSERT_EQ(testsupport::FormatSettings("52614-13"), "");
  SetFreeBytes(kMebibyte);
  EXPECT_FALSE(HasEnoughFreeSpace());
  SetFreeBytes(kMebibyte + 1);
  EXPECT_TRUE(HasEnoughFreeSpace());
}

TEST_F(HasEnoughFreeSpaceTest, NoCardIsNoRoom) {
  Prepare("52614-01");
  std::filesystem::remove_all(device_.Paths().Card());
  EXPECT_FALSE(HasEnoughFreeSpace());
}

TEST(CardFileSizeTest, SizeOfAFileOrZero) {
  testsupport::TemporaryDevice device;
  device.WriteCard("a.bin", testsupport::Bytes(1234, 0));
  EXPECT_EQ(CardFileSize(u"\\SD Card\\a.bin"), 1234u);
  EXPECT_EQ(CardFileSize(u"\\SD Card\\missing.bin"), 0u);
}

}  // namespace

#include "update/bootloader_programmer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "recording_dialog.h"
#include "sim/nor_chip.h"
#include "testsupport/factory_settings.h"
#include "testsupport/temporary_device.h"

namespace {

using testsupport::Bytes;

// Default geometry: 8 blocks of 8 KiB, then 62 of 32 KiB; the settings partitions take blocks
// 65 to 68 and the partition table block 69.
constexpr std::uint32_t kFirstSettingsBlock = 65;

class BootloaderProgrammerTest : public ::testing::Test {
 protected:
  // Formats the device, puts a recognisable old bootloader into blocks 0..9, applies the fault
  // plan and opens the flash under NOR_SYN_OBJ.
  void Start(std::vector<sim::Fault> faults = {}) {
    ASSERT_EQ(testsupport::FormatSettings("52614-01"), "");
    Bytes nor = device_.ReadNor();
    std::fill(nor.begin(),
              nor.begin() + static_cast<long>(sim::BlockLayout(config_.regions).Start(10)), 0x3C);
    testsupport::WriteFile(device_.Paths().Nor(), nor);
    before_ = nor;
    sim::DeviceConfig config = device_.Config();
    config.faults = std::move(faults);
    device_.SaveConfig(config);
    NorFlashMutex::Create();
    NorFlashMutex::Acquire();
    ASSERT_TRUE(NorFlash::Open());
    opened_ = true;
  }

  // Closes the flash and lets go of this device's NOR_SYN_OBJ.
  void Finish() {
    if (opened_) {
      NorFlash::Close();
      NorFlashMutex::ReleaseAndClose();
      opened_ = false;
    }
  }

  void TearDown() override { Finish(); }

  std::uint64_t Offset(std::uint32_t block) const {
    return sim::BlockLayout(config_.regions).Start(block);
  }

  // nor.bin as it should be after writing `written` bytes of `image` over `before_`: every
  // block touched is erased first.
  Bytes Expected(const Bytes& image, std::uint64_t written) const {
    Bytes expected = before_;
    std::uint32_t block = 0;
    while (Offset(block) < written) {
      std::fill(expected.begin() + static_cast<long>(Offset(block)),
                expected.begin() + static_cast<long>(Offset(block + 1)), 0xFF);
      ++block;
    }
    std::copy(image.begin(), image.begin() + static_cast<long>(written), expected.begin());
    return expected;
  }

  sim::DeviceConfig config_;
  testsupport::TemporaryDevice device_{config_};
  Bytes before_;
  bool opened_ = false;
  test::RecordingDialog dialog_;
};

TEST_F(BootloaderProgrammerTest, CapacityEndsAtTheFirstSettingsBlock) {
  Start();
  EXPECT_EQ(BootloaderCapacity(), Offset(kFirstSettingsBlock));
}

TEST_F(BootloaderProgrammerTest, OneByteImageErasesBlockZeroAndProgramsOneByte) {
  Start();
  const Bytes image = {0x42};
  EXPECT_EQ(ProgramBootloader(image.data(), 1, dialog_.bar.Handle()), 1u);
  Finish();
  const Bytes nor = device_.ReadNor();
  EXPECT_EQ(nor, Expected(image, 1));
  EXPECT_EQ(nor[1], 0xFF);
  EXPECT_EQ(nor[Offset(1)], 0x3C);
  EXPECT_EQ(dialog_.bar.Positions(), std::vector<WPARAM>{100});
}

TEST_F(BootloaderProgrammerTest, ImageOverManyBlocksEndsWithTheRestOfItsLastBlockErased) {
  Start();
  // Reaches into block 9 (the eighth 8 KiB block is block 7; blocks 8 on are 32 KiB).
  const Bytes image = testsupport::PatternBytes(Offset(9) + 1001, 7);
  const DWORD length = static_cast<DWORD>(image.size());
  EXPECT_EQ(ProgramBootloader(image.data(), length, dialog_.bar.Handle()), length);
  Finish();
  EXPECT_EQ(device_.ReadNor(), Expected(image, length));
  // One position per block, written x 100 / n.
  std::vector<WPARAM> expected;
  for (std::uint32_t block = 1; block <= 10; ++block) {
    expected.push_back(std::min<std::uint64_t>(Offset(block), length) * 100 / length);
  }
  EXPECT_EQ(dialog_.bar.Positions(), expected);
}

TEST_F(BootloaderProgrammerTest, ImageUpToTheSettingsIsWrittenOverTheBitmap) {
  Start();
  const Bytes image = testsupport::PatternBytes(Offset(kFirstSettingsBlock), 8);
  const DWORD length = static_cast<DWORD>(image.size());
  EXPECT_EQ(ProgramBootloader(image.data(), length, dialog_.bar.Handle()), length);
  Finish();
  EXPECT_EQ(device_.ReadNor(), Expected(image, length));
}

// Without the bound the image would run over the settings and the partition table; now it is
// refused before block 0 is erased.
TEST_F(BootloaderProgrammerTest, ImageReachingTheSettingsIsRefusedBeforeAnyErase) {
  Start();
  for (std::uint64_t size : {Offset(kFirstSettingsBlock) + 1, Offset(70), Offset(70) + 1}) {
    const Bytes image = testsupport::PatternBytes(size, 9);
    EXPECT_EQ(ProgramBootloader(image.data(), static_cast<DWORD>(size), dialog_.bar.Handle()), 0u)
        << size;
  }
  Finish();
  EXPECT_EQ(device_.ReadNor(), before_);
  EXPECT_TRUE(dialog_.bar.Positions().empty());
}

TEST_F(BootloaderProgrammerTest, NothingToProgramGivesZero) {
  Start();
  const Bytes image = {1};
  EXPECT_EQ(ProgramBootloader(nullptr, 1, dialog_.bar.Handle()), 0u);
  EXPECT_EQ(ProgramBootloader(image.data(), 0, dialog_.bar.Handle()), 0u);
}

struct FaultCase {
  const char* name;
  sim::Fault fault;
  std::uint32_t failingBlock;
};

class BootloaderFaultTest : public BootloaderProgrammerTest,
                            public ::testing::WithParamInterface<FaultCase> {};

TEST_P(BootloaderFaultTest, ProgrammingEndsAtTheFailingBlock) {
  Start({GetParam().fault});
  const Bytes image = testsupport::PatternBytes(Offset(12) + 5, 10);
  const DWORD length = static_cast<DWORD>(image.size());
  const std::uint64_t written = Offset(GetParam().failingBlock);
  EXPECT_EQ(ProgramBootloader(image.data(), length, dialog_.bar.Handle()), written);
  Finish();
  const Bytes nor = device_.ReadNor();
  const auto failing = static_cast<long>(written);
  const auto next = static_cast<long>(Offset(GetParam().failingBlock + 1));
  // Blocks before the failing one hold the image; the ones after it the old bootloader.
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + failing, nor.begin()));
  EXPECT_TRUE(std::equal(before_.begin() + next, before_.end(), nor.begin() + next));
  EXPECT_EQ(dialog_.bar.Positions().size(), GetParam().failingBlock);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BootloaderFaultTest,
    ::testing::Values(FaultCase{"EraseBlock0", sim::Fault::EraseError(0), 0},
                      FaultCase{"EraseBlock3", sim::Fault::EraseError(3), 3},
                      FaultCase{"EraseBlock9", sim::Fault::EraseError(9), 9},
                      FaultCase{"ProgramBlock0", sim::Fault::ProgramError(0), 0},
                      FaultCase{"ProgramBlock5LastWord", sim::Fault::ProgramError(5, 4095), 5},
                      FaultCase{"ProgramBlock11", sim::Fault::ProgramError(11, 100), 11}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// The chip reported success, but a bit of block 1 changed before the read-back (flipped behind
// the driver's back once the last block was written): the image does not count as written.
TEST_F(BootloaderProgrammerTest, ImageThatDoesNotReadBackIsNotWhole) {
  Start();
  const Bytes image = testsupport::PatternBytes(Offset(4) + 10, 12);
  const DWORD length = static_cast<DWORD>(image.size());
  dialog_.bar.onMessage = [&](const test::WindowMessage& message) {
    if (message.message == PBM_SETPOS && message.wParam == 100) {
      std::string error;
      ASSERT_TRUE(sim::FlipBit(device_.Paths(), Offset(1) + 77, 3, &error)) << error;
    }
  };
  EXPECT_EQ(ProgramBootloader(image.data(), length, dialog_.bar.Handle()), Offset(1));
}

TEST_F(BootloaderProgrammerTest, ReadBackComparesTheFlashWithTheImage) {
  Start();
  const Bytes image = testsupport::PatternBytes(3000, 11);
  ASSERT_EQ(ProgramBootloader(image.data(), 3000, dialog_.bar.Handle()), 3000u);
  EXPECT_TRUE(FlashHolds(0, image.data(), 3000));
  Bytes changed = image;
  changed[2999] ^= 0x01;
  EXPECT_FALSE(FlashHolds(0, changed.data(), 3000));
  EXPECT_FALSE(FlashHolds(1, image.data(), 3000));
  EXPECT_FALSE(FlashHolds(0, image.data(), 8193));
  EXPECT_FALSE(FlashHolds(70, image.data(), 1));
  EXPECT_FALSE(FlashHolds(0, nullptr, 1));
}

}  // namespace

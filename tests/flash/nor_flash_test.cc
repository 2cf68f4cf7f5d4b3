#include "flash/nor_flash.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "platform/physical_memory.h"
#include "sim/nor_chip.h"
#include "testsupport/temporary_device.h"

namespace {

using testsupport::TemporaryDevice;

using sim::NorChip;

sim::DeviceConfig Geometry(std::vector<sim::FlashRegion> regions) {
  sim::DeviceConfig config;
  config.regions = std::move(regions);
  return config;
}

// Every test leaves the driver closed, whatever it did.
class NorFlashTest : public ::testing::Test {
 protected:
  void TearDown() override {
    while (NorFlash::OpenCount() != 0) NorFlash::Close();
    NorFlash::Close();
  }
  static NorChip& Chip() { return *sim::ProcessChip(); }
  static std::uint64_t Offset(DWORD block) {
    return static_cast<std::uint64_t>(
        reinterpret_cast<const volatile BYTE*>(NorFlash::BlockAddress(block)) -
        reinterpret_cast<const volatile BYTE*>(NorFlash::BlockAddress(0)));
  }
  static std::vector<BYTE> ReadThroughWindow(DWORD block, DWORD offset, std::size_t length) {
    std::vector<BYTE> bytes(length);
    std::memcpy(bytes.data(),
                const_cast<const BYTE*>(
                    reinterpret_cast<const volatile BYTE*>(NorFlash::BlockAddress(block))) +
                    offset,
                length);
    return bytes;
  }
};

// The program-data cycles of a trace (the write after each word-program setup), and the runs
// of them between read-array commands.
std::vector<sim::BusWrite> DataWrites(const std::vector<sim::BusWrite>& trace) {
  std::vector<sim::BusWrite> data;
  for (std::size_t i = 0; i + 1 < trace.size(); ++i)
    if (trace[i].value == 0x0040) data.push_back(trace[i + 1]);
  return data;
}

std::vector<std::size_t> WordsPerRun(const std::vector<sim::BusWrite>& trace) {
  std::vector<std::size_t> runs;
  std::size_t words = 0;
  for (std::size_t i = 0; i < trace.size(); ++i) {
    if (trace[i].value == 0x0040) ++words;
    if (trace[i].value == 0x00FF && words != 0) {
      runs.push_back(words);
      words = 0;
    }
  }
  return runs;
}

// This geometry is too small for the default layout (the bitmap would reach block T - 5), so
// the device gets a valid, empty table in its last block beforehand.
void WriteEmptyTable(const TemporaryDevice& device) {
  std::vector<std::uint8_t> nor = device.ReadNor();
  ASSERT_EQ(PartitionTable::Initialise(nor.data() + nor.size() - 0x20000), 1);
  device.WriteNor(nor);
}

bool HasCommand(const std::vector<sim::BusWrite>& trace, std::uint16_t value) {
  for (const sim::BusWrite& write : trace)
    if (write.value == value) return true;
  return false;
}

// The first open on every device shape: the geometry from the query table, the default table
// written into the last block, the settings below it and the bootloader from block 0 up to its
// first MiB.
class NorFlashShapeTest : public NorFlashTest,
                          public ::testing::WithParamInterface<testsupport::DeviceShape> {};

TEST_P(NorFlashShapeTest, FirstOpenIdentifiesTheDeviceAndWritesTheDefaultTable) {
  const testsupport::DeviceShape& shape = GetParam();
  TemporaryDevice device(shape.Config());
  const sim::BlockLayout blocks = device.Blocks();
  const DWORD last = blocks.Count() - 1;
  ASSERT_EQ(NorFlash::Open(), 1);
  const FlashGeometry& geometry = NorFlash::Geometry();
  for (std::size_t region = 0; region < 2; ++region) {
    const sim::FlashRegion expected =
        region < shape.regions.size() ? shape.regions[region] : sim::FlashRegion{};
    EXPECT_EQ(geometry.regionBlockCount[region], expected.count) << "region " << region;
    EXPECT_EQ(geometry.regionBlockSize[region], expected.size) << "region " << region;
  }
  EXPECT_EQ(geometry.totalBlockCount, blocks.Count());
  EXPECT_EQ(geometry.lockTimeoutUs, 1000000u);
  EXPECT_EQ(geometry.wordProgramTimeoutUs, 16u * 16u);
  EXPECT_EQ(geometry.blockEraseTimeoutUs, 1024u * 4u * 1000u);
  for (DWORD block = 0; block <= last; ++block) EXPECT_EQ(Offset(block), blocks.Start(block));

  EXPECT_EQ(NorFlash::FirstBlockOfType(6), static_cast<INT>(last - 1));
  EXPECT_EQ(NorFlash::FirstBlockOfType(4), static_cast<INT>(last - 4));
  EXPECT_EQ(NorFlash::LastBlockOfType(2), static_cast<INT>(*blocks.BlockAt(0xFFFFF)));
  const std::vector<BYTE> table = ReadThroughWindow(last, 0, kPartitionTableSize);
  EXPECT_EQ(PartitionTable::IsValid(table.data()), 1);
  // The table reached nor.bin at the start of the last block.
  const std::vector<std::uint8_t> nor = device.ReadNor();
  EXPECT_EQ(std::memcmp(nor.data() + blocks.Start(last), table.data(), table.size()), 0);

  EXPECT_EQ(Chip().CurrentMode(), NorChip::Mode::ReadArray);
  EXPECT_TRUE(Chip().IsLocked(last));
  EXPECT_TRUE(Chip().Probe().Violations().empty()) << Chip().Probe().Violations().front();
}

INSTANTIATE_TEST_SUITE_P(Shapes, NorFlashShapeTest,
                         ::testing::ValuesIn(testsupport::DeviceShapes()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NorFlashTest, NestedOpensNeedAsManyClosesAndTouchNothing) {
  TemporaryDevice device;
  ASSERT_EQ(NorFlash::Open(), 1);
  const std::uint64_t commands = Chip().Probe().Commands();
  ASSERT_EQ(NorFlash::Open(), 1);
  EXPECT_EQ(Chip().Probe().Commands(), commands);
  EXPECT_EQ(NorFlash::OpenCount(), 2u);
  EXPECT_EQ(NorFlash::Close(), 1);
  EXPECT_NE(NorFlash::BlockAddress(0), nullptr);
  EXPECT_EQ(NorFlash::BlockSize(0), 0x2000u);
  EXPECT_EQ(NorFlash::Close(), 1);
  EXPECT_EQ(NorFlash::BlockAddress(0), nullptr);
  EXPECT_EQ(NorFlash::Close(), 1);
  EXPECT_EQ(NorFlash::OpenCount(), 0u);
}

TEST_F(NorFlashTest, AnIdentifierOfHex189FailsTheOpenAndRestoresReadArray) {
  sim::DeviceConfig config;
  config.manufacturer = 0x0189;
  TemporaryDevice device(config);
  EXPECT_EQ(NorFlash::Open(), 0);
  EXPECT_EQ(NorFlash::OpenCount(), 0u);
  EXPECT_EQ(NorFlash::BlockAddress(0), nullptr);
  EXPECT_EQ(Chip().CurrentMode(), NorChip::Mode::ReadArray);
  // A close after the failed open finds nothing to release.
  EXPECT_EQ(NorFlash::Close(), 1);
  EXPECT_EQ(NorFlash::OpenCount(), 0u);
}

TEST_F(NorFlashTest, AMissingArrayFailsTheOpen) {
  TemporaryDevice device;
  std::filesystem::remove(device.Paths().Nor());
  EXPECT_EQ(NorFlash::Open(), 0);
  EXPECT_EQ(NorFlash::OpenCount(), 0u);
  EXPECT_EQ(NorFlash::BlockSize(0), 0u);
}

TEST_F(NorFlashTest, AGeometryPastTheWindowFailsTheOpenBeforeAnyArrayAccess) {
  TemporaryDevice device(Geometry({{8, 0x2000}, {126, 0x8000}}));  // 4 MiB
  sim::AttachFlash(nullptr)->Probe().TraceWrites(true);
  EXPECT_EQ(NorFlash::Open(), 0);
  EXPECT_EQ(NorFlash::OpenCount(), 0u);
  const std::vector<sim::BusWrite>& trace = Chip().Probe().Trace();
  EXPECT_FALSE(HasCommand(trace, 0x0020));
  EXPECT_FALSE(HasCommand(trace, 0x0040));
  EXPECT_EQ(Chip().CurrentMode(), NorChip::Mode::ReadArray);
  for (const sim::BusWrite& write : trace) EXPECT_LT(write.offset, kFlashWindowSize);
}

TEST_F(NorFlashTest, EveryOperationOfAClosedDriverIsRefusedWithoutDeviceAccess) {
  TemporaryDevice device;
  ASSERT_EQ(NorFlash::Open(), 1);
  ASSERT_EQ(NorFlash::Close(), 1);
  const std::uint64_t commands = Chip().Probe().Commands();
  const BYTE data[4] = {1, 2, 3, 4};
  EXPECT_EQ(NorFlash::BlockAddress(0), nullptr);
  EXPECT_EQ(NorFlash::BlockSize(0), 0u);
  EXPECT_EQ(NorFlash::EraseBlock(0), 0);
  EXPECT_EQ(NorFlash::Program(0, 0, data, sizeof data), 0);
  EXPECT_EQ(NorFlash::SetBlockLock(0, 1, 0), 0);
  EXPECT_EQ(NorFlash::FirstBlockOfType(6), -1);
  EXPECT_EQ(NorFlash::LastBlockOfType(6), -1);
  EXPECT_EQ(Chip().Probe().Commands(), commands);
}

TEST_F(NorFlashTest, AOneRegionDeviceHasAnEmptySecondRegion) {
  TemporaryDevice device(Geometry({{64, 0x8000}}));
  ASSERT_EQ(NorFlash::Open(), 1);
  EXPECT_EQ(NorFlash::Geometry().regionBlockCount[1], 0u);
  EXPECT_EQ(NorFlash::Geometry().regionBlockSize[1], 0u);
  EXPECT_EQ(NorFlash::BlockSize(63), 0x8000u);
  EXPECT_EQ(NorFlash::BlockSize(64), 0u);
  EXPECT_EQ(NorFlash::FirstBlockOfType(4), 59);
}

TEST_F(NorFlashTest, BlockAddressesAndSizesFollowTheRegions) {
  TemporaryDevice device(Geometry({{4, 0x8000}, {15, 0x20000}}));
  WriteEmptyTable(device);
  ASSERT_EQ(NorFlash::Open(), 1);
  EXPECT_EQ(Offset(3), 0x18000u);
  EXPECT_EQ(Offset(4), 0x20000u);
  EXPECT_EQ(Offset(5), 0x40000u);
  EXPECT_EQ(NorFlash::BlockSize(3), 0x8000u);
  EXPECT_EQ(NorFlash::BlockSize(4), 0x20000u);
  EXPECT_EQ(NorFlash::BlockSize(18), 0x20000u);
  EXPECT_EQ(NorFlash::BlockSize(19), 0u);
  EXPECT_EQ(NorFlash::BlockSize(0xFFFFFFFFu), 0u);
  // Past the last block the address stops just after it.
  EXPECT_EQ(Offset(19), 0x200000u);
  EXPECT_EQ(Offset(1000), 0x200000u);
}

TEST_F(NorFlashTest, SizeExponent23DoublesTheReportedBlockSizes) {
  for (std::uint32_t exponent : {22u, 23u}) {
    SCOPED_TRACE(exponent);
    sim::DeviceConfig config = Geometry({{4, 0x8000}, {15, 0x20000}});
    config.sizeExponent = exponent;
    TemporaryDevice device(config);
    WriteEmptyTable(device);
    ASSERT_EQ(NorFlash::Open(), 1);
    const WORD* query = NorFlash::Geometry().queryTable;
    EXPECT_EQ(query[0x27], exponent);
    // The device of 2^23 bytes and up reports half its block size; the driver doubles it.
    const DWORD reported = (query[0x2F] + 256u * query[0x30]) * 256u;
    EXPECT_EQ(reported, exponent == 23 ? 0x4000u : 0x8000u);
    EXPECT_EQ(NorFlash::BlockSize(0), 0x8000u);
    EXPECT_EQ(NorFlash::BlockSize(4), 0x20000u);
    EXPECT_EQ(NorFlash::FirstBlockOfType(6), -1);
    NorFlash::Close();
  }
}

TEST_F(NorFlashTest, ProgramRangesAreCheckedWithoutOverflowOrDeviceAccess) {
  TemporaryDevice device;
  ASSERT_EQ(NorFlash::Open(), 1);
  const std::vector<BYTE> data(0x2001, 0x00);
  const std::uint64_t commands = Chip().Probe().Commands();
  EXPECT_EQ(NorFlash::Program(0, 0xFFFFFFFFu, data.data(), 2), 0);
  EXPECT_EQ(NorFlash::Program(0, 2, data.data(), 0xFFFFFFFFu), 0);
  EXPECT_EQ(NorFlash::Program(0, 0, data.data(), 0x2001), 0);
  EXPECT_EQ(NorFlash::Program(0, 0x1FFF, data.data(), 2), 0);
  EXPECT_EQ(NorFlash::Program(0, 0, nullptr, 2), 0);
  EXPECT_EQ(NorFlash::Program(70, 0, data.data(), 2), 0);
  EXPECT_EQ(NorFlash::EraseBlock(70), 0);
  EXPECT_EQ(NorFlash::EraseBlock(0xFFFFFFFFu), 0);
  EXPECT_EQ(NorFlash::SetBlockLock(69, 2, 0), 0);
  EXPECT_EQ(NorFlash::SetBlockLock(0xFFFFFFFFu, 2, 0), 0);
  EXPECT_EQ(NorFlash::SetBlockLock(3, 0, 0), 1);
  EXPECT_EQ(Chip().Probe().Commands(), commands);
  // Exactly up to the end of the block is fine.
  EXPECT_EQ(NorFlash::Program(0, 0x1FFE, data.data(), 2), 1);
  EXPECT_EQ(NorFlash::Program(7, 0, data.data(), 0x2000), 1);
}

TEST_F(NorFlashTest, UnalignedBytesArePaddedWithErasedFiller) {
  TemporaryDevice device;
  ASSERT_EQ(NorFlash::Open(), 1);
  alignas(4) const BYTE source[4] = {0xD0, 0xD1, 0xD2, 0xD3};
  const std::uint32_t base = static_cast<std::uint32_t>(Offset(8));
  struct Case {
    const char* name;
    DWORD offset;
    const BYTE* data;
    DWORD length;
    std::vector<sim::BusWrite> words;  // offset in the window, value (low byte first)
  };
  const Case cases[] = {
      {"3 bytes at an odd offset",
       0x101,
       source,
       3,
       {{base + 0x100, 0xD0FF}, {base + 0x102, 0xD2D1}}},
      {"3 bytes at an even offset",
       0x200,
       source,
       3,
       {{base + 0x200, 0xD1D0}, {base + 0x202, 0xFFD2}}},
      {"2 bytes at an odd offset",
       0x301,
       source,
       2,
       {{base + 0x300, 0xD0FF}, {base + 0x302, 0xFFD1}}},
      {"2 bytes from an odd source", 0x400, source + 1, 2, {{base + 0x400, 0xD2D1}}},
      {"4 aligned bytes", 0x500, source, 4, {{base + 0x500, 0xD1D0}, {base + 0x502, 0xD3D2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The bytes sharing the first and last word programmed to 0 first: the filler must leave
    // them as they are.
    const BYTE zero[1] = {0};
    const DWORD before = c.offset - 1;
    const DWORD after = c.offset + c.length;
    ASSERT_EQ(NorFlash::Program(8, before, zero, 1), 1);
    ASSERT_EQ(NorFlash::Program(8, after, zero, 1), 1);
    Chip().Probe().TraceWrites(true);
    ASSERT_EQ(NorFlash::Program(8, c.offset, c.data, c.length), 1);
    EXPECT_EQ(DataWrites(Chip().Probe().Trace()), c.words);
    Chip().Probe().TraceWrites(false);
    EXPECT_EQ(ReadThroughWindow(8, c.offset, c.length),
              std::vector<BYTE>(c.data, c.data + c.length));
    EXPECT_EQ(ReadThroughWindow(8, before, 1)[0], 0x00);
    EXPECT_EQ(ReadThroughWindow(8, after, 1)[0], 0x00);
  }
  EXPECT_TRUE(Chip().Probe().Violations().empty());
}

TEST_F(NorFlashTest, LongUnalignedProgramsGoInWholeStagingChunks) {
  TemporaryDevice device;
  ASSERT_EQ(NorFlash::Open(), 1);
  std::vector<BYTE> data(2001);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7 + 3);
  const BYTE* oddSource = data.data() + 1;
  ASSERT_EQ(reinterpret_cast<std::uintptr_t>(oddSource) & 1, 1u);

  Chip().Probe().TraceWrites(true);
  ASSERT_EQ(NorFlash::Program(10, 0x1000, oddSource, 2000), 1);
  EXPECT_EQ(WordsPerRun(Chip().Probe().Trace()),
            (std::vector<std::size_t>{512, 488}));  // 1024 + 976
  EXPECT_EQ(ReadThroughWindow(10, 0x1000, 2000), std::vector<BYTE>(oddSource, oddSource + 2000));

  Chip().Probe().TraceWrites(true);
  ASSERT_EQ(NorFlash::Program(11, 0x1001, oddSource, 2000), 1);
  // Filler plus 1023 bytes, then 977 bytes plus filler.
  EXPECT_EQ(WordsPerRun(Chip().Probe().Trace()), (std::vector<std::size_t>{512, 489}));
  EXPECT_EQ(ReadThroughWindow(11, 0x1001, 2000), std::vector<BYTE>(oddSource, oddSource + 2000));
  EXPECT_EQ(ReadThroughWindow(11, 0x1000, 1)[0], 0xFF);
  EXPECT_EQ(ReadThroughWindow(11, 0x1001 + 2000, 1)[0], 0xFF);
}

TEST_F(NorFlashTest, AnEmptyProgramSucceedsAndStillUnlocksAndRelocks) {
  TemporaryDevice device;
  ASSERT_EQ(NorFlash::Open(), 1);
  const BYTE data[1] = {0};
  Chip().Probe().TraceWrites(true);
  EXPECT_EQ(NorFlash::Program(12, 5, data, 0), 1);
  const std::vector<sim::BusWrite>& trace = Chip().Probe().Trace();
  EXPECT_FALSE(HasCommand(trace, 0x0040));
  ASSERT_GE(trace.size(), 8u);
  EXPECT_EQ(trace[2].value, 0x00D0);       // unlock
  EXPECT_TRUE(HasCommand(trace, 0x0001));  // relock
  EXPECT_TRUE(Chip().IsLocked(12));
  EXPECT_EQ(Chip().CurrentMode(), NorChip::Mode::ReadArray);
}

TEST_F(NorFlashTest, EraseAcceptsTheLockedBitButNotTheEraseError) {
  sim::DeviceConfig config;
  TemporaryDevice device(config);
  ASSERT_EQ(NorFlash::Open(), 1);
  // Ready with the locked bit (0x82): erase does not look at 0x02.
  Chip().Probe().SetExtraStatusBits(NorChip::Operation::Erase, NorChip::kBlockLocked);
  EXPECT_EQ(NorFlash::EraseBlock(20), 1);
  EXPECT_EQ(Chip().CurrentMode(), NorChip::Mode::ReadArray);
  Chip().Probe().SetExtraStatusBits(NorChip::Operation::Erase, 0);

  // Ready with the erase error (0xA0).
  config.faults.push_back(sim::Fault::EraseError(21));
  device.SaveConfig(config);
  NorFlash::Close();
  ASSERT_EQ(NorFlash::Open(), 1);
  EXPECT_EQ(NorFlash::EraseBlock(21), 0);
  EXPECT_EQ(Chip().CurrentMode(), NorChip::Mode::ReadArray);
  EXPECT_TRUE(Chip().IsLocked(21));
  EXPECT_EQ(Chip().Status(), NorChip::kReady);  // cleared after the failure
  EXPECT_EQ(NorFlash::EraseBlock(22), 1);
}

TEST_F(NorFlashTest, AWordProgramEndingLockedFailsAndKeepsEarlierWords) {
  TemporaryDevice device;
  ASSERT_EQ(NorFlash::Open(), 1);
  Chip().Probe().SetExtraStatusBits(NorChip::Operation::Program, NorChip::kBlockLocked);  // 0x82
  const BYTE data[4] = {0x11, 0x22, 0x33, 0x44};
  Chip().Probe().TraceWrites(true);
  EXPECT_EQ(NorFlash::Program(30, 0, data, 4), 0);
  EXPECT_EQ(DataWrites(Chip().Probe().Trace()).size(), 1u);  // the second word is not attempted
  EXPECT_EQ(Chip().CurrentMode(), NorChip::Mode::ReadArray);
  EXPECT_TRUE(Chip().IsLocked(30));
  EXPECT_EQ(ReadThroughWindow(30, 0, 4), (std::vector<BYTE>{0x11, 0x22, 0xFF, 0xFF}));
}

TEST_F(NorFlashTest, ProgramAndEraseFaultsFailAndLeaveReadArray) {
  sim::DeviceConfig config;
  config.faults.push_back(sim::Fault::ProgramError(40, 2));
  TemporaryDevice device(config);
  ASSERT_EQ(NorFlash::Open(), 1);
  const BYTE data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(NorFlash::Program(40, 0, data, 8), 0);
  EXPECT_EQ(ReadThroughWindow(40, 0, 8), (std::vector<BYTE>{1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(NorFlash::Program(40, 0x10, data, 4), 1);  // other words of the block are fine
  EXPECT_EQ(Chip().CurrentMode(), NorChip::Mode::ReadArray);

  config.faults = {sim::Fault::VppError()};
  device.SaveConfig(config);
  NorFlash::Close();
  ASSERT_EQ(NorFlash::Open(), 1);
  EXPECT_EQ(NorFlash::EraseBlock(41), 0);
  EXPECT_EQ(NorFlash::Program(41, 0, data, 2), 0);
  EXPECT_EQ(Chip().CurrentMode(), NorChip::Mode::ReadArray);
  EXPECT_TRUE(Chip().Probe().Violations().empty()) << Chip().Probe().Violations().front();
}

TEST_F(NorFlashTest, ReadsRightAfterEraseAndProgramSeeTheArray) {
  TemporaryDevice device;
  ASSERT_EQ(NorFlash::Open(), 1);
  std::vector<BYTE> data(0x8000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i ^ (i >> 8));
  ASSERT_EQ(NorFlash::Program(50, 0, data.data(), static_cast<DWORD>(data.size())), 1);
  EXPECT_EQ(ReadThroughWindow(50, 0, data.size()), data);
  ASSERT_EQ(NorFlash::EraseBlock(50), 1);
  EXPECT_EQ(ReadThroughWindow(50, 0, data.size()), std::vector<BYTE>(data.size(), 0xFF));
  EXPECT_EQ(ReadRegister16(NorFlash::BlockAddress(50)), 0xFFFF);  // the chip answers array data
}

TEST_F(NorFlashTest, ANeverReadyEraseTimesOutAfterExactlyItsLimitInVirtualTime) {
  sim::DeviceConfig config;
  config.timing = sim::TimingMode::Virtual;
  config.virtualStep = 3000;  // 1 ms per counter read
  config.faults.push_back(sim::Fault::NeverReady(5));
  TemporaryDevice device(config);
  ASSERT_EQ(NorFlash::Open(), 1);
  const DWORD limitUs = NorFlash::Geometry().blockEraseTimeoutUs;
  ASSERT_EQ(limitUs, 4096000u);

  const std::uint64_t before = sim::ProcessClock().Reads();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(NorFlash::EraseBlock(5), 0);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // Unlock: start, then polls until the unlock time has passed (at least one). Erase: start,
  // then polls until more than 3 x limit steps have passed, the first at 4097 x 3000 >
  // 12,288,000. Relock of the still busy chip: start and polls until more than 3 x 1,000,000
  // steps, the first at 1001 x 3000.
  const std::uint64_t unlockSteps = 3ull * config.UnlockTimeUs();
  const std::uint64_t unlockPolls =
      std::max<std::uint64_t>(1, (unlockSteps + config.virtualStep - 1) / config.virtualStep - 1);
  const std::uint64_t eraseReads = 1 + (3ull * limitUs / config.virtualStep + 1);
  EXPECT_EQ(sim::ProcessClock().Reads() - before, 1 + unlockPolls + eraseReads + 1 + 1001);
  EXPECT_LT(elapsed, std::chrono::seconds(1));
}

TEST_F(NorFlashTest, RealisticTimingStillCompletesWithinTheLimits) {
  sim::DeviceConfig config;
  config.timing = sim::TimingMode::Realistic;
  config.wordProgramTypicalExponent = 2;  // 4 us
  config.blockEraseTypicalExponent = 1;   // 2 ms
  TemporaryDevice device(config);
  ASSERT_EQ(NorFlash::Open(), 1);
  const BYTE data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(NorFlash::EraseBlock(60), 1);
  EXPECT_EQ(NorFlash::Program(60, 0, data, sizeof data), 1);
  EXPECT_EQ(ReadThroughWindow(60, 0, sizeof data), std::vector<BYTE>(data, data + sizeof data));
}

TEST_F(NorFlashTest, AnInvalidStoredTableIsReplacedAndAValidOneTrusted) {
  TemporaryDevice device(Geometry({{64, 0x8000}}));
  std::vector<std::uint8_t> nor = device.ReadNor();
  // A valid table with a made-up entry: trusted as it stands.
  BYTE* table = nor.data() + 63 * 0x8000;
  ASSERT_EQ(PartitionTable::Initialise(table), 1);
  const DWORD serial = 6, block = 9;
  std::memcpy(table + kPartitionEntriesOffset + kPartitionTypeOffset, &serial, 4);
  std::memcpy(table + kPartitionEntriesOffset + kPartitionFirstBlockOffset, &block, 4);
  device.WriteNor(nor);
  ASSERT_EQ(NorFlash::Open(), 1);
  EXPECT_EQ(NorFlash::FirstBlockOfType(6), 9);
  EXPECT_EQ(NorFlash::FirstBlockOfType(4), -1);
  NorFlash::Close();

  // A broken end marker: the whole table is rebuilt.
  table[790] = 'x';
  device.WriteNor(nor);
  ASSERT_EQ(NorFlash::Open(), 1);
  EXPECT_EQ(NorFlash::FirstBlockOfType(6), 62);
  EXPECT_EQ(NorFlash::FirstBlockOfType(4), 59);
}

TEST_F(NorFlashTest, ATableTooLargeForTheFlashFailsTheOpenWithoutWriting) {
  TemporaryDevice device(Geometry({{10, 0x20000}}));
  EXPECT_EQ(NorFlash::Open(), 0);
  EXPECT_EQ(NorFlash::OpenCount(), 0u);
  EXPECT_EQ(device.ReadNor(), std::vector<std::uint8_t>(10 * 0x20000, 0xFF));
}

TEST_F(NorFlashTest, ATableWrittenByOneProcessIsFoundByTheNext) {
  TemporaryDevice device;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const BYTE data[6] = {'b', 'o', 'o', 't', '!', 0};
    const bool ok = NorFlash::Open() == 1 && NorFlash::Program(0, 0, data, sizeof data) == 1;
    NorFlash::Close();
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  ASSERT_EQ(NorFlash::Open(), 1);
  // Identifier, query and read array only: the table was found, nothing was erased.
  EXPECT_EQ(Chip().Probe().Commands(), 3u);
  EXPECT_EQ(NorFlash::FirstBlockOfType(7), 67);
  EXPECT_EQ(ReadThroughWindow(0, 0, 6), (std::vector<BYTE>{'b', 'o', 'o', 't', '!', 0}));
  // Blocks power up locked in every process.
  EXPECT_TRUE(Chip().IsLocked(0));
}

TEST_F(NorFlashTest, ProgramWordsRefusesRunsOutsideTheWindow) {
  TemporaryDevice device;
  ASSERT_EQ(NorFlash::Open(), 1);
  const WORD data[2] = {0, 0};
  volatile WORD* last = NorFlash::BlockAddress(69);
  volatile WORD* end = NorFlash::BlockAddress(70);
  EXPECT_EQ(NorFlash::ProgramWords(last, end - 1, data, 2), 0);
  EXPECT_EQ(NorFlash::ProgramWords(last, last - 1, data, 1), 0);
  EXPECT_EQ(NorFlash::ProgramWords(last, end, data, 0), 1);
}

using NorFlashDeathTest = NorFlashTest;

TEST_F(NorFlashDeathTest, AStoreIntoTheArrayFaults) {
  TemporaryDevice device;
  ASSERT_EQ(NorFlash::Open(), 1);
  volatile WORD* block = NorFlash::BlockAddress(3);
  EXPECT_DEATH(*block = 0x1234, "write to the flash window");
  EXPECT_EQ(ReadThroughWindow(3, 0, 2), (std::vector<BYTE>{0xFF, 0xFF}));
}

// A driver that forgot to return to read-array mode: the part would answer the status byte, so
// the window refuses to show array data and the process ends naming the mode.
TEST_F(NorFlashDeathTest, AnArrayReadAfterAStatusCommandFailsLoudly) {
  TemporaryDevice device;
  ASSERT_EQ(NorFlash::Open(), 1);
  WriteRegister16(NorFlash::BlockAddress(3), 0x7070);
  EXPECT_DEATH(ReadThroughWindow(3, 0, 2), "read-status mode");
  WriteRegister16(NorFlash::BlockAddress(3), 0x0090);
  EXPECT_DEATH(ReadThroughWindow(3, 0, 2), "read-identifier mode");
  WriteRegister16(NorFlash::BlockAddress(3), 0x00FF);
  EXPECT_EQ(ReadThroughWindow(3, 0, 2), (std::vector<BYTE>{0xFF, 0xFF}));
}

}  // namespace

#include "sim/nor_chip.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testsupport/temporary_device.h"

namespace {

using testsupport::TemporaryDevice;

using sim::NorChip;

constexpr std::uint16_t kRead = 0x00FF;

// One chip over a fresh device, driven bus cycle by bus cycle.
class NorChipTest : public ::testing::Test {
 protected:
  // `prepare` may change nor.bin before the chip maps it.
  void Start(const sim::DeviceConfig& config = sim::DeviceConfig{},
             const std::function<void(const TemporaryDevice&)>& prepare = nullptr) {
    device_ = std::make_unique<TemporaryDevice>(config);
    if (prepare) prepare(*device_);
    std::string error;
    clock_.Configure(config.timing, config.virtualStep);
    chip_ = NorChip::Start(device_->Paths(), config, clock_, &error);
    ASSERT_NE(chip_, nullptr) << error;
  }
  std::uint32_t Block(std::uint32_t block) const {
    return static_cast<std::uint32_t>(chip_->Blocks().Start(block));
  }
  // Unlocks and waits until the unlock is done, as the driver does.
  void Unlock(std::uint32_t block) {
    chip_->Write(Block(block), 0x0060);
    chip_->Write(Block(block), 0x00D0);
    while (chip_->Busy()) clock_.ReadCounter();
  }
  std::uint8_t Program(std::uint32_t offset, std::uint16_t value) {
    chip_->Write(offset, 0x0040);
    chip_->Write(offset, value);
    return static_cast<std::uint8_t>(chip_->Read(offset));
  }
  std::uint8_t Erase(std::uint32_t block) {
    chip_->Write(Block(block), 0x0020);
    chip_->Write(Block(block), 0x00D0);
    return static_cast<std::uint8_t>(chip_->Read(Block(block)));
  }
  std::uint16_t ArrayWord(std::uint32_t offset) {
    std::uint16_t word = 0;
    std::memcpy(&word, chip_->Array() + offset, 2);
    return word;
  }
  std::vector<nlohmann::json> Journal() const {
    std::vector<nlohmann::json> lines;
    for (const std::string& line : device_->JournalLines())
      lines.push_back(nlohmann::json::parse(line));
    return lines;
  }

  std::unique_ptr<TemporaryDevice> device_;
  sim::Clock clock_;
  std::unique_ptr<NorChip> chip_;
};

TEST_F(NorChipTest, BlocksPowerUpLockedAndRefuseWithTheSiliconsStatus) {
  Start();
  for (std::uint32_t block = 0; block < chip_->Blocks().Count(); ++block)
    EXPECT_TRUE(chip_->IsLocked(block));
  EXPECT_EQ(Program(Block(3), 0x1234), 0x92);
  EXPECT_EQ(ArrayWord(Block(3)), 0xFFFF);
  chip_->Write(0, 0x0050);
  EXPECT_EQ(Erase(4), 0xA2);
  chip_->Write(0, 0x0050);
  EXPECT_EQ(chip_->Read(0), 0x80);
  EXPECT_TRUE(chip_->Probe().Violations().empty());
}

TEST_F(NorChipTest, ProgrammingOnlyClearsBitsAndEraseSetsThemAgain) {
  Start();
  Unlock(10);
  const std::uint32_t at = Block(10) + 0x40;
  EXPECT_EQ(Program(at, 0x00FF), 0x80);
  chip_->Write(at, 0x0050);
  EXPECT_EQ(Program(at, 0x0F0F), 0x80);
  EXPECT_EQ(ArrayWord(at), 0x000F);
  chip_->Write(at, 0x0050);
  EXPECT_EQ(Erase(10), 0x80);
  EXPECT_EQ(ArrayWord(at), 0xFFFF);
  chip_->Write(at, kRead);
  EXPECT_EQ(chip_->Read(at), 0xFFFF);
  // Lock again: programs are refused once more.
  chip_->Write(Block(10), 0x0060);
  chip_->Write(Block(10), 0x0001);
  EXPECT_EQ(Program(at, 0), 0x92);
}

TEST_F(NorChipTest, UnknownOrBrokenSequencesSetTheSequenceErrorBits) {
  Start();
  struct Case {
    const char* name;
    std::vector<std::uint16_t> writes;
  };
  const Case cases[] = {
      {"unknown command", {0x00E8}},
      {"erase setup without confirm", {0x0020, 0x00FF}},
      {"lock setup with lock-down", {0x0060, 0x002F}},
      {"foreign high byte", {0x1270}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    chip_->Write(Block(2), 0x0050);
    for (std::uint16_t value : c.writes) chip_->Write(Block(2), value);
    EXPECT_EQ(chip_->CurrentMode(), NorChip::Mode::ReadStatus);
    EXPECT_EQ(chip_->Read(Block(2)), 0xB0);
  }
  // The array is untouched by all of it.
  EXPECT_EQ(ArrayWord(Block(2)), 0xFFFF);
}

TEST_F(NorChipTest, OperationsStartedWithUnclearedErrorsAreRefused) {
  Start();
  Unlock(6);
  chip_->Write(Block(6), 0x00E8);  // sequence error, not cleared
  EXPECT_EQ(Program(Block(6), 0x0000) & 0x10, 0x10);
  EXPECT_EQ(ArrayWord(Block(6)), 0xFFFF);
  EXPECT_EQ(Erase(6) & 0x20, 0x20);
  EXPECT_FALSE(chip_->Probe().Violations().empty());
}

TEST_F(NorChipTest, SecondCyclesInAnotherBlockAreRefused) {
  Start();
  Unlock(7);
  chip_->Write(Block(7), 0x0020);
  chip_->Write(Block(8), 0x00D0);
  EXPECT_EQ(chip_->Read(Block(8)), 0xB0);
  chip_->Write(Block(8), 0x0050);
  chip_->Write(Block(8) + 2, 0x0060);  // not at the block's first word
  chip_->Write(Block(8) + 2, 0x00D0);
  EXPECT_FALSE(chip_->IsLocked(8));
  EXPECT_EQ(chip_->Probe().Violations().size(), 2u);
}

TEST_F(NorChipTest, IdentifierModeGivesCodesAndLockBits) {
  sim::DeviceConfig config;
  config.deviceCode = 0x8817;
  config.lockVariant = sim::LockVariant::PerBlock;
  Start(config);
  Unlock(5);
  chip_->Write(0, 0x0090);
  EXPECT_EQ(chip_->Read(0), 0x0089);
  EXPECT_EQ(chip_->Read(2), 0x8817);
  EXPECT_EQ(chip_->Read(Block(4) + 4), 1);
  EXPECT_EQ(chip_->Read(Block(5) + 4), 0);
  chip_->Write(0, kRead);
  EXPECT_EQ(chip_->Read(0), 0xFFFF);
}

TEST_F(NorChipTest, QueryTableDescribesTheGeometryAndTimes) {
  sim::DeviceConfig config;
  config.wordProgramTypicalExponent = 5;
  config.wordProgramMaxExponent = 3;
  config.blockEraseTypicalExponent = 9;
  config.blockEraseMaxExponent = 1;
  Start(config);
  chip_->Write(0, 0x0098);
  const auto q = [&](std::uint32_t word) { return chip_->Read(2 * word); };
  EXPECT_EQ(q(0x10), 'Q');
  EXPECT_EQ(q(0x11), 'R');
  EXPECT_EQ(q(0x12), 'Y');
  EXPECT_EQ(q(0x1F), 5);
  EXPECT_EQ(q(0x21), 9);
  EXPECT_EQ(q(0x23), 3);
  EXPECT_EQ(q(0x25), 1);
  EXPECT_EQ(q(0x27), 21);  // 2 MiB
  EXPECT_EQ(q(0x2C), 2);
  // 8 blocks of 0x2000: count - 1 = 7, size / 256 = 0x20; 62 of 0x8000: 61 and 0x80.
  const std::vector<std::uint16_t> regions = {7, 0, 0x20, 0, 61, 0, 0x80, 0};
  for (std::uint32_t i = 0; i < regions.size(); ++i) EXPECT_EQ(q(0x2D + i), regions[i]) << i;
  EXPECT_EQ(q(0x38), 0);
}

TEST_F(NorChipTest, QueryTableOfOneRegionAndOddSizes) {
  sim::DeviceConfig config;
  config.regions = {{300, 0x2000}};  // 0x258000 bytes: the size exponent rounds up to 22
  Start(config);
  chip_->Write(0, 0x0098);
  EXPECT_EQ(chip_->Read(2 * 0x27), 22);
  EXPECT_EQ(chip_->Read(2 * 0x2C), 1);
  EXPECT_EQ(chip_->Read(2 * 0x2D), 299 & 0xFF);
  EXPECT_EQ(chip_->Read(2 * 0x2E), 299 >> 8);
  for (std::uint32_t word = 0x31; word <= 0x34; ++word) EXPECT_EQ(chip_->Read(2 * word), 0) << word;
}

TEST_F(NorChipTest, VirtualTimeKeepsOperationsBusyForTheirTypicalTime) {
  sim::DeviceConfig config;
  config.timing = sim::TimingMode::Virtual;
  config.virtualStep = 3000;             // 1 ms per read
  config.blockEraseTypicalExponent = 3;  // 8 ms
  Start(config);
  Unlock(12);
  EXPECT_EQ(Erase(12), 0x00);       // busy
  chip_->Write(Block(12), 0x00FF);  // ignored while busy
  EXPECT_EQ(chip_->CurrentMode(), NorChip::Mode::ReadStatus);
  int reads = 0;
  while (chip_->Read(Block(12)) == 0) {
    clock_.ReadCounter();
    ++reads;
    ASSERT_LT(reads, 100);
  }
  EXPECT_EQ(reads, 8);
  EXPECT_EQ(chip_->Read(Block(12)), 0x80);
}

TEST_F(NorChipTest, LockAndUnlockTakeTheirTimes) {
  sim::DeviceConfig config;
  config.timing = sim::TimingMode::Virtual;
  config.virtualStep = 3;  // 1 us per read
  config.lockTimeUs = 5;
  config.unlockTimeUs = 7;
  Start(config);
  const auto readsUntilReady = [&] {
    int reads = 0;
    for (; chip_->Read(Block(4)) == 0 && reads < 100; ++reads) clock_.ReadCounter();
    return reads;
  };
  chip_->Write(Block(4), 0x0060);
  chip_->Write(Block(4), 0x00D0);
  EXPECT_EQ(readsUntilReady(), 7);
  EXPECT_FALSE(chip_->IsLocked(4));
  chip_->Write(Block(4), 0x0060);
  chip_->Write(Block(4), 0x0001);
  EXPECT_EQ(readsUntilReady(), 5);
  EXPECT_TRUE(chip_->IsLocked(4));
}

// The other lock behaviour of the family: one unlock clears every lock bit, and the bits
// survive a restart (a new chip over the same device).
TEST_F(NorChipTest, UnlockAllPartsClearEveryLockAndKeepLocksAcrossARestart) {
  sim::DeviceConfig config;
  config.lockVariant = sim::LockVariant::UnlockAll;
  EXPECT_EQ(config.UnlockTimeUs(), 500000u);
  Start(config);
  Unlock(4);
  for (std::uint32_t block = 0; block < chip_->Blocks().Count(); ++block)
    ASSERT_FALSE(chip_->IsLocked(block)) << block;
  chip_->Write(Block(7), 0x0060);
  chip_->Write(Block(7), 0x0001);
  std::string error;
  chip_ = NorChip::Start(device_->Paths(), config, clock_, &error);
  ASSERT_NE(chip_, nullptr) << error;
  EXPECT_TRUE(chip_->IsLocked(7));
  EXPECT_FALSE(chip_->IsLocked(4));
  // A per-block part powers up with every block locked, whatever was unlocked before.
  config.lockVariant = sim::LockVariant::PerBlock;
  chip_ = NorChip::Start(device_->Paths(), config, clock_, &error);
  ASSERT_NE(chip_, nullptr) << error;
  EXPECT_TRUE(chip_->IsLocked(4));
}

// The in-memory chip of the fuzz targets may hold fewer blocks than its array has room for: a
// block command past its last block fails like one on a locked block, and is no violation.
TEST(NorChipInMemoryTest, BlockCommandsPastTheLastBlockFailAsLocked) {
  sim::DeviceConfig config;
  config.regions = {{2, 0x2000}};
  std::string error;
  const std::unique_ptr<sim::MemoryArray> array = sim::MemoryArray::Create(0x8000, &error);
  ASSERT_NE(array, nullptr) << error;
  sim::Clock clock;
  const std::unique_ptr<NorChip> chip = NorChip::StartInMemory(config, *array, clock);
  EXPECT_EQ(chip->Blocks().Count(), 2u);
  chip->Write(0x4000, 0x0020);
  chip->Write(0x4000, 0x00D0);
  EXPECT_EQ(chip->Read(0x4000), 0xA2);
  EXPECT_TRUE(chip->Probe().Violations().empty());
  chip->Write(0x6000, 0x0090);  // mode commands work anywhere
  EXPECT_EQ(chip->Read(0), 0x0089);
}

TEST(ClockTest, VirtualCounterAdvancesByItsStepAndWraps) {
  sim::Clock clock;
  clock.Configure(sim::TimingMode::Virtual, 0x4000);
  const std::uint32_t first = clock.ReadCounter();
  EXPECT_EQ(first, sim::kVirtualCounterStart + 0x4000);
  std::uint32_t last = first;
  for (int i = 0; i < 8; ++i) last = clock.ReadCounter();
  EXPECT_LT(last, first);  // wrapped
  EXPECT_EQ(static_cast<std::uint32_t>(last - first), 8u * 0x4000);
  EXPECT_EQ(clock.Reads(), 9u);
}

TEST_F(NorChipTest, RealisticTimingIsBusyRightAfterALongErase) {
  sim::DeviceConfig config;
  config.timing = sim::TimingMode::Realistic;
  config.blockEraseTypicalExponent = 16;  // about a minute
  Start(config);
  Unlock(3);
  EXPECT_EQ(Erase(3), 0x00);
  EXPECT_TRUE(chip_->Busy());
}

TEST_F(NorChipTest, FaultsEndOperationsWithTheirBitsAndAreJournalled) {
  sim::DeviceConfig config;
  config.faults = {sim::Fault::EraseError(20),
                   sim::Fault::ProgramError(21, 3),
                   sim::Fault::NeverReady(22)};
  Start(config);
  for (std::uint32_t block : {20u, 21u, 22u}) Unlock(block);
  EXPECT_EQ(Erase(20), 0xA0);
  chip_->Write(0, 0x0050);
  EXPECT_EQ(Program(Block(21) + 4, 0), 0x80);  // word 2
  chip_->Write(0, 0x0050);
  EXPECT_EQ(Program(Block(21) + 6, 0), 0x90);  // word 3
  EXPECT_EQ(ArrayWord(Block(21) + 6), 0xFFFF);
  chip_->Write(0, 0x0050);
  EXPECT_EQ(Erase(22), 0x00);
  EXPECT_TRUE(chip_->Busy());

  const std::vector<nlohmann::json> journal = Journal();
  ASSERT_EQ(journal.size(), 3u);
  EXPECT_EQ(journal[0]["kind"], "erase_error");
  EXPECT_EQ(journal[0]["block"], 20);
  EXPECT_EQ(journal[1]["kind"], "program_error");
  EXPECT_EQ(journal[1]["word"], 3);
  EXPECT_EQ(journal[2]["kind"], "never_ready");
}

// One lookup serves programs and erases: a voltage error wherever it stands in the plan, then
// the lock bit, then the block's first entry for that kind of operation.
TEST_F(NorChipTest, TheFaultPlanStrikesInThePartsOrder) {
  sim::DeviceConfig config;
  config.faults = {sim::Fault::ProgramError(5), sim::Fault::EraseError(5),
                   sim::Fault::NeverReady(5), sim::Fault::EraseError(6)};
  Start(config);
  EXPECT_EQ(Erase(5), 0xA2);  // locked: the plan is not reached
  chip_->Write(0, 0x0050);
  Unlock(5);
  EXPECT_EQ(Erase(5), 0xA0);  // the program error does not strike an erase
  chip_->Write(0, 0x0050);
  EXPECT_EQ(Program(Block(5), 0), 0x90);
  config.faults.push_back(sim::Fault::VppError());
  chip_->Reconfigure(config);
  chip_->Write(0, 0x0050);
  EXPECT_EQ(Erase(5), 0xA8);
}

TEST_F(NorChipTest, AVoltageErrorFailsEveryEraseAndProgram) {
  sim::DeviceConfig config;
  config.faults = {sim::Fault::VppError()};
  Start(config);
  Unlock(30);
  EXPECT_EQ(Erase(30), 0xA8);
  chip_->Write(0, 0x0050);
  EXPECT_EQ(Program(Block(30), 0), 0x98);
  EXPECT_EQ(ArrayWord(Block(30)), 0xFFFF);
}

TEST_F(NorChipTest, WritesPastTheArrayAreRefused) {
  sim::DeviceConfig config;
  config.regions = {{16, 0x10000}};  // 1 MiB
  Start(config);
  chip_->Write(0x100000, 0x0090);
  EXPECT_EQ(chip_->Status(), 0xB0);
  EXPECT_EQ(chip_->Probe().Violations().size(), 1u);
}

TEST_F(NorChipTest, ChangingTheFaultPlanKeepsTheLockState) {
  Start();
  Unlock(9);
  sim::DeviceConfig config;
  config.faults = {sim::Fault::EraseError(9)};
  EXPECT_TRUE(chip_->SameHardware(device_->Paths(), config));
  chip_->Reconfigure(config);
  EXPECT_FALSE(chip_->IsLocked(9));
  EXPECT_EQ(Erase(9), 0xA0);
  config.regions = {{64, 0x8000}};
  EXPECT_FALSE(chip_->SameHardware(device_->Paths(), config));
}

// A power cut ends the process in the middle of a sequence; the next start sees what was
// written, the journal line and a plan without the cut.
class NorChipPowerCutTest : public NorChipTest {
 protected:
  void CutAfter(std::uint64_t count, std::uint64_t seed = 1) {
    sim::DeviceConfig config;
    config.faults = {sim::Fault::EraseError(60)};
    sim::Fault cut;
    cut.kind = sim::FaultKind::PowerCutAfter;
    cut.count = count;
    cut.seed = seed;
    config.faults.push_back(cut);
    // Block 10 (at 8 x 0x2000 + 2 x 0x8000) holds zeros before the erase starts.
    Start(config, [](const TemporaryDevice& device) {
      std::vector<std::uint8_t> nor = device.ReadNor();
      std::memset(nor.data() + 0x20000, 0, 0x8000);
      device.WriteNor(nor);
    });
    ASSERT_EQ(Block(10), 0x20000u);
  }
  void RunSequence() {
    Unlock(10);                  // commands 1, 2
    Erase(10);                   // commands 3, 4
    Program(Block(10), 0x1234);  // commands 5, 6
    ::_exit(0);
  }
};

// A cut in the middle of an erase tears it: a mix of erased, old and partly erased words, the
// same for the same seed.
TEST_F(NorChipPowerCutTest, ACutDuringAnEraseTearsTheBlockAsTheSeedSays) {
  std::vector<std::vector<std::uint8_t>> torn;
  for (const std::uint64_t seed : {7, 7, 8}) {
    CutAfter(4, seed);
    EXPECT_EXIT(RunSequence(), ::testing::ExitedWithCode(sim::kPowerCutExitStatus), "");
    const std::vector<std::uint8_t> nor = device_->ReadNor();
    torn.emplace_back(nor.begin() + Block(10), nor.begin() + Block(11));
    const std::vector<nlohmann::json> journal = Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0]["event"], "power_cut");
    EXPECT_EQ(journal[0]["torn"], "erase");
    EXPECT_EQ(journal[0]["block"], 10);
  }
  EXPECT_EQ(torn[0], torn[1]);
  EXPECT_NE(torn[0], torn[2]);
  int erased = 0;
  int old = 0;
  int partly = 0;
  for (std::size_t at = 0; at < torn[0].size(); at += 2) {
    const int word = torn[0][at] | torn[0][at + 1] << 8;
    (word == 0xFFFF ? erased : word == 0 ? old : partly) += 1;
  }
  EXPECT_GT(erased, 0);
  EXPECT_GT(old, 0);
  EXPECT_GT(partly, 0);
  // Only the block under erase changed.
  EXPECT_EQ(device_->ReadNor()[Block(11)], 0xFF);

  const sim::Loaded<sim::DeviceConfig> stored = sim::LoadDeviceConfig(device_->Paths());
  ASSERT_TRUE(stored) << stored.error;
  ASSERT_EQ(stored.value->faults.size(), 1u);  // the erase error stays planned
  EXPECT_EQ(stored.value->faults[0].kind, sim::FaultKind::EraseError);
}

TEST_F(NorChipPowerCutTest, ACutDuringAProgramClearsOnlySomeOfItsBits) {
  CutAfter(6, 3);
  EXPECT_EXIT(RunSequence(), ::testing::ExitedWithCode(sim::kPowerCutExitStatus), "");
  const std::vector<std::uint8_t> nor = device_->ReadNor();
  const int word = nor[Block(10)] | nor[Block(10) + 1] << 8;
  EXPECT_EQ(word & 0x1234, 0x1234);  // no bit cleared that the program keeps
  EXPECT_NE(word, 0x1234);           // the seed leaves some bits set
  EXPECT_EQ(Journal()[0]["torn"], "program");
}

TEST_F(NorChipPowerCutTest, ACutAfterNoCommandsChangesNothing) {
  CutAfter(0);
  EXPECT_EXIT(RunSequence(), ::testing::ExitedWithCode(sim::kPowerCutExitStatus), "");
  EXPECT_EQ(device_->ReadNor()[Block(10)], 0x00);
}

TEST_F(NorChipPowerCutTest, ACutPastTheLastCommandNeverFires) {
  CutAfter(7);
  EXPECT_EXIT(RunSequence(), ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(Journal().empty());
}

TEST(FlipBitTest, FlipsOneBitOfTheArrayAtRest) {
  TemporaryDevice device;
  std::string error;
  ASSERT_TRUE(sim::FlipBit(device.Paths(), 0x1234, 6, &error)) << error;
  std::vector<std::uint8_t> nor = device.ReadNor();
  EXPECT_EQ(nor[0x1234], 0xBF);
  EXPECT_EQ(nor[0x1233], 0xFF);
  ASSERT_TRUE(sim::FlipBit(device.Paths(), 0x1234, 6, &error)) << error;
  EXPECT_EQ(device.ReadNor()[0x1234], 0xFF);

  EXPECT_FALSE(sim::FlipBit(device.Paths(), nor.size(), 0, &error));
  EXPECT_NE(error.find("past the end"), std::string::npos) << error;
  EXPECT_FALSE(sim::FlipBit(device.Paths(), 0, 8, &error));
  EXPECT_EQ(device.ReadNor(), std::vector<std::uint8_t>(nor.size(), 0xFF));
}

TEST(NorChipStartTest, AnArrayOfTheWrongSizeIsRefusedWithItsName) {
  TemporaryDevice device;
  sim::DeviceConfig larger;
  larger.regions = {{64, 0x8000}, {2, 0x8000}};
  sim::Clock clock;
  std::string error;
  EXPECT_EQ(NorChip::Start(device.Paths(), larger, clock, &error), nullptr);
  EXPECT_NE(error.find("nor.bin"), std::string::npos) << error;
  EXPECT_NE(error.find("2097152"), std::string::npos) << error;
}

}  // namespace

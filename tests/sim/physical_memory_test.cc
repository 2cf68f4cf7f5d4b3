// The two physical-memory windows of the host over the process's simulated hardware.
#include "platform/physical_memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/nor_chip.h"
#include "testsupport/temporary_device.h"

namespace {

using testsupport::TemporaryDevice;

const volatile WORD* Word(const void* base, std::uint32_t offset) {
  return reinterpret_cast<const volatile WORD*>(static_cast<const BYTE*>(base) + offset);
}
volatile WORD* MutableWord(void* base, std::uint32_t offset) {
  return reinterpret_cast<volatile WORD*>(static_cast<BYTE*>(base) + offset);
}

TEST(PhysicalMemoryTest, OnlyTheTwoWindowsExist) {
  TemporaryDevice device;
  EXPECT_EQ(GetPointer(0, 0x100000), nullptr);
  EXPECT_EQ(GetPointer(0x1000, 0x200000), nullptr);
  EXPECT_EQ(GetPointer(0x40A00000, 0x100), nullptr);
  EXPECT_EQ(GetPointer(0x40A00010, 0xE0), nullptr);
  EXPECT_EQ(ReleasePointer(nullptr, 0x200000), FALSE);
}

TEST(PhysicalMemoryTest, EachMappingNeedsItsOwnReleaseWithTheSameSize) {
  TemporaryDevice device;
  void* flash = GetPointer(0, 0x200000);
  ASSERT_NE(flash, nullptr);
  EXPECT_EQ(GetPointer(0, 0x200000), flash);
  EXPECT_EQ(ReleasePointer(flash, 0xE0), FALSE);
  EXPECT_EQ(ReleasePointer(flash, 0x200000), TRUE);
  EXPECT_EQ(ReleasePointer(flash, 0x200000), TRUE);
  EXPECT_EQ(ReleasePointer(flash, 0x200000), FALSE);

  void* timer = GetPointer(0x40A00000, 0xE0);
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(ReleasePointer(timer, 0x200000), FALSE);
  EXPECT_EQ(ReleasePointer(timer, 0xE0), TRUE);
}

TEST(PhysicalMemoryTest, TheCounterIsTheWordAtOffset10) {
  sim::DeviceConfig config;
  config.timing = sim::TimingMode::Virtual;
  config.virtualStep = 7;
  TemporaryDevice device(config);
  void* timer = GetPointer(0x40A00000, 0xE0);
  ASSERT_NE(timer, nullptr);
  const volatile DWORD* counter =
      reinterpret_cast<const volatile DWORD*>(static_cast<BYTE*>(timer) + 0x10);
  const DWORD first = ReadRegister32(counter);
  EXPECT_EQ(ReadRegister32(counter) - first, 7u);
  EXPECT_EQ(ReadRegister32(counter + 1), 0u);
  EXPECT_EQ(ReadRegister32(counter) - first, 14u);
  ASSERT_EQ(ReleasePointer(timer, 0xE0), TRUE);
  EXPECT_EQ(ReadRegister32(counter), 0u);  // released
}

TEST(PhysicalMemoryTest, ChipWritesShowThroughTheReadOnlyWindowAtOnce) {
  TemporaryDevice device;
  void* flash = GetPointer(0, 0x200000);
  ASSERT_NE(flash, nullptr);
  volatile WORD* block = MutableWord(flash, 0x10000);
  WriteRegister16(block, 0x0060);
  WriteRegister16(block, 0x00D0);
  WriteRegister16(block, 0x0040);
  WriteRegister16(block + 1, 0xA55A);
  EXPECT_EQ(ReadRegister16(block), 0x80);
  WriteRegister16(block, 0x00FF);
  WORD stored = 0;
  std::memcpy(&stored, static_cast<const BYTE*>(flash) + 0x10002, 2);
  EXPECT_EQ(stored, 0xA55A);
  EXPECT_EQ(ReadRegister16(block + 1), 0xA55A);
  ASSERT_EQ(ReleasePointer(flash, 0x200000), TRUE);
  EXPECT_EQ(device.ReadNor()[0x10002], 0x5A);
}

TEST(PhysicalMemoryTest, AWindowLargerThanTheArrayReadsErasedBeyondIt) {
  sim::DeviceConfig config;
  config.regions = {{16, 0x10000}};  // 1 MiB
  TemporaryDevice device(config);
  void* flash = GetPointer(0, 0x200000);
  ASSERT_NE(flash, nullptr);
  const BYTE* bytes = static_cast<const BYTE*>(flash);
  EXPECT_EQ(bytes[0x100000], 0xFF);
  EXPECT_EQ(bytes[0x1FFFFF], 0xFF);
  EXPECT_EQ(ReadRegister16(Word(flash, 0x180000)), 0xFFFF);
  ASSERT_EQ(ReleasePointer(flash, 0x200000), TRUE);
}

TEST(PhysicalMemoryTest, AnArrayLargerThanTheWindowShowsItsFirstTwoMebibytes) {
  sim::DeviceConfig config;
  config.regions = {{128, 0x8000}};  // 4 MiB
  TemporaryDevice device(config);
  ASSERT_TRUE(sim::FlipBit(device.Paths(), 0x1FFFFF, 0, nullptr));
  void* flash = GetPointer(0, 0x200000);
  ASSERT_NE(flash, nullptr);
  EXPECT_EQ(static_cast<const BYTE*>(flash)[0x1FFFFF], 0xFE);
  ASSERT_EQ(ReleasePointer(flash, 0x200000), TRUE);
}

TEST(PhysicalMemoryTest, RegisterAccessesOutsideTheWindowsReachNothing) {
  TemporaryDevice device;
  WORD outside[2] = {0x1111, 0x2222};
  WriteRegister16(outside, 0x0090);
  EXPECT_EQ(outside[0], 0x1111);
  EXPECT_EQ(ReadRegister16(outside), 0xFFFF);
  DWORD word = 5;
  EXPECT_EQ(ReadRegister32(&word), 0u);
}

TEST(PhysicalMemoryTest, AMissingDeviceGivesNoWindow) {
  TemporaryDevice device;
  testsupport::SetVariable("ORVANTA_DEVICE", (device.Paths().root / "absent").string().c_str());
  EXPECT_EQ(GetPointer(0, 0x200000), nullptr);
  EXPECT_EQ(GetPointer(0x40A00000, 0xE0), nullptr);
}

TEST(PhysicalMemoryTest, TheCommandCountIsJournalledOnReleaseWhenAsked) {
  TemporaryDevice device;
  testsupport::SetVariable("ORVANTA_FLASH_COMMAND_COUNT", "1");
  void* flash = GetPointer(0, 0x200000);
  ASSERT_NE(flash, nullptr);
  for (int i = 0; i < 3; ++i) WriteRegister16(MutableWord(flash, 0), 0x00FF);
  EXPECT_EQ(sim::FlashCommandCount(), 3u);
  ASSERT_EQ(ReleasePointer(flash, 0x200000), TRUE);
  testsupport::SetVariable("ORVANTA_FLASH_COMMAND_COUNT", nullptr);
  const std::vector<std::string> lines = device.JournalLines();
  ASSERT_EQ(lines.size(), 1u);
  const nlohmann::json line = nlohmann::json::parse(lines[0]);
  EXPECT_EQ(line["event"], "flash_commands");
  EXPECT_EQ(line["count"], 3);

  // Without the variable nothing is journalled.
  flash = GetPointer(0, 0x200000);
  ASSERT_NE(flash, nullptr);
  ASSERT_EQ(ReleasePointer(flash, 0x200000), TRUE);
  EXPECT_EQ(device.JournalLines().size(), 1u);
}

TEST(PhysicalMemoryDeathTest, AStoreThroughTheFlashWindowFaults) {
  TemporaryDevice device;
  void* flash = GetPointer(0, 0x200000);
  ASSERT_NE(flash, nullptr);
  EXPECT_DEATH(*MutableWord(flash, 0x100) = 0, "");
  EXPECT_EQ(device.ReadNor()[0x100], 0xFF);
  ASSERT_EQ(ReleasePointer(flash, 0x200000), TRUE);
}

}  // namespace

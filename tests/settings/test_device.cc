#include "test_device.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <random>
#include <string>

#include "flash/nor_flash.h"
#include "settings/settings_store.h"
#include "sim/device.h"

namespace test_device {

namespace {

std::filesystem::path deviceRoot;

}  // namespace

void CreateForProcess() {
  std::random_device entropy;
  deviceRoot = std::filesystem::temp_directory_path() /
               ("settings-tests-" + std::to_string(getpid()) + "-" + std::to_string(entropy()));
  std::string error;
  if (!sim::CreateDevice(sim::DevicePaths{deviceRoot}, sim::DeviceConfig{}, &error)) {
    std::fprintf(stderr, "cannot create the test device: %s\n", error.c_str());
    std::exit(2);
  }
  setenv("ORVANTA_DEVICE", deviceRoot.c_str(), 1);
}

std::filesystem::path Root() {
  return deviceRoot;
}

std::vector<BYTE> ReadNor(std::uint64_t offset, std::size_t count) {
  std::ifstream nor(sim::DevicePaths{deviceRoot}.Nor(), std::ios::binary);
  nor.seekg(static_cast<std::streamoff>(offset));
  std::vector<BYTE> bytes(count);
  nor.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  EXPECT_TRUE(nor.good()) << "reading nor.bin at " << offset;
  return bytes;
}

void WriteNor(std::uint64_t offset, const std::vector<BYTE>& bytes) {
  std::fstream nor(sim::DevicePaths{deviceRoot}.Nor(),
                   std::ios::binary | std::ios::in | std::ios::out);
  nor.seekp(static_cast<std::streamoff>(offset));
  nor.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  nor.flush();
  EXPECT_TRUE(nor.good()) << "writing nor.bin at " << offset;
}

void FlipNorBit(std::uint64_t offset, unsigned bit) {
  std::vector<BYTE> byte = ReadNor(offset, 1);
  byte[0] ^= static_cast<BYTE>(1u << bit);
  WriteNor(offset, byte);
}

FlashSession::FlashSession() : opened_(NorFlash::Open() != 0) {}
FlashSession::~FlashSession() {
  NorFlash::Close();
}

std::uint64_t BlockOffset(DWORD block) {
  FlashSession flash;
  EXPECT_TRUE(flash.opened());
  const auto* base = reinterpret_cast<const volatile BYTE*>(NorFlash::BlockAddress(0));
  const auto* address = reinterpret_cast<const volatile BYTE*>(NorFlash::BlockAddress(block));
  return static_cast<std::uint64_t>(address - base);
}

DWORD FirstBlockOfType(DWORD type) {
  FlashSession flash;
  EXPECT_TRUE(flash.opened());
  return static_cast<DWORD>(NorFlash::FirstBlockOfType(type));
}

DWORD TotalBlocks() {
  return sim::DeviceConfig{}.TotalBlocks();
}

sim::Fault BlockFault(sim::FaultKind kind, DWORD block, std::optional<DWORD> word) {
  sim::Fault fault;
  fault.kind = kind;
  fault.block = block;
  fault.word = word;
  return fault;
}

void SetFaults(const std::vector<sim::Fault>& faults) {
  const sim::DevicePaths device{deviceRoot};
  sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig(device);
  ASSERT_TRUE(config) << config.error;
  config.value->faults = faults;
  std::string error;
  ASSERT_TRUE(sim::SaveDeviceConfig(device, *config.value, &error)) << error;
}

void FormatSettingsPartitions() {
  FlashSession flash;
  ASSERT_TRUE(flash.opened());
  const BYTE none = 0;
  for (DWORD type : kSettingsPartitionTypes) {
    const INT block = NorFlash::FirstBlockOfType(type);
    ASSERT_GE(block, 0) << "type " << type;
    ASSERT_TRUE(SettingsBlock::Write(static_cast<DWORD>(block), &none, 0)) << "type " << type;
  }
}

}  // namespace test_device

// The simulated device that every settings test of this process works on, and direct access to
// its nor.bin for tests that damage or inspect the flash at rest.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/types.h"
#include "sim/device.h"

namespace test_device {

// Creates a fresh device (default geometry) in a temporary directory and points
// ORVANTA_DEVICE at it. Called once by main, before any flash open.
void CreateForProcess();
std::filesystem::path Root();

// nor.bin at rest; only while the flash driver is closed.
std::vector<BYTE> ReadNor(std::uint64_t offset, std::size_t count);
void WriteNor(std::uint64_t offset, const std::vector<BYTE>& bytes);
void FlipNorBit(std::uint64_t offset, unsigned bit);

// Byte offset of a flash block in nor.bin, and the first block of a partition type, each
// found by a short flash open of its own.
std::uint64_t BlockOffset(DWORD block);
DWORD FirstBlockOfType(DWORD type);
DWORD TotalBlocks();

// A fault of `kind` at `block` (and at word `word` inside it, when given).
sim::Fault BlockFault(sim::FaultKind kind, DWORD block, std::optional<DWORD> word = {});

// Replaces the device's fault plan (read again at every flash open).
void SetFaults(const std::vector<sim::Fault>& faults);

// Writes a valid empty settings block into the first block of each settings partition.
void FormatSettingsPartitions();

// Opens the flash driver for the scope (under NOR_SYN_OBJ's usual nesting rules).
class FlashSession {
 public:
  FlashSession();
  ~FlashSession();
  FlashSession(const FlashSession&) = delete;
  FlashSession& operator=(const FlashSession&) = delete;
  bool opened() const { return opened_; }

 private:
  bool opened_;
};

}  // namespace test_device

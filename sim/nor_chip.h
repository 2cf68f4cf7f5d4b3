// The simulated NOR flash chip behind the flash window (host/physical_memory.cc maps it; this
// file owns its behaviour).
//
// The chip is one 16-bit CFI device with the Intel/Sharp command set, its array kept in the
// device's nor.bin (or an in-memory MemoryArray). It is an explicit state machine: the read
// mode (array, identifier, query, status), the bus cycle it expects next (a command, program
// data, an erase confirm, a lock confirm), the status byte, the block the running setup or
// operation works on, the time at which the running operation ends, and the lock bit of every
// block. Beside it, each in its own file: the clock (sim/clock.h), the array's memory
// (sim/memory_array.h), where the blocks lie (sim/block_layout.h), the query table
// (sim/cfi_query_table.h), the fault plan (sim/fault_plan.h), a planned power cut
// (sim/power_cut.h) and what tests observe (sim/chip_probe.h).
//
//   command (low byte; the high byte must be 0 or a copy of the low byte)
//     0xFF  read array          0x90  read identifier        0x98  CFI query
//     0x70  read status         0x50  clear status
//     0x40  word program setup (0x10 as well); the next cycle is the data at the target word
//     0x20  block erase setup;  the next cycle must be 0xD0 in the same block
//     0x60  lock setup;         the next cycle must be 0x01 (lock) or 0xD0 (unlock)
//   anything else, or a wrong second cycle, sets the sequence error bits 0x30 and read status.
//
//   status  0x80 ready   0x20 erase error   0x10 program error   0x08 voltage error
//           0x02 block locked (with 0x10 or 0x20: a program of a locked block ends with 0x92,
//           an erase with 0xA2). Clear status clears every bit but ready.
//
// Stricter than the silicon, so that driver mistakes fail loudly: a program or erase started
// while error bits are still set is refused with its error bit; a second cycle in another block
// than its setup, an erase or lock command not at the block's first word, a write past the
// array or at an odd address are violations (sim/chip_probe.h) for tests to check. Programming
// only clears bits: the stored word becomes old & new. Array contents are read through the
// flash window only in read-array mode: sim/flash_window.h makes every other read of the
// window fail loudly, naming the mode.
//
// Identifier mode: word 0 the manufacturer, word 1 the device code (device.json), word 2 of
// every block its lock bit. Query mode: the table of sim/cfi_query_table.h.
//
// Not modelled: buffered writes, suspend and resume, lock-down, protection registers, chip
// erase.
//
// Locks (device.json flash.lock_variant):
//   per_block   an unlock clears the lock bit of its block; lock bits are volatile: every block
//               powers up locked when the chip is created, once per process (and again when the
//               process switches to another device directory)
//   unlock_all  an unlock clears the lock bit of every block; lock bits are non-volatile, kept
//               in DIR/lock_bits.bin across restarts and power cuts (all locked on a new device)
//
// Time: in instant timing every operation is ready at once; otherwise an operation stays busy
// on the clock for its typical time (word program 2^n us, block erase 2^n ms from the CFI
// exponents, lock and unlock lock_time_us and unlock_time_us). While busy a status read gives 0
// and every command but read status is ignored, so the part cannot be put back into read-array
// mode before its data is valid.
//
// Fault plan (device.json "faults", taken up again whenever the flash window is mapped):
//   erase_error block        an erase of the block ends with 0xA0
//   program_error block [word] a program in the block (at that word index) ends with 0x90
//   never_ready block        an erase or program of the block never becomes ready; the chip
//                            stays busy until the process ends
//   vpp_error                every erase ends with 0xA8 and every program with 0x98
//   power_cut_after count [seed]  sim/power_cut.h
//   flip_bit offset bit      applied to nor.bin at once by whoever adds it: FlipBit()
// Each fault that fires appends {"event":"fault","kind":...,"block":...} to the journal.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/block_layout.h"
#include "sim/chip_probe.h"
#include "sim/clock.h"
#include "sim/device.h"
#include "sim/fault_plan.h"
#include "sim/memory_array.h"
#include "sim/power_cut.h"
// The process's chip (AttachFlash, ProcessChip ...), which the host's windows reach through
// this header.
#include "sim/process_hardware.h"

namespace sim {

class NorChip {
 public:
  // Commands (low byte of the bus word).
  static constexpr std::uint8_t kReadArray = 0xFF;
  static constexpr std::uint8_t kReadIdentifier = 0x90;
  static constexpr std::uint8_t kReadQuery = 0x98;
  static constexpr std::uint8_t kReadStatus = 0x70;
  static constexpr std::uint8_t kClearStatus = 0x50;
  static constexpr std::uint8_t kWordProgram = 0x40;
  static constexpr std::uint8_t kWordProgramAlternate = 0x10;
  static constexpr std::uint8_t kBlockErase = 0x20;
  static constexpr std::uint8_t kConfirm = 0xD0;
  static constexpr std::uint8_t kLockSetup = 0x60;
  static constexpr std::uint8_t kSetLock = 0x01;
  // Status bits.
  static constexpr std::uint8_t kReady = 0x80;
  static constexpr std::uint8_t kEraseError = 0x20;
  static constexpr std::uint8_t kProgramError = 0x10;
  static constexpr std::uint8_t kVoltageError = 0x08;
  static constexpr std::uint8_t kBlockLocked = 0x02;
  static constexpr std::uint8_t kSequenceError = kEraseError | kProgramError;
  static constexpr std::uint8_t kErrorBits =
      kEraseError | kProgramError | kVoltageError | kBlockLocked;

  static constexpr std::uint32_t kNoBlock = 0xFFFFFFFFu;

  enum class Mode { ReadArray, ReadIdentifier, ReadQuery, ReadStatus };
  // "read-array", "read-identifier", "query", "read-status".
  static const char* ModeName(Mode mode);
  enum class Cycle { Command, ProgramData, EraseConfirm, LockConfirm };
  using Operation = ChipOperation;

  // A chip over DIR/nor.bin, which must exist with exactly config.TotalBytes() bytes. On failure
  // returns null and fills `error` with one line naming the file.
  static std::unique_ptr<NorChip> Start(const DevicePaths& device, const DeviceConfig& config,
                                        Clock& clock, std::string* error);
  // The same chip over `array` (erased at the start) instead of a device directory: no
  // journal, no lock-bit file, no power cuts. Blocks of config.regions that do not fit in the
  // array, and regions of size 0, are left out, so the chip may hold fewer blocks than its
  // query table describes, or none; a block command at an address in no block ends with the
  // status of a locked block. `array` outlives the chip.
  static std::unique_ptr<NorChip> StartInMemory(const DeviceConfig& config, MemoryArray& array,
                                                Clock& clock);
  NorChip(const NorChip&) = delete;
  NorChip& operator=(const NorChip&) = delete;

  // Takes up a new timing mode and fault plan (geometry and identification stay as started).
  void Reconfigure(const DeviceConfig& config);
  bool SameHardware(const DevicePaths& device, const DeviceConfig& config) const;

  // One bus write or read at byte `offset` of the flash window.
  void Write(std::uint32_t offset, std::uint16_t value);
  std::uint16_t Read(std::uint32_t offset);

  // Array contents (nor.bin, or the memory), for tests; writes through it bypass the command set.
  // The window maps ArrayHandle() read-only.
  const std::uint8_t* Array() const { return array_->Bytes(); }
  std::uint8_t* Array() { return array_->Bytes(); }
  system::ArrayHandle ArrayHandle() const { return array_->Handle(); }
  std::uint64_t ArrayBytes() const { return array_->Size(); }
  const DevicePaths& Device() const { return device_; }
  const BlockLayout& Blocks() const { return blocks_; }

  Mode CurrentMode() const { return mode_; }
  Cycle CurrentCycle() const { return cycle_; }
  std::uint8_t Status() const { return status_; }
  bool Busy() const;
  bool IsLocked(std::uint32_t block) const;
  const std::vector<std::uint16_t>& QueryTable() const { return query_; }
  // Answers `table` in query mode instead of the table built from the configuration (a fuzzer's
  // nonsense table); words past its end read 0.
  void SetQueryTable(std::vector<std::uint16_t> table) { query_ = std::move(table); }

  ChipProbe& Probe() { return probe_; }
  const ChipProbe& Probe() const { return probe_; }

 private:
  NorChip(const DevicePaths& device, const DeviceConfig& config, Clock& clock);

  void Command(std::uint32_t offset, std::uint8_t command);
  void ProgramWord(std::uint32_t offset, std::uint16_t value);
  void EraseBlock(std::uint32_t offset);
  bool MayChange(Operation operation, std::uint32_t block, std::optional<std::uint32_t> word);
  void SetLock(std::uint32_t offset, bool lock);
  void LoadLockBits();
  void StoreLockBits();
  void RefuseInNoBlock(std::uint8_t errorBit);
  void SequenceError(const std::string& what);
  void Finish(std::uint64_t busySteps);
  void JournalFault(FaultKind kind, std::uint32_t block, std::optional<std::uint32_t> word);
  [[noreturn]] void CutPower(std::uint32_t offset, std::uint16_t value);
  std::uint8_t* Bytes() { return array_->Bytes(); }

  // What the chip is made of.
  DevicePaths device_;
  DeviceConfig config_;
  Clock& clock_;
  std::unique_ptr<MemoryArray> ownArray_;  // nor.bin; none for an in-memory chip
  MemoryArray* array_ = nullptr;
  BlockLayout blocks_;
  std::vector<std::uint16_t> query_;
  FaultPlan faults_;
  PowerCut powerCut_;
  ChipProbe probe_;

  // The state machine.
  Mode mode_ = Mode::ReadArray;
  Cycle cycle_ = Cycle::Command;
  std::uint8_t status_ = kReady;
  std::uint32_t setupBlock_ = 0;  // the block of the running setup or operation
  std::uint64_t busyUntil_ = 0;
  bool neverReady_ = false;  // busy until the process ends
  std::vector<bool> locked_;
};

}  // namespace sim

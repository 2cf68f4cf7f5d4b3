// The simulated NOR flash chip and the free-running counter behind the two physical-memory
// windows (host/physical_memory.cc maps them; this file owns their behaviour).
//
// The chip is one 16-bit CFI device with the Intel/Sharp command set, its array kept in the
// device's nor.bin. It is an explicit state machine with three state fields: the read mode
// (array, identifier, query, status), the bus cycle it expects next (a command, program data,
// an erase confirm, a lock confirm) and the status byte, plus the lock bit of every block and
// the time at which the running operation ends.
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
// array or at an odd address are recorded as violations (Violations(), or the handler a test
// installs) for tests to check. Programming only clears bits: the stored word becomes old & new.
// Array contents are read through the flash window only in read-array mode: sim/flash_window.h
// makes every other read of the window fail loudly, naming the mode.
//
// Identifier mode: word 0 the manufacturer, word 1 the device code (device.json), word 2 of
// every block its lock bit. Query mode: the CFI table built from DeviceConfig (Q R Y at
// 0x10..0x12, time exponents at 0x1F/0x21/0x23/0x25, device size exponent at 0x27 (sizeExponent
// or log2 of the total, rounded up), interface x16, region count at 0x2C and the region
// descriptors at 0x2D..0x34). A size exponent of 23 or more reports each region's block size
// halved, as the parts of that size do (the driver doubles it back).
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
// Timing (device.json "timing"):
//   instant    the counter is real monotonic time x 3; every operation is ready at once
//   virtual    the counter advances `virtual_step` steps on every read and nothing else; an
//              operation stays busy for its typical time on that counter, so a time limit is
//              reached after an exact number of polls
//   realistic  the counter is real monotonic time x 3; an operation stays busy for its typical
//              time (word program 2^n us, block erase 2^n ms from the CFI exponents, lock and
//              unlock lock_time_us and unlock_time_us)
// While busy a status read gives 0 and every command but read status is ignored, so the part
// cannot be put back into read-array mode before its data is valid.
//
// Fault plan (device.json "faults", read again whenever the flash window is mapped):
//   erase_error block        an erase of the block ends with 0xA0
//   program_error block [word] a program in the block (at that word index) ends with 0x90
//   never_ready block        an erase or program of the block never becomes ready; the chip
//                            stays busy until the process ends
//   vpp_error                every erase ends with 0xA8 and every program with 0x98
//   power_cut_after count [seed]  see below
//   flip_bit offset bit      applied to nor.bin at once by whoever adds it: FlipBit()
// Each fault that fires appends {"event":"fault","kind":...,"block":...} to the journal.
//
// Counting commands: every bus write to the flash window counts as one command (commands,
// program data and confirms alike), from the start of the process. FlashCommandCount() gives
// the count in-process. With the environment variable ORVANTA_FLASH_COMMAND_COUNT set to a
// non-empty value, every release of the flash window also journals
// {"event":"flash_commands","count":N}; the last such line of a run is the run's total, which
// a power-cut campaign uses to cut at each command in turn.
//
// Power cut (power_cut_after N): when the Nth command of the process has been carried out (N = 0:
// before the first), the chip journals {"event":"power_cut","after":N,...}, removes that entry
// from device.json so that the next start has power, and ends the process at once with
// kPowerCutExitStatus. What was written stays in nor.bin. The operation the cut interrupts (the
// one the Nth command started, or one still busy then) is torn, in a pattern drawn from the
// entry's seed (default N), so a rerun tears alike: a word program leaves only some of the bits
// it clears cleared; a block erase leaves each word of the block erased, as it was, or partly
// erased (some of its cleared bits set). The journal line names the torn operation
// ("torn":"program"|"erase", "block", and for a program "word_offset").
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/device.h"

namespace sim {

inline constexpr int kPowerCutExitStatus = 137;
inline constexpr std::uint32_t kVirtualCounterStart = 0xFFFF0000u;  // wraps early in every run
inline constexpr std::uint32_t kCounterStepsPerMicrosecond = 3;

// The free-running 32-bit counter at offset 0x10 of the timer block.
class Clock {
 public:
  void Configure(TimingMode mode, std::uint32_t virtualStep);
  TimingMode Mode() const { return mode_; }
  // A read of the counter register: advances virtual time by one step.
  std::uint32_t ReadCounter();
  // The time in counter steps, without advancing; 64 bits, so it never wraps.
  std::uint64_t Now() const;
  // Counter reads so far (for tests of time limits).
  std::uint64_t Reads() const { return reads_; }

 private:
  TimingMode mode_ = TimingMode::Instant;
  std::uint32_t virtualStep_ = 3000;
  std::uint64_t virtualNow_ = kVirtualCounterStart;
  std::uint64_t reads_ = 0;
};

// Memory for an in-memory chip's array, which a flash window can map a second time.
class MemoryArray {
 public:
  static std::unique_ptr<MemoryArray> Create(std::uint64_t bytes, std::string* error);
  ~MemoryArray();
  MemoryArray(const MemoryArray&) = delete;
  MemoryArray& operator=(const MemoryArray&) = delete;
  std::uint8_t* Bytes() const { return bytes_; }
  std::uint64_t Size() const { return size_; }
  int Descriptor() const { return descriptor_; }

 private:
  MemoryArray() = default;
  std::uint8_t* bytes_ = nullptr;
  std::uint64_t size_ = 0;
  int descriptor_ = -1;
};

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

  static constexpr std::size_t kQueryTableWords = 0x39;
  static constexpr std::uint32_t kNoBlock = 0xFFFFFFFFu;

  enum class Mode { ReadArray, ReadIdentifier, ReadQuery, ReadStatus };
  // "read-array", "read-identifier", "query", "read-status".
  static const char* ModeName(Mode mode);
  enum class Cycle { Command, ProgramData, EraseConfirm, LockConfirm };
  enum class Operation { Program, Erase };

  struct BusWrite {
    std::uint32_t offset;  // byte offset in the window
    std::uint16_t value;
    bool operator==(const BusWrite&) const = default;
  };

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
  ~NorChip();
  NorChip(const NorChip&) = delete;
  NorChip& operator=(const NorChip&) = delete;

  // Takes up a new timing mode and fault plan (geometry and identification stay as started).
  void Reconfigure(const DeviceConfig& config);
  bool SameHardware(const DevicePaths& device, const DeviceConfig& config) const;

  // One bus write or read at byte `offset` of the flash window.
  void Write(std::uint32_t offset, std::uint16_t value);
  std::uint16_t Read(std::uint32_t offset);

  // Array contents (nor.bin, or the memory), for tests; writes through it bypass the command set.
  // The window maps ArrayDescriptor() read-only.
  const std::uint8_t* Array() const { return array_; }
  std::uint8_t* Array() { return array_; }
  int ArrayDescriptor() const { return descriptor_; }
  std::uint64_t ArrayBytes() const { return arrayBytes_; }
  const DevicePaths& Device() const { return device_; }

  Mode CurrentMode() const { return mode_; }
  Cycle CurrentCycle() const { return cycle_; }
  std::uint8_t Status() const { return status_; }
  bool Busy() const;
  bool IsLocked(std::uint32_t block) const;
  std::uint32_t BlockCount() const { return static_cast<std::uint32_t>(blockStarts_.size()); }
  std::uint64_t BlockStart(std::uint32_t block) const { return blockStarts_.at(block); }
  const std::vector<std::uint16_t>& QueryTable() const { return query_; }

  std::uint64_t CommandCount() const { return commands_; }
  std::uint64_t EraseCount() const { return erases_; }
  const std::vector<std::string>& Violations() const { return violations_; }
  // Called with each violation instead of recording it (an in-memory device aborts there).
  void SetViolationHandler(std::function<void(const std::string&)> handler) {
    violationHandler_ = std::move(handler);
  }
  // Answers `table` in query mode instead of the table built from the configuration (a fuzzer's
  // nonsense table); words past its end read 0.
  void SetQueryTable(std::vector<std::uint16_t> table) { query_ = std::move(table); }

  // Test hooks: record every bus write; OR extra status bits into the end of every operation
  // of one kind that would otherwise succeed (for example 0x02 after an erase, which the driver
  // must accept, or after a program, which it must refuse).
  void TraceWrites(bool enabled);
  const std::vector<BusWrite>& Trace() const { return trace_; }
  void ClearTrace() { trace_.clear(); }
  void SetExtraStatusBits(Operation operation, std::uint8_t bits);

 private:
  NorChip(const DevicePaths& device, const DeviceConfig& config, Clock& clock);

  // The block holding `offset`, or nothing past the array. Programming stays in one block for
  // thousands of words, so the block of the last lookup is tried first, here in the header
  // where every register access can inline it.
  std::optional<std::uint32_t> BlockOf(std::uint64_t offset) const {
    const std::uint32_t last = lastBlock_;
    if (last < blockStarts_.size() && offset >= blockStarts_[last] && offset - blockStarts_[last] < blockSizes_[last])
      return last;
    return FindBlock(offset);
  }
  std::optional<std::uint32_t> FindBlock(std::uint64_t offset) const;
  void BuildBlocks(std::uint64_t arrayBytes);
  void Command(std::uint32_t offset, std::uint8_t command);
  void ProgramWord(std::uint32_t offset, std::uint16_t value);
  void EraseBlock(std::uint32_t offset);
  void SetLock(std::uint32_t offset, bool lock);
  void LoadLockBits();
  void StoreLockBits();
  void RefuseInNoBlock(std::uint8_t errorBit);
  void TearInterrupted();
  void SequenceError(const std::string& what);
  void Violation(const std::string& what);
  void Finish(std::uint64_t busySteps);
  void JournalFault(const char* kind, std::uint32_t block, std::optional<std::uint32_t> word);
  [[noreturn]] void CutPower(std::uint32_t offset, std::uint16_t value);
  void BuildQueryTable();

  DevicePaths device_;
  DeviceConfig config_;
  Clock& clock_;
  int descriptor_ = -1;
  bool ownsArray_ = true;
  std::uint8_t* array_ = nullptr;
  std::uint64_t arrayBytes_ = 0;
  std::vector<std::uint64_t> blockStarts_;
  mutable std::uint32_t lastBlock_ = 0;  // where BlockOf found the last offset
  std::vector<std::uint32_t> blockSizes_;
  std::vector<bool> locked_;
  std::vector<std::uint16_t> query_;

  Mode mode_ = Mode::ReadArray;
  Cycle cycle_ = Cycle::Command;
  std::uint8_t status_ = kReady;
  std::uint32_t setupBlock_ = 0;
  std::uint64_t busyUntil_ = 0;
  bool neverReady_ = false;
  // The last word program or erase, with what it replaced, kept only while a power cut is
  // planned: the cut tears it when the cutting command started it or it is still busy.
  struct Interrupted {
    Operation operation = Operation::Program;
    std::uint64_t command = 0;
    std::uint32_t block = 0;
    std::uint64_t offset = 0;  // the word programmed, or the block's start
    std::uint16_t oldWord = 0;
    std::uint16_t newWord = 0;
    std::vector<std::uint8_t> oldBlock;
  };
  std::optional<Interrupted> interrupted_;
  std::uint64_t powerCutSeed_ = 0;

  std::uint64_t commands_ = 0;
  std::uint64_t erases_ = 0;
  std::optional<std::uint64_t> powerCutAfter_;
  bool cutting_ = false;
  std::vector<std::string> violations_;
  std::function<void(const std::string&)> violationHandler_;
  bool tracing_ = false;
  std::vector<BusWrite> trace_;
  std::uint8_t extraProgramBits_ = 0;
  std::uint8_t extraEraseBits_ = 0;
};

// Flips bit `bit` (0..7) of byte `offset` of DIR/nor.bin, as a bit that changed at rest.
bool FlipBit(const DevicePaths& device, std::uint64_t offset, std::uint32_t bit,
             std::string* error);

// The hardware of this process, used by host/physical_memory.cc. AttachFlash loads device.json
// of CurrentDevice() and starts the chip (again only when the device directory or geometry
// changed; otherwise it takes up the new timing and fault plan); AttachTimer only the timing.
// Both return null with a one-line reason on failure.
NorChip* AttachFlash(std::string* error);
Clock* AttachTimer(std::string* error);
// Called when the flash window is released (journals the command count when asked to).
void DetachFlash();
NorChip* ProcessChip();
Clock& ProcessClock();
// Flash commands this process has written (0 before the chip started).
std::uint64_t FlashCommandCount();

}  // namespace sim

#include "sim/nor_chip.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "sim/cfi_query_table.h"

namespace sim {
namespace {

constexpr std::uint32_t kIdentifierManufacturerWord = 0;
constexpr std::uint32_t kIdentifierDeviceWord = 1;
constexpr std::uint32_t kIdentifierLockWord = 2;  // inside every block

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

NorChip::NorChip(const DevicePaths& device, const DeviceConfig& config, Clock& clock)
    : device_(device), config_(config), clock_(clock), query_(cfi::QueryTableOf(config)) {}

std::unique_ptr<NorChip> NorChip::Start(const DevicePaths& device, const DeviceConfig& config,
                                        Clock& clock, std::string* error) {
  const std::string file = device.Nor().string();
  if (config.regions.empty() || config.regions.size() > 2) {
    if (error) *error = file + ": expected one or two flash regions";
    return nullptr;
  }
  std::string why;
  std::unique_ptr<MemoryArray> array = MemoryArray::MapFile(device.Nor(), config.TotalBytes(), &why);
  if (array == nullptr) {
    if (error) *error = file + ": " + why;
    return nullptr;
  }
  std::unique_ptr<NorChip> chip(new NorChip(device, config, clock));
  chip->ownArray_ = std::move(array);
  chip->array_ = chip->ownArray_.get();
  chip->blocks_ = BlockLayout(config.regions, chip->ArrayBytes());
  chip->LoadLockBits();
  chip->Reconfigure(config);
  return chip;
}

std::unique_ptr<NorChip> NorChip::StartInMemory(const DeviceConfig& config, MemoryArray& array,
                                                Clock& clock) {
  std::unique_ptr<NorChip> chip(new NorChip(DevicePaths{}, config, clock));
  chip->array_ = &array;
  std::memset(array.Bytes(), 0xFF, array.Size());
  chip->blocks_ = BlockLayout(config.regions, array.Size());
  chip->locked_.assign(chip->blocks_.Count(), true);
  chip->Reconfigure(config);
  return chip;
}

// Per-block parts power up with every block locked; unlock-all parts keep their lock bits in
// DIR/lock_bits.bin, which a new device (or one whose file does not fit the geometry) starts
// with every block locked.
void NorChip::LoadLockBits() {
  locked_.assign(blocks_.Count(), true);
  if (config_.lockVariant != LockVariant::UnlockAll) return;
  std::vector<char> stored(locked_.size());
  std::ifstream file(device_.LockBits(), std::ios::binary);
  if (file.read(stored.data(), static_cast<std::streamsize>(stored.size())) &&
      file.peek() == std::char_traits<char>::eof()) {
    for (std::size_t block = 0; block < stored.size(); ++block) locked_[block] = stored[block] != 0;
  } else {
    StoreLockBits();
  }
}

void NorChip::StoreLockBits() {
  if (config_.lockVariant != LockVariant::UnlockAll || device_.root.empty()) return;
  std::string bits(locked_.size(), '\0');
  for (std::size_t block = 0; block < bits.size(); ++block) bits[block] = locked_[block] ? 1 : 0;
  // Written in place with one write, so a power cut right after finds the bits set.
  if (!system::WriteInOnePiece(device_.LockBits(), bits))
    std::fprintf(stderr, "orvanta: %s: cannot be written\n", device_.LockBits().string().c_str());
}

const char* NorChip::ModeName(Mode mode) {
  switch (mode) {
    case Mode::ReadArray:
      return "read-array";
    case Mode::ReadIdentifier:
      return "read-identifier";
    case Mode::ReadQuery:
      return "query";
    case Mode::ReadStatus:
      return "read-status";
  }
  return "unknown";
}

void NorChip::Reconfigure(const DeviceConfig& config) {
  config_.timing = config.timing;
  config_.virtualStep = config.virtualStep;
  config_.lockTimeUs = config.lockTimeUs;
  config_.unlockTimeUs = config.unlockTimeUs;
  faults_ = FaultPlan(config.faults);
  // An in-memory chip has no device to journal a cut to, nor a next start.
  if (device_.root.empty()) {
    powerCut_.Disarm();
  } else {
    powerCut_.Arm(faults_);
  }
}

bool NorChip::SameHardware(const DevicePaths& device, const DeviceConfig& config) const {
  return device.root == device_.root && config.regions == config_.regions &&
         config.sizeExponent == config_.sizeExponent &&
         config.manufacturer == config_.manufacturer && config.deviceCode == config_.deviceCode &&
         config.wordProgramTypicalExponent == config_.wordProgramTypicalExponent &&
         config.wordProgramMaxExponent == config_.wordProgramMaxExponent &&
         config.blockEraseTypicalExponent == config_.blockEraseTypicalExponent &&
         config.blockEraseMaxExponent == config_.blockEraseMaxExponent &&
         config.lockVariant == config_.lockVariant;
}

bool NorChip::Busy() const {
  // Instant timing never sets a busy time, so most polls need no clock at all.
  return neverReady_ || (busyUntil_ != 0 && clock_.Now() < busyUntil_);
}

bool NorChip::IsLocked(std::uint32_t block) const {
  return block < locked_.size() && locked_[block];
}

void NorChip::SequenceError(const std::string& what) {
  probe_.Violation(what);
  status_ = static_cast<std::uint8_t>(status_ | kReady | kSequenceError);
  mode_ = Mode::ReadStatus;
  cycle_ = Cycle::Command;
}

void NorChip::Finish(std::uint64_t busySteps) {
  mode_ = Mode::ReadStatus;
  if (config_.timing == TimingMode::Instant) {
    busyUntil_ = 0;
  } else {
    busyUntil_ = clock_.Now() + busySteps;
  }
}

void NorChip::JournalFault(FaultKind kind, std::uint32_t block,
                           std::optional<std::uint32_t> word) {
  if (device_.root.empty()) return;
  nlohmann::json line{{"event", "fault"}, {"kind", FaultName(kind)}, {"block", block}};
  if (word) line["word"] = *word;
  AppendJournal(device_, line.dump());
}

void NorChip::Write(std::uint32_t offset, std::uint16_t value) {
  probe_.CountWrite(offset, value);
  const bool cutting = powerCut_.DueAfter(probe_.Commands());
  if (powerCut_.DueBeforeAny()) CutPower(offset, value);

  if (offset % 2 != 0) {
    probe_.Violation("write at odd offset " + Hex(offset));
  } else if (offset >= ArrayBytes()) {
    SequenceError("write past the array at " + Hex(offset));
  } else if (Busy()) {
    // A busy part takes only read status.
    if ((value & 0xFF) == kReadStatus) mode_ = Mode::ReadStatus;
  } else {
    switch (cycle_) {
      case Cycle::ProgramData:
        cycle_ = Cycle::Command;
        ProgramWord(offset, value);
        break;
      case Cycle::EraseConfirm:
        cycle_ = Cycle::Command;
        if (value != kConfirm) {
          SequenceError("erase setup followed by " + Hex(value));
        } else {
          EraseBlock(offset);
        }
        break;
      case Cycle::LockConfirm:
        cycle_ = Cycle::Command;
        if (value == kSetLock || value == kConfirm) {
          SetLock(offset, value == kSetLock);
        } else {
          SequenceError("lock setup followed by " + Hex(value));
        }
        break;
      case Cycle::Command: {
        const std::uint8_t low = value & 0xFF;
        const std::uint8_t high = value >> 8;
        if (high != 0 && high != low) {
          SequenceError("command word " + Hex(value) + " with a foreign high byte");
        } else {
          Command(offset, low);
        }
        break;
      }
    }
  }
  if (cutting) CutPower(offset, value);
}

void NorChip::Command(std::uint32_t offset, std::uint8_t command) {
  // Mode commands go to any address; a block command in no block (only an in-memory chip has
  // addresses outside its blocks) fails at its second cycle.
  const std::uint32_t block = blocks_.BlockAt(offset).value_or(kNoBlock);
  switch (command) {
    case kReadArray:
      mode_ = Mode::ReadArray;
      break;
    case kReadIdentifier:
      mode_ = Mode::ReadIdentifier;
      break;
    case kReadQuery:
      mode_ = Mode::ReadQuery;
      break;
    case kReadStatus:
      mode_ = Mode::ReadStatus;
      break;
    case kClearStatus:
      status_ = kReady;
      break;
    case kWordProgram:
    case kWordProgramAlternate:
      cycle_ = Cycle::ProgramData;
      setupBlock_ = block;
      mode_ = Mode::ReadStatus;
      break;
    case kBlockErase:
    case kLockSetup:
      if (block != kNoBlock && offset != blocks_.Start(block))
        probe_.Violation("block command not at the block's first word: " + Hex(offset));
      cycle_ = command == kBlockErase ? Cycle::EraseConfirm : Cycle::LockConfirm;
      setupBlock_ = block;
      mode_ = Mode::ReadStatus;
      break;
    default:
      SequenceError("unknown command " + Hex(command) + " at " + Hex(offset));
      break;
  }
}

void NorChip::RefuseInNoBlock(std::uint8_t errorBit) {
  mode_ = Mode::ReadStatus;
  status_ = static_cast<std::uint8_t>(kReady | errorBit | kBlockLocked);
  Finish(0);
}

// The checks a program or erase passes before it changes the array, in the part's order:
// uncleared error bits, the programming voltage, the block's lock bit, then the plan's faults
// of the block. False when the operation ended there, with its status set.
bool NorChip::MayChange(Operation operation, std::uint32_t block,
                        std::optional<std::uint32_t> word) {
  const bool program = operation == Operation::Program;
  const std::uint8_t errorBit = program ? kProgramError : kEraseError;
  if (status_ & kErrorBits) {
    probe_.Violation(std::string(program ? "program" : "erase") + " started with status " +
                     Hex(status_) + " not cleared");
    status_ = static_cast<std::uint8_t>(status_ | kReady | errorBit);
    Finish(0);
    return false;
  }
  const Fault* fault = faults_.Striking(operation, block, word);
  if (fault != nullptr && fault->kind == FaultKind::VppError) {
    JournalFault(fault->kind, block, word);
    status_ = static_cast<std::uint8_t>(kReady | errorBit | kVoltageError);
    Finish(0);
    return false;
  }
  if (locked_[block]) {
    status_ = static_cast<std::uint8_t>(kReady | errorBit | kBlockLocked);
    Finish(0);
    return false;
  }
  if (fault == nullptr) return true;
  JournalFault(fault->kind, block, word);
  if (fault->kind == FaultKind::NeverReady) {
    neverReady_ = true;
    mode_ = Mode::ReadStatus;
    return false;
  }
  status_ = static_cast<std::uint8_t>(kReady | errorBit);
  Finish(0);
  return false;
}

void NorChip::ProgramWord(std::uint32_t offset, std::uint16_t value) {
  const std::optional<std::uint32_t> found = blocks_.BlockAt(offset);
  if (!found || setupBlock_ == kNoBlock) return RefuseInNoBlock(kProgramError);
  const std::uint32_t block = *found;
  const std::uint32_t word = static_cast<std::uint32_t>((offset - blocks_.Start(block)) / 2);
  mode_ = Mode::ReadStatus;
  if (block != setupBlock_)
    probe_.Violation("program data in block " + std::to_string(block) +
                     " after a setup in block " + std::to_string(setupBlock_));
  if (!MayChange(Operation::Program, block, word)) return;
  std::uint16_t stored = 0;
  std::memcpy(&stored, Bytes() + offset, sizeof stored);
  if (powerCut_.Armed()) powerCut_.RememberProgram(probe_.Commands(), block, offset, stored, value);
  stored = static_cast<std::uint16_t>(stored & value);
  std::memcpy(Bytes() + offset, &stored, sizeof stored);
  status_ = static_cast<std::uint8_t>(kReady | probe_.ExtraStatusBits(Operation::Program));
  Finish(StepsOfMicroseconds(std::uint64_t{1} << config_.wordProgramTypicalExponent));
}

void NorChip::EraseBlock(std::uint32_t offset) {
  probe_.CountErase();
  const std::optional<std::uint32_t> found = blocks_.BlockAt(offset);
  if (!found || setupBlock_ == kNoBlock) return RefuseInNoBlock(kEraseError);
  const std::uint32_t block = *found;
  mode_ = Mode::ReadStatus;
  if (block != setupBlock_) {
    return SequenceError("erase confirm in block " + std::to_string(block) +
                         " after a setup in block " + std::to_string(setupBlock_));
  }
  if (!MayChange(Operation::Erase, block, std::nullopt)) return;
  std::uint8_t* const start = Bytes() + blocks_.Start(block);
  const std::uint32_t size = blocks_.Size(block);
  if (powerCut_.Armed())
    powerCut_.RememberErase(probe_.Commands(), block, blocks_.Start(block), start, size);
  std::memset(start, 0xFF, size);
  status_ = static_cast<std::uint8_t>(kReady | probe_.ExtraStatusBits(Operation::Erase));
  Finish(StepsOfMicroseconds(std::uint64_t{1000} << config_.blockEraseTypicalExponent));
}

void NorChip::SetLock(std::uint32_t offset, bool lock) {
  const std::optional<std::uint32_t> found = blocks_.BlockAt(offset);
  mode_ = Mode::ReadStatus;
  if (!found || setupBlock_ == kNoBlock) {
    status_ = static_cast<std::uint8_t>(status_ | kReady);
    return Finish(0);
  }
  const std::uint32_t block = *found;
  if (block != setupBlock_) {
    return SequenceError("lock confirm in block " + std::to_string(block) +
                         " after a setup in block " + std::to_string(setupBlock_));
  }
  if (!lock && config_.lockVariant == LockVariant::UnlockAll) {
    locked_.assign(locked_.size(), false);
  } else {
    locked_[block] = lock;
  }
  StoreLockBits();
  status_ = static_cast<std::uint8_t>(status_ | kReady);
  Finish(StepsOfMicroseconds(lock ? config_.lockTimeUs : config_.UnlockTimeUs()));
}

std::uint16_t NorChip::Read(std::uint32_t offset) {
  if (offset % 2 != 0) {
    probe_.Violation("read at odd offset " + Hex(offset));
    return 0xFFFF;
  }
  switch (mode_) {
    case Mode::ReadArray: {
      if (offset >= ArrayBytes()) return 0xFFFF;
      std::uint16_t word = 0;
      std::memcpy(&word, Bytes() + offset, sizeof word);
      return word;
    }
    case Mode::ReadIdentifier: {
      const std::uint32_t word = offset / 2;
      if (word == kIdentifierManufacturerWord) return config_.manufacturer;
      if (word == kIdentifierDeviceWord) return config_.deviceCode;
      const std::optional<std::uint32_t> block = blocks_.BlockAt(offset);
      if (block && offset - blocks_.Start(*block) == 2 * kIdentifierLockWord)
        return locked_[*block] ? 1 : 0;
      return 0;
    }
    case Mode::ReadQuery: {
      const std::uint32_t word = offset / 2;
      return word < query_.size() ? query_[word] : 0;
    }
    case Mode::ReadStatus:
      return Busy() ? 0 : status_;
  }
  return 0;
}

void NorChip::CutPower(std::uint32_t offset, std::uint16_t value) {
  powerCut_.Cut(device_, Bytes(), probe_.Commands(), Busy(), offset, value);
}

}  // namespace sim

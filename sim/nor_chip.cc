#include "sim/nor_chip.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>

namespace sim {
namespace {

constexpr std::uint32_t kIdentifierManufacturerWord = 0;
constexpr std::uint32_t kIdentifierDeviceWord = 1;
constexpr std::uint32_t kIdentifierLockWord = 2;  // inside every block
constexpr std::uint32_t kHalvedSizeExponent = 23;

// Counter steps of the host's monotonic clock. The coarse clock (a few milliseconds a tick,
// but several times cheaper to read) serves instant timing, where nothing waits on the counter
// except the time limit of an operation that never becomes ready.
std::uint64_t MonotonicSteps(bool coarse = false) {
  timespec now{};
  ::clock_gettime(coarse ? CLOCK_MONOTONIC_COARSE : CLOCK_MONOTONIC, &now);
  const std::uint64_t nanoseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull +
                                    static_cast<std::uint64_t>(now.tv_nsec);
  return nanoseconds * kCounterStepsPerMicrosecond / 1000;
}

std::string Hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// splitmix64: a small, well-mixed generator, so that a seed gives the same tear on every host.
class TearPattern {
 public:
  explicit TearPattern(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Next() >> 17); }

 private:
  std::uint64_t state_;
};

std::uint64_t StepsOfMicroseconds(std::uint64_t microseconds) {
  return microseconds * kCounterStepsPerMicrosecond;
}

std::uint32_t SizeExponentOf(const DeviceConfig& config) {
  if (config.sizeExponent) return *config.sizeExponent;
  const std::uint64_t total = config.TotalBytes();
  return total <= 1 ? 0 : static_cast<std::uint32_t>(std::bit_width(total - 1));
}

}  // namespace

// --- Clock ---------------------------------------------------------------------------------

void Clock::Configure(TimingMode mode, std::uint32_t virtualStep) {
  mode_ = mode;
  virtualStep_ = virtualStep;
}

std::uint32_t Clock::ReadCounter() {
  ++reads_;
  if (mode_ == TimingMode::Virtual) {
    virtualNow_ += virtualStep_;
    return static_cast<std::uint32_t>(virtualNow_);
  }
  return static_cast<std::uint32_t>(MonotonicSteps(mode_ == TimingMode::Instant));
}

std::uint64_t Clock::Now() const {
  return mode_ == TimingMode::Virtual ? virtualNow_ : MonotonicSteps(mode_ == TimingMode::Instant);
}

// --- NorChip -------------------------------------------------------------------------------

NorChip::NorChip(const DevicePaths& device, const DeviceConfig& config, Clock& clock)
    : device_(device), config_(config), clock_(clock) {}

std::unique_ptr<NorChip> NorChip::Start(const DevicePaths& device, const DeviceConfig& config,
                                        Clock& clock, std::string* error) {
  std::unique_ptr<NorChip> chip(new NorChip(device, config, clock));
  const std::string file = device.Nor().string();
  const auto fail = [&](const std::string& why) -> std::unique_ptr<NorChip> {
    if (error) *error = file + ": " + why;
    return nullptr;
  };
  if (config.regions.empty() || config.regions.size() > 2)
    return fail("expected one or two flash regions");
  chip->descriptor_ = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (chip->descriptor_ < 0) return fail(std::strerror(errno));
  struct stat info {};
  if (::fstat(chip->descriptor_, &info) != 0) return fail(std::strerror(errno));
  chip->arrayBytes_ = config.TotalBytes();
  if (static_cast<std::uint64_t>(info.st_size) != chip->arrayBytes_)
    return fail("size " + std::to_string(info.st_size) + ", the geometry needs " +
                std::to_string(chip->arrayBytes_));
  void* mapping =
      ::mmap(nullptr, chip->arrayBytes_, PROT_READ | PROT_WRITE, MAP_SHARED, chip->descriptor_, 0);
  if (mapping == MAP_FAILED) return fail(std::strerror(errno));
  chip->array_ = static_cast<std::uint8_t*>(mapping);
  chip->BuildBlocks(chip->arrayBytes_);
  chip->LoadLockBits();
  chip->BuildQueryTable();
  chip->Reconfigure(config);
  return chip;
}

std::unique_ptr<NorChip> NorChip::StartInMemory(const DeviceConfig& config, MemoryArray& array,
                                                Clock& clock) {
  std::unique_ptr<NorChip> chip(new NorChip(DevicePaths{}, config, clock));
  chip->ownsArray_ = false;
  chip->descriptor_ = array.Descriptor();
  chip->array_ = array.Bytes();
  chip->arrayBytes_ = array.Size();
  std::memset(chip->array_, 0xFF, chip->arrayBytes_);
  chip->BuildBlocks(chip->arrayBytes_);
  chip->locked_.assign(chip->blockStarts_.size(), true);
  chip->BuildQueryTable();
  chip->Reconfigure(config);
  return chip;
}

void NorChip::BuildBlocks(std::uint64_t arrayBytes) {
  std::uint64_t start = 0;
  for (const FlashRegion& region : config_.regions) {
    if (region.size == 0) continue;
    for (std::uint32_t i = 0; i < region.count && start + region.size <= arrayBytes; ++i) {
      blockStarts_.push_back(start);
      blockSizes_.push_back(region.size);
      start += region.size;
    }
  }
}

// Per-block parts power up with every block locked; unlock-all parts keep their lock bits in
// DIR/lock_bits.bin, which a new device (or one whose file does not fit the geometry) starts
// with every block locked.
void NorChip::LoadLockBits() {
  locked_.assign(blockStarts_.size(), true);
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
  const int descriptor =
      ::open(device_.LockBits().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (descriptor < 0 ||
      ::write(descriptor, bits.data(), bits.size()) != static_cast<ssize_t>(bits.size())) {
    std::fprintf(stderr, "orvanta: %s: cannot be written\n", device_.LockBits().c_str());
  }
  if (descriptor >= 0) ::close(descriptor);
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

NorChip::~NorChip() {
  if (!ownsArray_) return;
  if (array_ != nullptr) ::munmap(array_, arrayBytes_);
  if (descriptor_ >= 0) ::close(descriptor_);
}

// --- MemoryArray ---------------------------------------------------------------------------

// An unlinked temporary file rather than anonymous memory, so that the flash window can map the
// same bytes read-only (and hide them) while the chip writes them through its own mapping.
std::unique_ptr<MemoryArray> MemoryArray::Create(std::uint64_t bytes, std::string* error) {
  std::unique_ptr<MemoryArray> array(new MemoryArray);
  std::string pattern = (std::filesystem::temp_directory_path() / "orvanta-nor-XXXXXX").string();
  array->descriptor_ = ::mkstemp(pattern.data());
  if (array->descriptor_ >= 0) ::unlink(pattern.c_str());
  void* mapping = MAP_FAILED;
  if (array->descriptor_ >= 0 && ::ftruncate(array->descriptor_, static_cast<off_t>(bytes)) == 0)
    mapping = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, array->descriptor_, 0);
  if (mapping == MAP_FAILED) {
    if (error) *error = pattern + ": " + std::strerror(errno);
    return nullptr;
  }
  array->bytes_ = static_cast<std::uint8_t*>(mapping);
  array->size_ = bytes;
  return array;
}

MemoryArray::~MemoryArray() {
  if (bytes_ != nullptr) ::munmap(bytes_, size_);
  if (descriptor_ >= 0) ::close(descriptor_);
}

void NorChip::BuildQueryTable() {
  query_.assign(kQueryTableWords, 0);
  query_[0x10] = 'Q';
  query_[0x11] = 'R';
  query_[0x12] = 'Y';
  query_[0x13] = 0x01;  // primary command set: Intel/Sharp extended
  query_[0x1B] = 0x27;  // Vcc 2.7 V .. 3.6 V
  query_[0x1C] = 0x36;
  query_[0x1F] = config_.wordProgramTypicalExponent;
  query_[0x21] = config_.blockEraseTypicalExponent;
  query_[0x23] = config_.wordProgramMaxExponent;
  query_[0x25] = config_.blockEraseMaxExponent;
  const std::uint32_t sizeExponent = SizeExponentOf(config_);
  query_[0x27] = static_cast<std::uint16_t>(sizeExponent & 0xFF);
  query_[0x28] = 0x01;  // x16 interface
  query_[0x2C] = static_cast<std::uint16_t>(config_.regions.size());
  for (std::size_t i = 0; i < config_.regions.size(); ++i) {
    const FlashRegion& region = config_.regions[i];
    std::uint32_t reported = region.size;
    if (sizeExponent >= kHalvedSizeExponent) reported /= 2;
    const std::uint32_t countField = region.count - 1;
    const std::uint32_t sizeField = reported / 256;
    const std::size_t at = 0x2D + 4 * i;
    query_[at] = countField & 0xFF;
    query_[at + 1] = (countField >> 8) & 0xFF;
    query_[at + 2] = sizeField & 0xFF;
    query_[at + 3] = (sizeField >> 8) & 0xFF;
  }
}

void NorChip::Reconfigure(const DeviceConfig& config) {
  config_.timing = config.timing;
  config_.virtualStep = config.virtualStep;
  config_.faults = config.faults;
  config_.lockTimeUs = config.lockTimeUs;
  config_.unlockTimeUs = config.unlockTimeUs;
  powerCutAfter_.reset();
  // An in-memory chip has no device to journal a cut to, nor a next start.
  if (device_.root.empty()) return;
  for (const Fault& fault : config.faults) {
    if (fault.kind == FaultKind::PowerCutAfter &&
        (!powerCutAfter_ || fault.count < *powerCutAfter_)) {
      powerCutAfter_ = fault.count;
      powerCutSeed_ = fault.seed.value_or(fault.count);
    }
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

std::optional<std::uint32_t> NorChip::FindBlock(std::uint64_t offset) const {
  if (offset >= arrayBytes_) return std::nullopt;
  const auto next = std::upper_bound(blockStarts_.begin(), blockStarts_.end(), offset);
  lastBlock_ = static_cast<std::uint32_t>(next - blockStarts_.begin() - 1);
  return lastBlock_;
}

void NorChip::TraceWrites(bool enabled) {
  tracing_ = enabled;
  trace_.clear();
}

void NorChip::SetExtraStatusBits(Operation operation, std::uint8_t bits) {
  (operation == Operation::Program ? extraProgramBits_ : extraEraseBits_) = bits;
}

void NorChip::Violation(const std::string& what) {
  if (violationHandler_) return violationHandler_(what);
  violations_.push_back(what);
}

void NorChip::SequenceError(const std::string& what) {
  Violation(what);
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

void NorChip::JournalFault(const char* kind, std::uint32_t block,
                           std::optional<std::uint32_t> word) {
  if (device_.root.empty()) return;
  nlohmann::json line{{"event", "fault"}, {"kind", kind}, {"block", block}};
  if (word) line["word"] = *word;
  AppendJournal(device_, line.dump());
}

void NorChip::Write(std::uint32_t offset, std::uint16_t value) {
  ++commands_;
  if (tracing_) trace_.push_back({offset, value});
  cutting_ = powerCutAfter_ && commands_ >= *powerCutAfter_;
  if (powerCutAfter_ && *powerCutAfter_ == 0) CutPower(offset, value);

  if (offset % 2 != 0) {
    Violation("write at odd offset " + Hex(offset));
  } else if (offset >= arrayBytes_) {
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
  if (cutting_) CutPower(offset, value);
}

void NorChip::Command(std::uint32_t offset, std::uint8_t command) {
  // Mode commands go to any address; a block command in no block (only an in-memory chip has
  // addresses outside its blocks) fails at its second cycle.
  const std::uint32_t block = BlockOf(offset).value_or(kNoBlock);
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
      if (block != kNoBlock && offset != blockStarts_[block])
        Violation("block command not at the block's first word: " + Hex(offset));
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

void NorChip::ProgramWord(std::uint32_t offset, std::uint16_t value) {
  const std::optional<std::uint32_t> found = BlockOf(offset);
  if (!found || setupBlock_ == kNoBlock) return RefuseInNoBlock(kProgramError);
  const std::uint32_t block = *found;
  const std::uint32_t word = static_cast<std::uint32_t>((offset - blockStarts_[block]) / 2);
  mode_ = Mode::ReadStatus;
  if (block != setupBlock_)
    Violation("program data in block " + std::to_string(block) + " after a setup in block " +
              std::to_string(setupBlock_));
  if (status_ & kErrorBits) {
    Violation("program started with status " + Hex(status_) + " not cleared");
    status_ = static_cast<std::uint8_t>(status_ | kReady | kProgramError);
    return Finish(0);
  }
  for (const Fault& fault : config_.faults) {
    if (fault.kind == FaultKind::VppError) {
      JournalFault("vpp_error", block, word);
      status_ = kReady | kProgramError | kVoltageError;
      return Finish(0);
    }
  }
  if (locked_[block]) {
    status_ = kReady | kProgramError | kBlockLocked;
    return Finish(0);
  }
  for (const Fault& fault : config_.faults) {
    if (fault.kind == FaultKind::NeverReady && fault.block == block) {
      JournalFault("never_ready", block, word);
      neverReady_ = true;
      mode_ = Mode::ReadStatus;
      return;
    }
    if (fault.kind == FaultKind::ProgramError && fault.block == block &&
        (!fault.word || *fault.word == word)) {
      JournalFault("program_error", block, word);
      status_ = kReady | kProgramError;
      return Finish(0);
    }
  }
  std::uint16_t stored = 0;
  std::memcpy(&stored, array_ + offset, sizeof stored);
  if (powerCutAfter_)
    interrupted_ = Interrupted{Operation::Program, commands_, block, offset, stored, value, {}};
  stored = static_cast<std::uint16_t>(stored & value);
  std::memcpy(array_ + offset, &stored, sizeof stored);
  status_ = static_cast<std::uint8_t>(kReady | extraProgramBits_);
  Finish(StepsOfMicroseconds(std::uint64_t{1} << config_.wordProgramTypicalExponent));
}

void NorChip::EraseBlock(std::uint32_t offset) {
  ++erases_;
  const std::optional<std::uint32_t> found = BlockOf(offset);
  if (!found || setupBlock_ == kNoBlock) return RefuseInNoBlock(kEraseError);
  const std::uint32_t block = *found;
  mode_ = Mode::ReadStatus;
  if (block != setupBlock_) {
    return SequenceError("erase confirm in block " + std::to_string(block) +
                         " after a setup in block " + std::to_string(setupBlock_));
  }
  if (status_ & kErrorBits) {
    Violation("erase started with status " + Hex(status_) + " not cleared");
    status_ = static_cast<std::uint8_t>(status_ | kReady | kEraseError);
    return Finish(0);
  }
  for (const Fault& fault : config_.faults) {
    if (fault.kind == FaultKind::VppError) {
      JournalFault("vpp_error", block, std::nullopt);
      status_ = kReady | kEraseError | kVoltageError;
      return Finish(0);
    }
  }
  if (locked_[block]) {
    status_ = kReady | kEraseError | kBlockLocked;
    return Finish(0);
  }
  for (const Fault& fault : config_.faults) {
    if (fault.kind == FaultKind::NeverReady && fault.block == block) {
      JournalFault("never_ready", block, std::nullopt);
      neverReady_ = true;
      return;
    }
    if (fault.kind == FaultKind::EraseError && fault.block == block) {
      JournalFault("erase_error", block, std::nullopt);
      status_ = kReady | kEraseError;
      return Finish(0);
    }
  }
  std::uint8_t* const start = array_ + blockStarts_[block];
  const std::uint32_t size = blockSizes_[block];
  if (powerCutAfter_) {
    interrupted_ = Interrupted{Operation::Erase, commands_, block, blockStarts_[block], 0, 0,
                               std::vector<std::uint8_t>(start, start + size)};
  }
  std::memset(start, 0xFF, size);
  status_ = static_cast<std::uint8_t>(kReady | extraEraseBits_);
  Finish(StepsOfMicroseconds(std::uint64_t{1000} << config_.blockEraseTypicalExponent));
}

void NorChip::SetLock(std::uint32_t offset, bool lock) {
  const std::optional<std::uint32_t> found = BlockOf(offset);
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
    Violation("read at odd offset " + Hex(offset));
    return 0xFFFF;
  }
  switch (mode_) {
    case Mode::ReadArray: {
      if (offset >= arrayBytes_) return 0xFFFF;
      std::uint16_t word = 0;
      std::memcpy(&word, array_ + offset, sizeof word);
      return word;
    }
    case Mode::ReadIdentifier: {
      const std::uint32_t word = offset / 2;
      if (word == kIdentifierManufacturerWord) return config_.manufacturer;
      if (word == kIdentifierDeviceWord) return config_.deviceCode;
      const std::optional<std::uint32_t> block = BlockOf(offset);
      if (block && offset - blockStarts_[*block] == 2 * kIdentifierLockWord)
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
  const std::uint64_t after = *powerCutAfter_;
  nlohmann::json line{
      {"event", "power_cut"}, {"after", after}, {"offset", offset}, {"value", value}};
  if (interrupted_ && (interrupted_->command == commands_ || Busy())) {
    TearInterrupted();
    line["torn"] = interrupted_->operation == Operation::Program ? "program" : "erase";
    line["block"] = interrupted_->block;
    if (interrupted_->operation == Operation::Program) line["word_offset"] = interrupted_->offset;
  }
  AppendJournal(device_, line.dump());
  // The next start has power again.
  Loaded<DeviceConfig> stored = LoadDeviceConfig(device_);
  if (stored) {
    std::vector<Fault>& faults = stored.value->faults;
    const auto cut = std::find_if(faults.begin(), faults.end(), [after](const Fault& fault) {
      return fault.kind == FaultKind::PowerCutAfter && fault.count == after;
    });
    if (cut != faults.end()) faults.erase(cut);
    SaveDeviceConfig(device_, *stored.value, nullptr);
  }
  ::_exit(kPowerCutExitStatus);
}

void NorChip::TearInterrupted() {
  TearPattern pattern(powerCutSeed_);
  const Interrupted& torn = *interrupted_;
  if (torn.operation == Operation::Program) {
    // Only some of the bits the program clears were cleared.
    const std::uint16_t clearing = static_cast<std::uint16_t>(torn.oldWord & ~torn.newWord);
    const std::uint16_t word =
        static_cast<std::uint16_t>(torn.oldWord & ~(clearing & pattern.Word()));
    std::memcpy(array_ + torn.offset, &word, sizeof word);
    return;
  }
  // Each word of the block erased, as it was, or with some of its cleared bits set again.
  for (std::size_t at = 0; at + 1 < torn.oldBlock.size(); at += 2) {
    std::uint16_t word = 0;
    std::memcpy(&word, torn.oldBlock.data() + at, sizeof word);
    switch (pattern.Next() % 3) {
      case 0:
        word = 0xFFFF;
        break;
      case 1:
        break;
      default:
        word = static_cast<std::uint16_t>(word | pattern.Word());
        break;
    }
    std::memcpy(array_ + torn.offset + at, &word, sizeof word);
  }
}

// --- Bit flips -----------------------------------------------------------------------------

bool FlipBit(const DevicePaths& device, std::uint64_t offset, std::uint32_t bit,
             std::string* error) {
  const std::string file = device.Nor().string();
  const auto fail = [&](const std::string& why) {
    if (error) *error = file + ": " + why;
    return false;
  };
  if (bit > 7) return fail("bit " + std::to_string(bit) + " is not 0..7");
  const int descriptor = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (descriptor < 0) return fail(std::strerror(errno));
  struct stat info {};
  bool done = false;
  std::uint8_t byte = 0;
  if (::fstat(descriptor, &info) != 0) {
    fail(std::strerror(errno));
  } else if (offset >= static_cast<std::uint64_t>(info.st_size)) {
    fail("offset " + std::to_string(offset) + " is past the end (" + std::to_string(info.st_size) +
         " bytes)");
  } else if (::pread(descriptor, &byte, 1, static_cast<off_t>(offset)) != 1) {
    fail("cannot read offset " + std::to_string(offset));
  } else {
    byte = static_cast<std::uint8_t>(byte ^ (1u << bit));
    done = ::pwrite(descriptor, &byte, 1, static_cast<off_t>(offset)) == 1;
    if (!done) fail("cannot write offset " + std::to_string(offset));
  }
  ::close(descriptor);
  return done;
}

// --- The hardware of this process ----------------------------------------------------------

namespace {

struct ProcessHardware {
  Clock clock;
  std::unique_ptr<NorChip> chip;
};

ProcessHardware& Hardware() {
  static ProcessHardware hardware;
  return hardware;
}

Loaded<DeviceConfig> LoadCurrent() {
  return LoadDeviceConfig(CurrentDevice());
}

}  // namespace

NorChip* AttachFlash(std::string* error) {
  ProcessHardware& hardware = Hardware();
  const DevicePaths device = CurrentDevice();
  Loaded<DeviceConfig> config = LoadDeviceConfig(device);
  if (!config) {
    if (error) *error = config.error;
    return nullptr;
  }
  hardware.clock.Configure(config.value->timing, config.value->virtualStep);
  if (hardware.chip && hardware.chip->SameHardware(device, *config.value)) {
    hardware.chip->Reconfigure(*config.value);
    return hardware.chip.get();
  }
  hardware.chip.reset();
  hardware.chip = NorChip::Start(device, *config.value, hardware.clock, error);
  return hardware.chip.get();
}

Clock* AttachTimer(std::string* error) {
  Loaded<DeviceConfig> config = LoadCurrent();
  if (!config) {
    if (error) *error = config.error;
    return nullptr;
  }
  Hardware().clock.Configure(config.value->timing, config.value->virtualStep);
  return &Hardware().clock;
}

void DetachFlash() {
  const char* wanted = std::getenv("ORVANTA_FLASH_COMMAND_COUNT");
  NorChip* chip = Hardware().chip.get();
  if (chip != nullptr && wanted != nullptr && *wanted != '\0') {
    AppendJournal(
        chip->Device(),
        nlohmann::json{{"event", "flash_commands"}, {"count", chip->CommandCount()}}.dump());
  }
}

NorChip* ProcessChip() {
  return Hardware().chip.get();
}

Clock& ProcessClock() {
  return Hardware().clock;
}

std::uint64_t FlashCommandCount() {
  NorChip* chip = Hardware().chip.get();
  return chip != nullptr ? chip->CommandCount() : 0;
}

}  // namespace sim

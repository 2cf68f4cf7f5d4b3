#include "sim/power_cut.h"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "sim/split_mix.h"
#include "sim/system.h"

namespace sim {
namespace {

// The tear of one cut, drawn from its seed.
class TearPattern {
 public:
  explicit TearPattern(std::uint64_t seed) : random_(seed) {}
  std::uint64_t Next() { return random_.Next(); }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Next() >> 17); }

 private:
  SplitMix64 random_;
};

}  // namespace

void PowerCut::Arm(const FaultPlan& plan) {
  after_.reset();
  if (const Fault* cut = plan.FirstPowerCut()) {
    after_ = cut->count;
    seed_ = cut->seed.value_or(cut->count);
  }
}

void PowerCut::RememberProgram(std::uint64_t command, std::uint32_t block, std::uint64_t offset,
                               std::uint16_t oldWord, std::uint16_t newWord) {
  interrupted_ = Interrupted{ChipOperation::Program, command, block, offset, oldWord, newWord, {}};
}

void PowerCut::RememberErase(std::uint64_t command, std::uint32_t block, std::uint64_t offset,
                             const std::uint8_t* bytes, std::uint32_t size) {
  interrupted_ = Interrupted{ChipOperation::Erase, command, block, offset, 0, 0, {}};
  interrupted_->oldBlock.assign(bytes, bytes + size);
}

void PowerCut::Cut(const DevicePaths& device, std::uint8_t* array, std::uint64_t commands,
                   bool busy, std::uint32_t offset, std::uint16_t value) {
  const std::uint64_t after = *after_;
  nlohmann::json line{
      {"event", "power_cut"}, {"after", after}, {"offset", offset}, {"value", value}};
  if (interrupted_ && (interrupted_->command == commands || busy)) {
    Tear(array);
    const bool program = interrupted_->operation == ChipOperation::Program;
    line["torn"] = program ? "program" : "erase";
    line["block"] = interrupted_->block;
    if (program) line["word_offset"] = interrupted_->offset;
  }
  AppendJournal(device, line.dump());
  // The next start has power again.
  Loaded<DeviceConfig> stored = LoadDeviceConfig(device);
  if (stored) {
    std::vector<Fault>& faults = stored.value->faults;
    const auto cut = std::find_if(faults.begin(), faults.end(), [after](const Fault& fault) {
      return fault.kind == FaultKind::PowerCutAfter && fault.count == after;
    });
    if (cut != faults.end()) faults.erase(cut);
    SaveDeviceConfig(device, *stored.value, nullptr);
  }
  system::EndAbruptly(kPowerCutExitStatus);
}

void PowerCut::Tear(std::uint8_t* array) const {
  TearPattern pattern(seed_);
  const Interrupted& torn = *interrupted_;
  if (torn.operation == ChipOperation::Program) {
    // Only some of the bits the program clears were cleared.
    const std::uint16_t clearing = static_cast<std::uint16_t>(torn.oldWord & ~torn.newWord);
    const std::uint16_t word =
        static_cast<std::uint16_t>(torn.oldWord & ~(clearing & pattern.Word()));
    std::memcpy(array + torn.offset, &word, sizeof word);
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
    std::memcpy(array + torn.offset + at, &word, sizeof word);
  }
}

}  // namespace sim

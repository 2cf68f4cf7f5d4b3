// A planned power cut (fault power_cut_after N [seed S]) and the tear it leaves.
//
// When the Nth command of the process has been carried out (N = 0: before the first), the chip
// calls Cut(): it journals {"event":"power_cut","after":N,...}, removes that entry from
// device.json so that the next start has power, and ends the process at once with
// kPowerCutExitStatus. What was written stays in nor.bin. The operation the cut interrupts (the
// one the Nth command started, or one still busy then) is torn, in a pattern drawn from the
// seed (default N), so a rerun tears alike: a word program leaves only some of the bits it
// clears cleared; a block erase leaves each word of the block erased, as it was, or partly
// erased (some of its cleared bits set). The journal line names the torn operation
// ("torn":"program"|"erase", "block", and for a program "word_offset").
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/device.h"

namespace sim {

inline constexpr int kPowerCutExitStatus = 137;

class PowerCut {
 public:
  // Takes up the plan's cut (the lowest count), or none.
  void Arm(const FaultPlan& plan);
  void Disarm() { after_.reset(); }
  bool Armed() const { return after_.has_value(); }
  // Whether the cut falls after the command numbered `commands` (counted from 1), or before
  // the first.
  bool DueAfter(std::uint64_t commands) const { return after_ && commands >= *after_; }
  bool DueBeforeAny() const { return after_ && *after_ == 0; }

  // The last word program or erase, with what it replaced, kept only while a cut is armed: the
  // cut tears it when the cutting command started it or it is still busy. Out of line, so that
  // the word-program path (taken millions of times) stays small.
  [[gnu::noinline]] void RememberProgram(std::uint64_t command, std::uint32_t block,
                                         std::uint64_t offset, std::uint16_t oldWord,
                                         std::uint16_t newWord);
  [[gnu::noinline]] void RememberErase(std::uint64_t command, std::uint32_t block,
                                       std::uint64_t offset, const std::uint8_t* bytes,
                                       std::uint32_t size);

  // Ends the process as a power loss after command `commands` (the bus write `offset`,
  // `value`), tearing the remembered operation in `array` when `command` started it or
  // `busy` says it still runs.
  [[noreturn]] void Cut(const DevicePaths& device, std::uint8_t* array, std::uint64_t commands,
                        bool busy, std::uint32_t offset, std::uint16_t value);

 private:
  void Tear(std::uint8_t* array) const;

  struct Interrupted {
    ChipOperation operation = ChipOperation::Program;
    std::uint64_t command = 0;
    std::uint32_t block = 0;
    std::uint64_t offset = 0;  // the word programmed, or the block's start
    std::uint16_t oldWord = 0;
    std::uint16_t newWord = 0;
    std::vector<std::uint8_t> oldBlock;
  };
  std::optional<std::uint64_t> after_;
  std::uint64_t seed_ = 0;
  std::optional<Interrupted> interrupted_;
};

}  // namespace sim

// The free-running 32-bit counter at offset 0x10 of the timer block: 3 steps a microsecond.
//
// Timing (device.json "timing"):
//   instant    the counter is real monotonic time x 3 (the host's coarse clock: nothing waits on
//              it but the time limit of an operation that never becomes ready)
//   virtual    the counter advances `virtual_step` steps on every read and nothing else, so a
//              time limit is reached after an exact number of polls
//   realistic  the counter is real monotonic time x 3
#pragma once

#include <cstdint>

#include "sim/device.h"

namespace sim {

inline constexpr std::uint32_t kVirtualCounterStart = 0xFFFF0000u;  // wraps early in every run
inline constexpr std::uint32_t kCounterStepsPerMicrosecond = 3;

constexpr std::uint64_t StepsOfMicroseconds(std::uint64_t microseconds) {
  return microseconds * kCounterStepsPerMicrosecond;
}

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

}  // namespace sim

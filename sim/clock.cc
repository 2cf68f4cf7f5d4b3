#include "sim/clock.h"

#include "sim/system.h"

namespace sim {
namespace {

// Counter steps of the host's monotonic clock. The coarse clock (a few milliseconds a tick,
// but several times cheaper to read) serves instant timing, where nothing waits on the counter
// except the time limit of an operation that never becomes ready.
std::uint64_t MonotonicSteps(bool coarse) {
  return system::MonotonicNanoseconds(coarse) * kCounterStepsPerMicrosecond / 1000;
}

}  // namespace

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

}  // namespace sim

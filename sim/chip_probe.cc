#include "sim/chip_probe.h"

namespace sim {

void ChipProbe::TraceWrites(bool enabled) {
  tracing_ = enabled;
  trace_.clear();
}

void ChipProbe::SetExtraStatusBits(ChipOperation operation, std::uint8_t bits) {
  (operation == ChipOperation::Program ? extraProgramBits_ : extraEraseBits_) = bits;
}

void ChipProbe::Violation(const std::string& what) {
  if (violationHandler_) return violationHandler_(what);
  violations_.push_back(what);
}

}  // namespace sim

// What tests and campaigns see of a chip besides its bus: the commands and erases it took, a
// trace of its bus writes, the violations it noticed, and status bits a test makes it add.
//
// A violation is something the driver should never do and the part would not report: a second
// cycle in another block than its setup, an erase or lock command away from a block's first
// word, a write at an odd address, an operation started with error bits not cleared. It is
// recorded (Violations()), or handed to the handler a test installs (an in-memory device aborts
// there, so a fuzzer reports it).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/fault_plan.h"

namespace sim {

struct BusWrite {
  std::uint32_t offset;  // byte offset in the window
  std::uint16_t value;
  bool operator==(const BusWrite&) const = default;
};

class ChipProbe {
 public:
  // Every bus write to the flash window counts as one command (commands, program data and
  // confirms alike), from the start of the chip.
  std::uint64_t Commands() const { return commands_; }
  std::uint64_t Erases() const { return erases_; }

  // Records every bus write from now on (and forgets the earlier trace), or stops recording.
  void TraceWrites(bool enabled);
  const std::vector<BusWrite>& Trace() const { return trace_; }
  void ClearTrace() { trace_.clear(); }

  // ORs `bits` into the status at the end of every operation of one kind that would otherwise
  // succeed (for example 0x02 after an erase, which the driver must accept, or after a
  // program, which it must refuse).
  void SetExtraStatusBits(ChipOperation operation, std::uint8_t bits);
  std::uint8_t ExtraStatusBits(ChipOperation operation) const {
    return operation == ChipOperation::Program ? extraProgramBits_ : extraEraseBits_;
  }

  const std::vector<std::string>& Violations() const { return violations_; }
  void SetViolationHandler(std::function<void(const std::string&)> handler) {
    violationHandler_ = std::move(handler);
  }

  // The chip's side.
  void CountWrite(std::uint32_t offset, std::uint16_t value) {
    ++commands_;
    if (tracing_) trace_.push_back({offset, value});
  }
  void CountErase() { ++erases_; }
  void Violation(const std::string& what);

 private:
  std::uint64_t commands_ = 0;
  std::uint64_t erases_ = 0;
  bool tracing_ = false;
  std::vector<BusWrite> trace_;
  std::uint8_t extraProgramBits_ = 0;
  std::uint8_t extraEraseBits_ = 0;
  std::vector<std::string> violations_;
  std::function<void(const std::string&)> violationHandler_;
};

}  // namespace sim

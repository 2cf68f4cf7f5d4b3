#include "sim/fault_plan.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "sim/device.h"

namespace sim {

const char* FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::EraseError:
      return "erase_error";
    case FaultKind::ProgramError:
      return "program_error";
    case FaultKind::NeverReady:
      return "never_ready";
    case FaultKind::VppError:
      return "vpp_error";
    case FaultKind::PowerCutAfter:
      return "power_cut_after";
    case FaultKind::FlipBit:
      return "flip_bit";
    case FaultKind::RestartFails:
      return "restart_fails";
  }
  return "?";
}

Fault Fault::EraseError(std::uint32_t block) {
  return {.kind = FaultKind::EraseError, .block = block};
}

Fault Fault::ProgramError(std::uint32_t block, std::optional<std::uint32_t> word) {
  return {.kind = FaultKind::ProgramError, .block = block, .word = word};
}

Fault Fault::NeverReady(std::uint32_t block) {
  return {.kind = FaultKind::NeverReady, .block = block};
}

Fault Fault::VppError() {
  return {.kind = FaultKind::VppError};
}

Fault Fault::PowerCutAfter(std::uint64_t count, std::optional<std::uint64_t> seed) {
  return {.kind = FaultKind::PowerCutAfter, .count = count, .seed = seed};
}

Fault Fault::FlipBit(std::uint64_t offset, std::uint32_t bit) {
  return {.kind = FaultKind::FlipBit, .offset = offset, .bit = bit};
}

Fault Fault::RestartFails() {
  return {.kind = FaultKind::RestartFails};
}

const Fault* FaultPlan::Search(ChipOperation operation, std::uint32_t block,
                               std::optional<std::uint32_t> word) const {
  for (const Fault& fault : faults_)
    if (fault.kind == FaultKind::VppError) return &fault;
  const FaultKind blockFault =
      operation == ChipOperation::Erase ? FaultKind::EraseError : FaultKind::ProgramError;
  for (const Fault& fault : faults_) {
    if (fault.block != block) continue;
    if (fault.kind == FaultKind::NeverReady) return &fault;
    if (fault.kind != blockFault) continue;
    if (operation == ChipOperation::Erase || !fault.word || *fault.word == word) return &fault;
  }
  return nullptr;
}

const Fault* FaultPlan::FirstPowerCut() const {
  const Fault* first = nullptr;
  for (const Fault& fault : faults_)
    if (fault.kind == FaultKind::PowerCutAfter && (first == nullptr || fault.count < first->count))
      first = &fault;
  return first;
}

bool FlipBit(const DevicePaths& device, std::uint64_t offset, std::uint32_t bit,
             std::string* error) {
  const std::string file = device.Nor().string();
  const auto fail = [&](const std::string& why) {
    if (error) *error = file + ": " + why;
    return false;
  };
  if (bit > 7) return fail("bit " + std::to_string(bit) + " is not 0..7");
  std::error_code code;
  const std::uint64_t size = std::filesystem::file_size(device.Nor(), code);
  if (code) return fail(code.message());
  if (offset >= size)
    return fail("offset " + std::to_string(offset) + " is past the end (" + std::to_string(size) +
                " bytes)");
  std::fstream stream(device.Nor(), std::ios::in | std::ios::out | std::ios::binary);
  if (!stream) return fail(std::strerror(errno));
  char byte = 0;
  if (!stream.seekg(static_cast<std::streamoff>(offset)) || !stream.get(byte))
    return fail("cannot read offset " + std::to_string(offset));
  byte = static_cast<char>(byte ^ (1u << bit));
  if (!stream.seekp(static_cast<std::streamoff>(offset)) || !stream.put(byte) || !stream.flush())
    return fail("cannot write offset " + std::to_string(offset));
  return true;
}

}  // namespace sim

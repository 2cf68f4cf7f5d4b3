// A throw-away device directory for one test: created under the temporary directory, made the
// process's device ($ORVANTA_DEVICE), and removed again at the end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/device.h"

// A fault of the plan at `block` (and `word`).
inline sim::Fault FaultAt(sim::FaultKind kind, std::uint32_t block = 0,
                          std::optional<std::uint32_t> word = std::nullopt) {
  sim::Fault fault;
  fault.kind = kind;
  fault.block = block;
  fault.word = word;
  return fault;
}

class TestDevice {
 public:
  explicit TestDevice(const sim::DeviceConfig& config = sim::DeviceConfig{});
  ~TestDevice();
  TestDevice(const TestDevice&) = delete;
  TestDevice& operator=(const TestDevice&) = delete;

  const sim::DevicePaths& Paths() const { return paths_; }
  std::vector<std::uint8_t> ReadNor() const;
  void WriteNor(const std::vector<std::uint8_t>& bytes) const;
  std::vector<std::string> JournalLines() const;
  void Save(const sim::DeviceConfig& config) const;

 private:
  std::string parent_;
  sim::DevicePaths paths_;
};

// Temporary simulated devices for the update tests and the whole-run scenarios.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/device.h"

namespace test {

using Bytes = std::vector<std::uint8_t>;

// A fresh device directory under the system's temporary directory, removed on destruction.
// It becomes the process's device ($ORVANTA_DEVICE) for as long as it lives.
class TemporaryDevice {
 public:
  explicit TemporaryDevice(const sim::DeviceConfig& config = sim::DeviceConfig());
  ~TemporaryDevice();
  TemporaryDevice(const TemporaryDevice&) = delete;
  TemporaryDevice& operator=(const TemporaryDevice&) = delete;

  const sim::DevicePaths& Paths() const { return paths_; }
  // The host path of a card file given relative to the card root ("EA1/syaffs.bc").
  std::filesystem::path Card(const std::string& relative) const;
  void WriteCard(const std::string& relative, const Bytes& content) const;
  Bytes ReadCard(const std::string& relative) const;
  Bytes ReadNor() const;
  sim::DeviceConfig Config() const;
  void SaveConfig(const sim::DeviceConfig& config) const;

 private:
  sim::DevicePaths paths_;
};

// Formats the device of this process as the factory does: the flash open writes the partition
// table, each settings partition gets an empty settings block, and record 2 of the
// Semi-Permanent Settings holds `partNumber` (UTF-8 ASCII here, stored as UTF-16LE). Returns an
// empty string on success, otherwise what failed.
std::string FormatSettings(const std::string& partNumber);

// Stores a settings block holding `payload` in flash block `block` of the current device, as
// it stands (records damaged or not). Returns an error text, or an empty string.
std::string WriteSettingsBlock(std::uint32_t block, const Bytes& payload);

// The byte offset and the size of `block` in the geometry of `config` (size 0 past the end).
std::uint64_t BlockOffset(const sim::DeviceConfig& config, std::uint32_t block);
std::uint32_t BlockSizeOf(const sim::DeviceConfig& config, std::uint32_t block);

Bytes ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const Bytes& content);
// Deterministic filler: `length` bytes of a simple generator seeded with `seed`.
Bytes PatternBytes(std::size_t length, std::uint32_t seed);

}  // namespace test

// A throw-away simulated device for one test or benchmark: a device directory under the system's
// temporary directory (nor.bin, device.json, the card, the journal), the process's device
// ($ORVANTA_DEVICE) from its construction on, removed with everything in it on destruction.
//
// Every helper here works on the directory at rest: nor.bin is read and written as a file, so
// call them only while no flash window is mapped. Failures (a directory that cannot be made, a
// file that cannot be read) throw std::runtime_error naming the file, which a test reports as
// its failure.
//
// DeviceShapes() is the table of flash geometries that tests of geometry-dependent behaviour
// run over, the scenario style: name each case once, run it on every shape.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "sim/block_layout.h"
#include "sim/device.h"
#include "testsupport/files.h"

namespace testsupport {

// Sets the environment variable `name` of this process, or removes it when `value` is null.
void SetVariable(const char* name, const char* value);

// A flash geometry to run a test on.
struct DeviceShape {
  const char* name;
  std::vector<sim::FlashRegion> regions;
  // The default device of this geometry.
  sim::DeviceConfig Config() const;
};

// Default: 8 blocks of 8 KiB, then 62 of 32 KiB (the product's part). Uniform: 64 blocks of
// 32 KiB. Smallest: 10 blocks, the fewest the default partition table takes: 5 of 384 KiB
// hold the 1 MiB bootloader and the 768 KiB bitmap, 5 of 8 KiB the four settings partitions
// and the table.
const std::vector<DeviceShape>& DeviceShapes();
const DeviceShape& DefaultShape();

class TemporaryDevice {
 public:
  explicit TemporaryDevice(const sim::DeviceConfig& config = sim::DeviceConfig());
  ~TemporaryDevice();
  TemporaryDevice(const TemporaryDevice&) = delete;
  TemporaryDevice& operator=(const TemporaryDevice&) = delete;

  const sim::DevicePaths& Paths() const { return paths_; }
  // Makes this the process's device again (after another device was made current).
  void MakeCurrent() const;

  // device.json as it stands, and its replacement (written atomically).
  sim::DeviceConfig Config() const;
  void SaveConfig(const sim::DeviceConfig& config) const;
  // Replaces the fault plan, which the chip takes up at the next flash open.
  void SetFaults(const std::vector<sim::Fault>& faults) const;
  // Where each block lies, from device.json's regions.
  sim::BlockLayout Blocks() const;

  // nor.bin at rest, whole or `count` bytes from `offset`.
  Bytes ReadNor() const;
  Bytes ReadNor(std::uint64_t offset, std::size_t count) const;
  void WriteNor(const Bytes& bytes) const;
  void WriteNor(std::uint64_t offset, const Bytes& bytes) const;
  // Bit `bit` (0..7) of byte `offset` flipped, as a bit that changed at rest.
  void FlipNorBit(std::uint64_t offset, unsigned bit) const;

  // The host path of a card file given relative to the card root ("EA1/syaffs.bc"), and the
  // file's content (written with its folders).
  std::filesystem::path Card(const std::string& relative) const { return paths_.Card() / relative; }
  void WriteCard(const std::string& relative, const Bytes& content) const;
  void WriteCard(const std::string& relative, std::string_view text) const;
  Bytes ReadCard(const std::string& relative) const;
  std::string ReadCardText(const std::string& relative) const;

  std::vector<std::string> JournalLines() const;

 private:
  std::filesystem::path parent_;  // the temporary directory that holds the device
  sim::DevicePaths paths_;
};

}  // namespace testsupport

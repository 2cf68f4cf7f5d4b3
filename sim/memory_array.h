// The bytes of a chip's array, mapped shared so that a flash window can map the same bytes a
// second time (read-only) while the chip writes them through this mapping: the device's
// nor.bin, or for an in-memory chip an unlinked temporary file of the size asked for.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "sim/system.h"

namespace sim {

class MemoryArray {
 public:
  // A new array of `bytes` bytes, all zero, that no other process sees.
  static std::unique_ptr<MemoryArray> Create(std::uint64_t bytes, std::string* error);
  // The file `file`, which must hold exactly `bytes` bytes, mapped read-write: what the chip
  // writes reaches the file. On failure null, with the reason (without the file name).
  static std::unique_ptr<MemoryArray> MapFile(const std::filesystem::path& file,
                                              std::uint64_t bytes, std::string* error);
  ~MemoryArray();
  MemoryArray(const MemoryArray&) = delete;
  MemoryArray& operator=(const MemoryArray&) = delete;
  std::uint8_t* Bytes() const { return shared_.bytes; }
  std::uint64_t Size() const { return shared_.size; }
  // What the flash window maps a second time.
  system::ArrayHandle Handle() const { return shared_.handle; }

 private:
  MemoryArray() = default;
  system::SharedArray shared_;
};

}  // namespace sim

// The CFI query table the chip answers in query mode, one byte of the table in the low byte of
// each 16-bit word, at word offsets:
//
//   0x10..0x12  "QRY"                        0x1F  typical word program time, 2^n us
//   0x13        primary command set (1)      0x21  typical block erase time, 2^n ms
//   0x1B, 0x1C  Vcc minimum and maximum      0x23  word program maximum, 2^n x typical
//   0x27        device size, 2^n bytes       0x25  block erase maximum, 2^n x typical
//   0x28        interface (1: x16)           0x2C  number of erase-block regions
//   0x2D + 4i   region i: block count - 1 (two bytes), block size / 256 (two bytes)
//
// A device of 2^23 bytes or more reports each region's block size halved, as the parts of that
// size do (a reader doubles it back).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/device.h"

namespace sim::cfi {

inline constexpr std::size_t kSignature = 0x10;  // 'Q', 'R', 'Y'
inline constexpr std::size_t kPrimaryCommandSet = 0x13;
inline constexpr std::size_t kVccMinimum = 0x1B;
inline constexpr std::size_t kVccMaximum = 0x1C;
inline constexpr std::size_t kWordProgramTypical = 0x1F;
inline constexpr std::size_t kBlockEraseTypical = 0x21;
inline constexpr std::size_t kWordProgramMaximum = 0x23;
inline constexpr std::size_t kBlockEraseMaximum = 0x25;
inline constexpr std::size_t kDeviceSize = 0x27;
inline constexpr std::size_t kInterface = 0x28;
inline constexpr std::size_t kRegionCount = 0x2C;
inline constexpr std::size_t kRegions = 0x2D;
inline constexpr std::size_t kRegionWords = 4;  // count - 1 (low, high), size / 256 (low, high)
inline constexpr std::size_t kTableWords = kRegions + 3 * kRegionWords;  // room for 3 regions
inline constexpr std::uint32_t kHalvedBlockSizeExponent = 23;
inline constexpr std::uint32_t kBlockSizeUnit = 256;

static_assert(kTableWords == 0x39);

// The device size exponent of `config`: sizeExponent, or log2 of the total size rounded up.
std::uint32_t SizeExponentOf(const DeviceConfig& config);

// The table of `config`'s geometry, identification times and regions.
std::vector<std::uint16_t> QueryTableOf(const DeviceConfig& config);

}  // namespace sim::cfi

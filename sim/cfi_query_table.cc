#include "sim/cfi_query_table.h"

#include <bit>

namespace sim::cfi {
namespace {

constexpr std::uint16_t kIntelSharpCommandSet = 0x01;
constexpr std::uint16_t kVcc2V7 = 0x27;
constexpr std::uint16_t kVcc3V6 = 0x36;
constexpr std::uint16_t kInterfaceX16 = 0x01;

}  // namespace

std::uint32_t SizeExponentOf(const DeviceConfig& config) {
  if (config.sizeExponent) return *config.sizeExponent;
  const std::uint64_t total = config.TotalBytes();
  return total <= 1 ? 0 : static_cast<std::uint32_t>(std::bit_width(total - 1));
}

std::vector<std::uint16_t> QueryTableOf(const DeviceConfig& config) {
  std::vector<std::uint16_t> query(kTableWords, 0);
  query[kSignature] = 'Q';
  query[kSignature + 1] = 'R';
  query[kSignature + 2] = 'Y';
  query[kPrimaryCommandSet] = kIntelSharpCommandSet;
  query[kVccMinimum] = kVcc2V7;
  query[kVccMaximum] = kVcc3V6;
  query[kWordProgramTypical] = config.wordProgramTypicalExponent;
  query[kBlockEraseTypical] = config.blockEraseTypicalExponent;
  query[kWordProgramMaximum] = config.wordProgramMaxExponent;
  query[kBlockEraseMaximum] = config.blockEraseMaxExponent;
  const std::uint32_t sizeExponent = SizeExponentOf(config);
  query[kDeviceSize] = static_cast<std::uint16_t>(sizeExponent & 0xFF);
  query[kInterface] = kInterfaceX16;
  query[kRegionCount] = static_cast<std::uint16_t>(config.regions.size());
  for (std::size_t i = 0; i < config.regions.size(); ++i) {
    const FlashRegion& region = config.regions[i];
    std::uint32_t reported = region.size;
    if (sizeExponent >= kHalvedBlockSizeExponent) reported /= 2;
    const std::uint32_t countField = region.count - 1;
    const std::uint32_t sizeField = reported / kBlockSizeUnit;
    const std::size_t at = kRegions + kRegionWords * i;
    query[at] = countField & 0xFF;
    query[at + 1] = (countField >> 8) & 0xFF;
    query[at + 2] = sizeField & 0xFF;
    query[at + 3] = (sizeField >> 8) & 0xFF;
  }
  return query;
}

}  // namespace sim::cfi

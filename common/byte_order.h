// Little-endian 16- and 32-bit fields, the byte order of every stored format of the system:
// signed image records, key blobs, settings blocks and records, the partition table, the
// program's compiled resources. Each function touches exactly two or four bytes at `bytes`,
// which need no alignment; the value is the same on a host of either byte order.
#pragma once

#include <cstdint>

constexpr std::uint16_t LoadLittleEndian16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

constexpr std::uint32_t LoadLittleEndian32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

constexpr void StoreLittleEndian32(unsigned char* bytes, std::uint32_t value) {
  bytes[0] = static_cast<unsigned char>(value);
  bytes[1] = static_cast<unsigned char>(value >> 8);
  bytes[2] = static_cast<unsigned char>(value >> 16);
  bytes[3] = static_cast<unsigned char>(value >> 24);
}

static_assert([] {
  unsigned char bytes[4] = {};
  StoreLittleEndian32(bytes, 0x12345678u);
  return bytes[0] == 0x78 && bytes[3] == 0x12 && LoadLittleEndian32(bytes) == 0x12345678u &&
         LoadLittleEndian16(bytes + 2) == 0x1234u;
}());

#include "settings/ecc_code.h"

#include <cstdint>

#include "common/byte_order.h"

namespace {

// Turns the accumulated column parities C, the odd line parity L and the parity of the number
// of odd-parity bytes into the stored (inverted) code.
void StoreCode(unsigned columns, unsigned oddLines, unsigned oddByteCountParity, BYTE* code) {
  const unsigned evenLines = oddByteCountParity != 0 ? (oddLines ^ 0xFFu) : oddLines;
  code[0] = static_cast<BYTE>(~(columns >> 2));
  code[1] = static_cast<BYTE>(~oddLines);
  code[2] = static_cast<BYTE>(~evenLines);
}

// Set bits of each 4-bit value.
constexpr BYTE kNibbleBitCount[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};

// Exactly one pair bit set in each of the column pairs (0,1), (2,3), (4,5).
bool ColumnsNameOneBit(unsigned s0) {
  for (unsigned pair = 0; pair < 3; ++pair) {
    const unsigned bits = (s0 >> (2 * pair)) & 3u;
    if (bits != 1u && bits != 2u) return false;
  }
  return true;
}

}  // namespace

void EccCode::ComputeAnyLength(const BYTE* data, DWORD length, BYTE* code) {
  unsigned columns = 0;
  unsigned oddLines = 0;
  unsigned oddBytes = 0;
  for (DWORD index = 0; index < length; ++index) {
    const BYTE entry = EccParityTable[data[index]];
    columns ^= entry;
    if ((entry & 1u) != 0) {
      oddLines ^= index;
      ++oddBytes;
    }
  }
  StoreCode(columns, oddLines & 0xFFu, oddBytes & 1u, code);
}

// Four bytes per step: their table entries are packed into one word and combined word-wise, and
// the byte index (bits 12 and up) and odd-byte count (low 12 bits) share one counter.
void EccCode::ComputeAlignedChunk(const BYTE* data, BYTE* code) {
  constexpr std::uint32_t kIndexStep = 0x1000;
  constexpr std::uint32_t kIndexShift = 12;
  static_assert(kEccMaxDataLength < kIndexStep, "the odd-byte count fits below the index");
  std::uint32_t packed = 0;
  std::uint32_t counter = 0;
  std::uint32_t oddLines = 0;
  const BYTE* word = data;
  while ((counter >> kIndexShift) < kEccMaxDataLength) {
    const std::uint32_t value = LoadLittleEndian32(word);
    std::uint32_t entries = 0;
    for (unsigned byte = 0; byte < 4; ++byte) {
      const std::uint32_t entry = EccParityTable[(value >> (8 * byte)) & 0xFFu];
      entries |= entry << (8 * byte);
      if ((entry & 1u) != 0) {
        oddLines ^= counter >> kIndexShift;
        counter += 1;
      }
      counter += kIndexStep;
    }
    packed ^= entries;
    word += 4;
  }
  const unsigned columns = (packed ^ (packed >> 8) ^ (packed >> 16) ^ (packed >> 24)) & 0xFFu;
  StoreCode(columns, oddLines & 0xFFu, counter & 1u, code);
}

void EccCode::Compute(const BYTE* data, DWORD length, BYTE* code) {
  if (length == kEccMaxDataLength && reinterpret_cast<std::uintptr_t>(data) % 4 == 0) {
    ComputeAlignedChunk(data, code);
  } else {
    ComputeAnyLength(data, length, code);
  }
}

int EccCode::Correct(BYTE* data, DWORD length, BYTE* stored, const BYTE* computed) {
  const unsigned s0 = stored[0] ^ computed[0];
  const unsigned s1 = stored[1] ^ computed[1];
  const unsigned s2 = stored[2] ^ computed[2];
  if (s0 == 0 && s1 == 0 && s2 == 0) return kCodesAgree;

  // One data bit: the line syndromes are complements (they name the byte) and each column
  // pair has one bit set (the odd member of each pair gives one bit of the bit number).
  if (s1 == (~s2 & 0xFFu) && ColumnsNameOneBit(s0)) {
    // A shorter range than 256 bytes (the 12-byte header) can yield a syndrome naming a byte
    // past its end; that is not a correctable error of this data.
    if (s1 >= length) return kUncorrectable;
    const unsigned bit = ((s0 >> 1) & 1u) | (((s0 >> 3) & 1u) << 1) | (((s0 >> 5) & 1u) << 2);
    data[s1] = static_cast<BYTE>(data[s1] ^ (1u << bit));
    return kCorrected;
  }

  // One code bit: the stored copy is the faulty one.
  unsigned setBits = 0;
  for (unsigned syndrome : {s0, s1, s2}) {
    setBits += kNibbleBitCount[syndrome & 0xFu] + kNibbleBitCount[(syndrome >> 4) & 0xFu];
  }
  if (setBits == 1) {
    for (DWORD i = 0; i < kEccCodeSize; ++i) stored[i] = computed[i];
    return kCorrected;
  }
  return kUncorrectable;
}

// The 3-byte Hamming code that protects each settings-block header and payload chunk.
//
// Over up to 256 data bytes the code holds six column parities (which bit of a byte) and two
// 8-bit line parities (which byte), every bit stored inverted so that erased flash (all 0xFF
// data, code FF FF FF) is self-consistent:
//
//   byte 0, bit 0..5   inverted parity of data bits {0,2,4,6} {1,3,5,7} {0,1,4,5} {2,3,6,7}
//                      {0,1,2,3} {4,5,6,7} over all bytes; bits 6 and 7 always 1
//   byte 1, bit k      inverted parity of every bit of the bytes whose index has bit k set
//   byte 2, bit k      inverted parity of every bit of the bytes whose index has bit k clear
//
// One flipped data bit gives a syndrome that names its byte and bit; one flipped code bit gives
// a syndrome with a single bit set; anything else is reported as uncorrectable. Bit 0 is the
// least significant bit throughout.
#pragma once

#include <array>

#include "platform/types.h"

inline constexpr DWORD kEccCodeSize = 3;
// The code's line parities have 8 bits, so it covers at most 256 bytes.
inline constexpr DWORD kEccMaxDataLength = 256;
static_assert(kEccMaxDataLength == 1u << 8, "one line-parity bit per bit of the byte index");

// Entry x describes the data byte value x:
//   bit 0  parity of all 8 bits of x (1: the byte has odd parity)
//   bit 1  0
//   bit 2  parity of bits 0,2,4,6     bit 3  parity of bits 1,3,5,7
//   bit 4  parity of bits 0,1,4,5     bit 5  parity of bits 2,3,6,7
//   bit 6  parity of bits 0,1,2,3     bit 7  parity of bits 4,5,6,7
// Bits 2..7 are the six column parities in code byte 0's order, shifted up by 2. The entry is
// linear in x: entry(a ^ b) == entry(a) ^ entry(b). Used by EccCode::Compute.
constexpr std::array<BYTE, 256> MakeEccParityTable() {
  std::array<BYTE, 256> table{};
  constexpr BYTE kColumnMasks[6] = {0x55, 0xAA, 0x33, 0xCC, 0x0F, 0xF0};
  for (unsigned x = 0; x < 256; ++x) {
    auto parity = [x](unsigned mask) {
      unsigned bits = x & mask;
      unsigned result = 0;
      for (; bits != 0; bits &= bits - 1) result ^= 1;
      return result;
    };
    unsigned entry = parity(0xFF);
    for (unsigned column = 0; column < 6; ++column)
      entry |= parity(kColumnMasks[column]) << (2 + column);
    table[x] = static_cast<BYTE>(entry);
  }
  return table;
}
inline constexpr std::array<BYTE, 256> EccParityTable = MakeEccParityTable();
static_assert(EccParityTable[0x00] == 0x00);
static_assert(EccParityTable[0x01] == 0x55);
static_assert(EccParityTable[0x02] == 0x59);
static_assert(EccParityTable[0x80] == 0xA9);
static_assert(EccParityTable[0xFF] == 0x00);

class EccCode {
 public:
  // Results of Correct.
  static constexpr int kCodesAgree = 0;
  static constexpr int kCorrected = 1;
  static constexpr int kUncorrectable = -1;

  // Writes the 3-byte code of the first `length` bytes of `data` (length 0..256) to `code`.
  // A length of 0 gives FF FF FF. Takes the word-wise form for a 256-byte chunk at an address
  // that is a multiple of 4 and the byte-wise form otherwise; both give the same code.
  static void Compute(const BYTE* data, DWORD length, BYTE* code);

  // The two forms, for callers that must pick one (tests compare them). ComputeAlignedChunk
  // requires exactly 256 bytes at an address that is a multiple of 4.
  static void ComputeAnyLength(const BYTE* data, DWORD length, BYTE* code);
  static void ComputeAlignedChunk(const BYTE* data, BYTE* code);

  // Compares the code read from flash (`stored`, 3 bytes, writable) with the code just computed
  // over the data as read (`computed`), for `length` protected bytes (the length given to
  // Compute). Returns
  //   kCodesAgree (0)      the codes are equal; nothing changed;
  //   kCorrected (1)       one data bit was wrong and is flipped back in `data`, or one code
  //                        bit was wrong and `stored` now equals `computed` (data unchanged);
  //   kUncorrectable (-1)  anything else, including a syndrome that names a byte at or past
  //                        `length`; neither `data` nor `stored` changed.
  // Never touches data[length] or beyond.
  [[nodiscard]] static int Correct(BYTE* data, DWORD length, BYTE* stored, const BYTE* computed);
};

// EccCode over arbitrary data and stored codes, against a bit-by-bit reference.
//
// Input: a length byte pair (taken modulo 257), a bit position to flip, 3 stored code bytes,
// then the data. Checked: Compute and both of its forms agree with the reference; Correct with
// an arbitrary stored code either agrees (0, nothing changed), repairs exactly one data bit so
// that the data matches the stored code, repairs the stored code, or refuses (-1, nothing
// changed), never touching memory past the protected length (the buffers are exactly that
// long); and a single flipped data bit under the right code is always repaired.
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "settings/ecc_code.h"

namespace {

using Code = std::array<BYTE, 3>;

unsigned Bit(const std::vector<BYTE>& data, std::size_t index, unsigned bit) {
  return (data[index] >> bit) & 1u;
}

// Straight from the definition of the code: each parity bit is the exclusive-or of the data
// bits it covers, and every code bit is stored inverted.
Code ReferenceCode(const std::vector<BYTE>& data) {
  constexpr unsigned kColumns[6][4] = {{0, 2, 4, 6}, {1, 3, 5, 7}, {0, 1, 4, 5},
                                       {2, 3, 6, 7}, {0, 1, 2, 3}, {4, 5, 6, 7}};
  unsigned byte0 = 0xC0;
  for (unsigned c = 0; c < 6; ++c) {
    unsigned parity = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
      for (unsigned bit : kColumns[c]) parity ^= Bit(data, i, bit);
    byte0 |= (parity ^ 1u) << c;
  }
  unsigned odd = 0;
  unsigned even = 0;
  for (unsigned k = 0; k < 8; ++k) {
    unsigned oddParity = 0;
    unsigned evenParity = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
      for (unsigned bit = 0; bit < 8; ++bit) {
        if ((i >> k) & 1u)
          oddParity ^= Bit(data, i, bit);
        else
          evenParity ^= Bit(data, i, bit);
      }
    odd |= (oddParity ^ 1u) << k;
    even |= (evenParity ^ 1u) << k;
  }
  return {static_cast<BYTE>(byte0), static_cast<BYTE>(odd), static_cast<BYTE>(even)};
}

int DifferingBits(const std::vector<BYTE>& a, const std::vector<BYTE>& b) {
  int bits = 0;
  for (std::size_t i = 0; i < a.size(); ++i) bits += __builtin_popcount(a[i] ^ b[i]);
  return bits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const DWORD length = input.Take<std::uint16_t>() % (kEccMaxDataLength + 1);
  const std::uint16_t flip = input.Take<std::uint16_t>();
  Code stored{};
  for (auto& byte : stored) byte = input.Take<BYTE>();

  // Exactly `length` bytes, so that any access past the protected range is reported. Unfilled
  // bytes are 0xFF, as in erased flash.
  std::vector<BYTE> bytes(length, 0xFF);
  const auto given = input.TakeBytes(length);
  if (!given.empty()) std::memcpy(bytes.data(), given.data(), given.size());

  const Code reference = ReferenceCode(bytes);
  Code computed{};
  EccCode::Compute(bytes.data(), length, computed.data());
  FUZZ_REQUIRE(computed == reference);
  Code anyLength{};
  EccCode::ComputeAnyLength(bytes.data(), length, anyLength.data());
  FUZZ_REQUIRE(anyLength == reference);
  if (length == kEccMaxDataLength) {
    alignas(4) BYTE aligned[kEccMaxDataLength];
    std::memcpy(aligned, bytes.data(), length);
    Code chunk{};
    EccCode::ComputeAlignedChunk(aligned, chunk.data());
    FUZZ_REQUIRE(chunk == reference);
  }

  // An arbitrary stored code.
  {
    std::vector<BYTE> repaired = bytes;
    Code storedCopy = stored;
    const int result =
        EccCode::Correct(repaired.data(), length, storedCopy.data(), computed.data());
    FUZZ_REQUIRE(result == -1 || result == 0 || result == 1);
    if (result == 0) {
      FUZZ_REQUIRE(stored == computed && repaired == bytes && storedCopy == stored);
    } else if (result == -1) {
      FUZZ_REQUIRE(stored != computed && repaired == bytes && storedCopy == stored);
    } else if (repaired != bytes) {
      FUZZ_REQUIRE(DifferingBits(repaired, bytes) == 1 && storedCopy == stored);
      // Bits 6 and 7 of byte 0 take no part in locating a data bit.
      Code fixed = ReferenceCode(repaired);
      FUZZ_REQUIRE((fixed[0] & 0x3F) == (stored[0] & 0x3F) && fixed[1] == stored[1] &&
                   fixed[2] == stored[2]);
    } else {
      FUZZ_REQUIRE(storedCopy == computed);
      int codeBits = 0;
      for (int i = 0; i < 3; ++i) codeBits += __builtin_popcount(stored[i] ^ computed[i]);
      FUZZ_REQUIRE(codeBits == 1);
    }
  }

  // One flipped data bit under the code of the data as written is always repaired.
  if (length > 0) {
    std::vector<BYTE> damaged = bytes;
    damaged[(flip / 8) % length] ^= static_cast<BYTE>(1u << (flip % 8));
    Code damagedCode{};
    EccCode::Compute(damaged.data(), length, damagedCode.data());
    Code storedCopy = reference;
    FUZZ_REQUIRE(EccCode::Correct(damaged.data(), length, storedCopy.data(), damagedCode.data()) ==
                 1);
    FUZZ_REQUIRE(damaged == bytes && storedCopy == reference);
  }
  return 0;
}

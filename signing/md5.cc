#include "signing/md5.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/byte_order.h"

namespace {

// Per-round shift amounts and the sine-derived constants, as RFC 1321 gives them.
constexpr int Shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
constexpr DWORD SineTable[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// The sixteen message words of a block. On a little-endian machine a block at a word boundary
// already holds them as they are stored, and one word-wise copy takes them (byte by byte, a
// processor without unaligned loads spends four loads and three shifted ors on each).
void LoadBlock(const BYTE* block, DWORD* x) {
  if constexpr (std::endian::native == std::endian::little) {
    if (reinterpret_cast<std::uintptr_t>(block) % alignof(DWORD) == 0) {
      std::memcpy(x, std::assume_aligned<alignof(DWORD)>(block), 16 * sizeof(DWORD));
      return;
    }
  }
  for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian32(block + 4 * i);
}

// Every step is a = b + rotl(a + F(b, c, d) + X[g] + T[i], s), then the registers rotate.
template <int Round>
inline void Step(DWORD& a, DWORD b, DWORD c, DWORD d, DWORD word, DWORD constant, int shift) {
  DWORD f;
  if constexpr (Round == 0) {
    f = d ^ (b & (c ^ d));
  } else if constexpr (Round == 1) {
    f = c ^ (d & (b ^ c));
  } else if constexpr (Round == 2) {
    f = b ^ c ^ d;
  } else {
    f = c ^ (b | ~d);
  }
  a = b + std::rotl(a + f + word + constant, shift);
}

template <int Round>
inline void RoundOf16(DWORD& a, DWORD& b, DWORD& c, DWORD& d, const DWORD* x) {
  // Message word order per round: i, 5i + 1, 3i + 5, 7i (mod 16).
  for (int i = 0; i < 16; i += 4) {
    const int base = Round * 16 + i;
    auto index = [](int step) {
      if constexpr (Round == 0) return step;
      if constexpr (Round == 1) return (5 * step + 1) & 15;
      if constexpr (Round == 2) return (3 * step + 5) & 15;
      return (7 * step) & 15;
    };
    Step<Round>(a, b, c, d, x[index(i)], SineTable[base], Shifts[Round][0]);
    Step<Round>(d, a, b, c, x[index(i + 1)], SineTable[base + 1], Shifts[Round][1]);
    Step<Round>(c, d, a, b, x[index(i + 2)], SineTable[base + 2], Shifts[Round][2]);
    Step<Round>(b, c, d, a, x[index(i + 3)], SineTable[base + 3], Shifts[Round][3]);
  }
}

void TransformBlocks(DWORD* chaining, const BYTE* blocks, DWORD count) {
  for (; count > 0; --count, blocks += Md5BlockSize) {
    DWORD x[16];
    LoadBlock(blocks, x);
    DWORD a = chaining[0];
    DWORD b = chaining[1];
    DWORD c = chaining[2];
    DWORD d = chaining[3];
    RoundOf16<0>(a, b, c, d, x);
    RoundOf16<1>(a, b, c, d, x);
    RoundOf16<2>(a, b, c, d, x);
    RoundOf16<3>(a, b, c, d, x);
    chaining[0] += a;
    chaining[1] += b;
    chaining[2] += c;
    chaining[3] += d;
  }
}

}  // namespace

void Md5Initialize(Md5State& state) {
  state.bitCount[0] = 0;
  state.bitCount[1] = 0;
  state.chaining[0] = 0x67452301u;
  state.chaining[1] = 0xefcdab89u;
  state.chaining[2] = 0x98badcfeu;
  state.chaining[3] = 0x10325476u;
}

void Md5Update(Md5State& state, const BYTE* bytes, DWORD length) {
  if (length == 0) return;
  const DWORD buffered = (state.bitCount[0] >> 3) % Md5BlockSize;
  const DWORD addedBits = length << 3;
  state.bitCount[0] += addedBits;
  if (state.bitCount[0] < addedBits) ++state.bitCount[1];
  state.bitCount[1] += length >> 29;

  if (buffered != 0) {
    const DWORD take = length < Md5BlockSize - buffered ? length : Md5BlockSize - buffered;
    std::memcpy(state.block + buffered, bytes, take);
    bytes += take;
    length -= take;
    if (buffered + take < Md5BlockSize) return;
    TransformBlocks(state.chaining, state.block, 1);
  }
  const DWORD wholeBlocks = length / Md5BlockSize;
  TransformBlocks(state.chaining, bytes, wholeBlocks);
  bytes += wholeBlocks * Md5BlockSize;
  length -= wholeBlocks * Md5BlockSize;
  if (length != 0) std::memcpy(state.block, bytes, length);
}

void Md5Finish(Md5State& state, BYTE* digest) {
  BYTE lengthBytes[8];
  StoreLittleEndian32(lengthBytes, state.bitCount[0]);
  StoreLittleEndian32(lengthBytes + 4, state.bitCount[1]);
  DWORD buffered = (state.bitCount[0] >> 3) % Md5BlockSize;
  state.block[buffered++] = 0x80;
  if (buffered > Md5BlockSize - 8) {
    std::memset(state.block + buffered, 0, Md5BlockSize - buffered);
    TransformBlocks(state.chaining, state.block, 1);
    buffered = 0;
  }
  std::memset(state.block + buffered, 0, Md5BlockSize - 8 - buffered);
  std::memcpy(state.block + Md5BlockSize - 8, lengthBytes, 8);
  TransformBlocks(state.chaining, state.block, 1);
  for (int i = 0; i < 4; ++i) StoreLittleEndian32(state.digest + 4 * i, state.chaining[i]);
  std::memcpy(digest, state.digest, sizeof state.digest);
}

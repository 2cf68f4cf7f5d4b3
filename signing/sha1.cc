#include "signing/sha1.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

constexpr DWORD InitialChaining[Sha1ChainingWords] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu,
                                                      0x10325476u, 0xC3D2E1F0u};

DWORD LoadBigEndian(const BYTE* bytes) {
  return (static_cast<DWORD>(bytes[0]) << 24) | (static_cast<DWORD>(bytes[1]) << 16) |
         (static_cast<DWORD>(bytes[2]) << 8) | bytes[3];
}

void StoreBigEndian(DWORD value, BYTE* bytes) {
  bytes[0] = static_cast<BYTE>(value >> 24);
  bytes[1] = static_cast<BYTE>(value >> 16);
  bytes[2] = static_cast<BYTE>(value >> 8);
  bytes[3] = static_cast<BYTE>(value);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ORVANTA_SHA1_HARDWARE 1

// The SHA extensions through the compilers' own builtins and vector types, so that this file
// needs no processor-specific header. Lane 3 of a vector holds the first word.
using Vector32 = int __attribute__((vector_size(16)));
using VectorU32 = unsigned __attribute__((vector_size(16)));
using Vector8 = char __attribute__((vector_size(16)));

#define ORVANTA_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

ORVANTA_SHA_TARGET inline Vector32 AddLanes(Vector32 a, Vector32 b) {
  return reinterpret_cast<Vector32>(reinterpret_cast<VectorU32>(a) +
                                    reinterpret_cast<VectorU32>(b));
}

// Sixteen message bytes as four big-endian words, the first in lane 3.
ORVANTA_SHA_TARGET inline Vector32 LoadMessage(const BYTE* bytes) {
  Vector8 raw;
  std::memcpy(&raw, bytes, sizeof raw);
  return reinterpret_cast<Vector32>(
      __builtin_shufflevector(raw, raw, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
}

// Four rounds with round function `Function` on message vector `message`; `e` enters as the
// previous group's ABCD and leaves as this group's E input.
#define ORVANTA_SHA1_GROUP(Function, message)           \
  do {                                                  \
    e = __builtin_ia32_sha1nexte(e, message);           \
    const Vector32 saved = abcd;                        \
    abcd = __builtin_ia32_sha1rnds4(abcd, e, Function); \
    e = saved;                                          \
  } while (false)

ORVANTA_SHA_TARGET void Sha1HardwareBlockFunction(DWORD* chaining, const BYTE* blocks,
                                                  std::size_t count) {
  Vector32 abcd = {static_cast<int>(chaining[3]), static_cast<int>(chaining[2]),
                   static_cast<int>(chaining[1]), static_cast<int>(chaining[0])};
  Vector32 e0 = {0, 0, 0, static_cast<int>(chaining[4])};
  for (; count > 0; --count, blocks += Sha1BlockSize) {
    const Vector32 savedAbcd = abcd;
    const Vector32 savedE = e0;
    Vector32 w[4];
    for (int i = 0; i < 4; ++i) w[i] = LoadMessage(blocks + 16 * i);

    // Group 0 takes E by addition; every later group derives it with sha1nexte from the ABCD
    // two groups back, which `e` carries.
    Vector32 e = abcd;
    abcd = __builtin_ia32_sha1rnds4(abcd, AddLanes(e0, w[0]), 0);
    ORVANTA_SHA1_GROUP(0, w[1]);
    ORVANTA_SHA1_GROUP(0, w[2]);
    ORVANTA_SHA1_GROUP(0, w[3]);
    // W[i] = msg2(msg1(W[i-4], W[i-3]) ^ W[i-2], W[i-1]) in a rolling array of four.
#define ORVANTA_SHA1_SCHEDULED_GROUP(Function, i)                                                  \
  do {                                                                                             \
    w[(i)&3] = __builtin_ia32_sha1msg2(                                                            \
        __builtin_ia32_sha1msg1(w[(i)&3], w[((i) + 1) & 3]) ^ w[((i) + 2) & 3], w[((i) + 3) & 3]); \
    ORVANTA_SHA1_GROUP(Function, w[(i)&3]);                                                        \
  } while (false)
    ORVANTA_SHA1_SCHEDULED_GROUP(0, 4);
    ORVANTA_SHA1_SCHEDULED_GROUP(1, 5);
    ORVANTA_SHA1_SCHEDULED_GROUP(1, 6);
    ORVANTA_SHA1_SCHEDULED_GROUP(1, 7);
    ORVANTA_SHA1_SCHEDULED_GROUP(1, 8);
    ORVANTA_SHA1_SCHEDULED_GROUP(1, 9);
    ORVANTA_SHA1_SCHEDULED_GROUP(2, 10);
    ORVANTA_SHA1_SCHEDULED_GROUP(2, 11);
    ORVANTA_SHA1_SCHEDULED_GROUP(2, 12);
    ORVANTA_SHA1_SCHEDULED_GROUP(2, 13);
    ORVANTA_SHA1_SCHEDULED_GROUP(2, 14);
    ORVANTA_SHA1_SCHEDULED_GROUP(3, 15);
    ORVANTA_SHA1_SCHEDULED_GROUP(3, 16);
    ORVANTA_SHA1_SCHEDULED_GROUP(3, 17);
    ORVANTA_SHA1_SCHEDULED_GROUP(3, 18);
    ORVANTA_SHA1_SCHEDULED_GROUP(3, 19);
#undef ORVANTA_SHA1_SCHEDULED_GROUP
    e0 = __builtin_ia32_sha1nexte(e, savedE);
    abcd = AddLanes(abcd, savedAbcd);
  }
  chaining[0] = static_cast<DWORD>(abcd[3]);
  chaining[1] = static_cast<DWORD>(abcd[2]);
  chaining[2] = static_cast<DWORD>(abcd[1]);
  chaining[3] = static_cast<DWORD>(abcd[0]);
  chaining[4] = static_cast<DWORD>(e0[3]);
}
#undef ORVANTA_SHA1_GROUP

// CPUID leaf 7 EBX bit 29: SHA; leaf 1 ECX bits 9 and 19: SSSE3 and SSE4.1.
bool ProcessorHasShaExtensions() {
  auto cpuid = [](DWORD leaf, DWORD subleaf, DWORD* ebx, DWORD* ecx) {
    DWORD eax = leaf;
    DWORD edx = 0;
    *ecx = subleaf;
    __asm__ volatile("cpuid" : "+a"(eax), "=b"(*ebx), "+c"(*ecx), "=d"(edx));
    return eax;
  };
  DWORD ebx = 0;
  DWORD ecx = 0;
  const DWORD maximumLeaf = cpuid(0, 0, &ebx, &ecx);
  if (maximumLeaf < 7) return false;
  cpuid(1, 0, &ebx, &ecx);
  const bool vectorSupport = (ecx & (1u << 9)) != 0 && (ecx & (1u << 19)) != 0;
  cpuid(7, 0, &ebx, &ecx);
  return vectorSupport && (ebx & (1u << 29)) != 0;
}
#endif

Sha1BlockFunction ChooseBlockFunction() {
  Sha1BlockFunction hardware = Sha1HardwareBlocks();
  return hardware != nullptr ? hardware : Sha1PortableBlocks;
}

}  // namespace

Sha1BlockFunction Sha1SelectedBlocks = ChooseBlockFunction();

Sha1BlockFunction Sha1HardwareBlocks() {
#ifdef ORVANTA_SHA1_HARDWARE
  static const bool available = ProcessorHasShaExtensions();
  return available ? Sha1HardwareBlockFunction : nullptr;
#else
  return nullptr;
#endif
}

// One round, with the registers renamed instead of moved: after a round the caller's (a, b,
// c, d, e) roles shift by one, so five consecutive rounds name them in rotation.
#define ORVANTA_SHA1_ROUND(a, b, c, d, e, f, constant, word) \
  do {                                                       \
    e += std::rotl(a, 5) + (f) + (constant) + (word);        \
    b = std::rotl(b, 30);                                    \
  } while (false)
#define ORVANTA_SHA1_CHOOSE(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define ORVANTA_SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define ORVANTA_SHA1_MAJORITY(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))
// W[t] = rotl(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16], 1) in a ring of 16 words.
#define ORVANTA_SHA1_SCHEDULE(t) \
  (w[(t)&15] = std::rotl(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))
#define ORVANTA_SHA1_FIVE(function, constant, t, word)                           \
  ORVANTA_SHA1_ROUND(a, b, c, d, e, function(b, c, d), constant, word(t));       \
  ORVANTA_SHA1_ROUND(e, a, b, c, d, function(a, b, c), constant, word((t) + 1)); \
  ORVANTA_SHA1_ROUND(d, e, a, b, c, function(e, a, b), constant, word((t) + 2)); \
  ORVANTA_SHA1_ROUND(c, d, e, a, b, function(d, e, a), constant, word((t) + 3)); \
  ORVANTA_SHA1_ROUND(b, c, d, e, a, function(c, d, e), constant, word((t) + 4))
#define ORVANTA_SHA1_LOADED(t) w[t]

void Sha1PortableBlocks(DWORD* chaining, const BYTE* blocks, std::size_t count) {
  for (; count > 0; --count, blocks += Sha1BlockSize) {
    DWORD w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(blocks + 4 * i);
    DWORD a = chaining[0];
    DWORD b = chaining[1];
    DWORD c = chaining[2];
    DWORD d = chaining[3];
    DWORD e = chaining[4];
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_CHOOSE, 0x5A827999u, 0, ORVANTA_SHA1_LOADED);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_CHOOSE, 0x5A827999u, 5, ORVANTA_SHA1_LOADED);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_CHOOSE, 0x5A827999u, 10, ORVANTA_SHA1_LOADED);
    ORVANTA_SHA1_ROUND(a, b, c, d, e, ORVANTA_SHA1_CHOOSE(b, c, d), 0x5A827999u, w[15]);
    ORVANTA_SHA1_ROUND(e, a, b, c, d, ORVANTA_SHA1_CHOOSE(a, b, c), 0x5A827999u,
                       ORVANTA_SHA1_SCHEDULE(16));
    ORVANTA_SHA1_ROUND(d, e, a, b, c, ORVANTA_SHA1_CHOOSE(e, a, b), 0x5A827999u,
                       ORVANTA_SHA1_SCHEDULE(17));
    ORVANTA_SHA1_ROUND(c, d, e, a, b, ORVANTA_SHA1_CHOOSE(d, e, a), 0x5A827999u,
                       ORVANTA_SHA1_SCHEDULE(18));
    ORVANTA_SHA1_ROUND(b, c, d, e, a, ORVANTA_SHA1_CHOOSE(c, d, e), 0x5A827999u,
                       ORVANTA_SHA1_SCHEDULE(19));
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_PARITY, 0x6ED9EBA1u, 20, ORVANTA_SHA1_SCHEDULE);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_PARITY, 0x6ED9EBA1u, 25, ORVANTA_SHA1_SCHEDULE);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_PARITY, 0x6ED9EBA1u, 30, ORVANTA_SHA1_SCHEDULE);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_PARITY, 0x6ED9EBA1u, 35, ORVANTA_SHA1_SCHEDULE);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_MAJORITY, 0x8F1BBCDCu, 40, ORVANTA_SHA1_SCHEDULE);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_MAJORITY, 0x8F1BBCDCu, 45, ORVANTA_SHA1_SCHEDULE);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_MAJORITY, 0x8F1BBCDCu, 50, ORVANTA_SHA1_SCHEDULE);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_MAJORITY, 0x8F1BBCDCu, 55, ORVANTA_SHA1_SCHEDULE);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_PARITY, 0xCA62C1D6u, 60, ORVANTA_SHA1_SCHEDULE);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_PARITY, 0xCA62C1D6u, 65, ORVANTA_SHA1_SCHEDULE);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_PARITY, 0xCA62C1D6u, 70, ORVANTA_SHA1_SCHEDULE);
    ORVANTA_SHA1_FIVE(ORVANTA_SHA1_PARITY, 0xCA62C1D6u, 75, ORVANTA_SHA1_SCHEDULE);
    chaining[0] += a;
    chaining[1] += b;
    chaining[2] += c;
    chaining[3] += d;
    chaining[4] += e;
  }
}
#undef ORVANTA_SHA1_LOADED
#undef ORVANTA_SHA1_FIVE
#undef ORVANTA_SHA1_SCHEDULE
#undef ORVANTA_SHA1_MAJORITY
#undef ORVANTA_SHA1_PARITY
#undef ORVANTA_SHA1_CHOOSE
#undef ORVANTA_SHA1_ROUND

void Sha1Initialize(Sha1State& state) {
  std::memcpy(state.chaining, InitialChaining, sizeof state.chaining);
  state.lengthHigh = 0;
  state.lengthLow = 0;
}

void Sha1Update(Sha1State& state, const BYTE* bytes, DWORD length) {
  if (length == 0) return;
  const DWORD buffered = state.lengthLow % Sha1BlockSize;
  const DWORD low = state.lengthLow + length;
  if (low < state.lengthLow) ++state.lengthHigh;
  state.lengthLow = low;

  if (buffered != 0) {
    const DWORD take = length < Sha1BlockSize - buffered ? length : Sha1BlockSize - buffered;
    std::memcpy(state.block + buffered, bytes, take);
    bytes += take;
    length -= take;
    if (buffered + take < Sha1BlockSize) return;
    Sha1SelectedBlocks(state.chaining, state.block, 1);
  }
  const std::size_t wholeBlocks = length / Sha1BlockSize;
  if (wholeBlocks != 0) {
    if (reinterpret_cast<std::uintptr_t>(bytes) % 4 == 0 ||
        Sha1SelectedBlocks != Sha1PortableBlocks) {
      Sha1SelectedBlocks(state.chaining, bytes, wholeBlocks);
    } else {
      // The portable function reads whole words; an unaligned block is copied first.
      for (std::size_t i = 0; i < wholeBlocks; ++i) {
        std::memcpy(state.block, bytes + i * Sha1BlockSize, Sha1BlockSize);
        Sha1SelectedBlocks(state.chaining, state.block, 1);
      }
    }
    bytes += wholeBlocks * Sha1BlockSize;
    length -= static_cast<DWORD>(wholeBlocks * Sha1BlockSize);
  }
  if (length != 0) std::memcpy(state.block, bytes, length);
}

void Sha1Finish(Sha1State& state, BYTE* digest) {
  const DWORD high = (state.lengthHigh << 3) | (state.lengthLow >> 29);
  const DWORD low = state.lengthLow << 3;
  DWORD buffered = state.lengthLow % Sha1BlockSize;
  state.block[buffered++] = 0x80;
  if (buffered > Sha1BlockSize - 8) {
    std::memset(state.block + buffered, 0, Sha1BlockSize - buffered);
    Sha1SelectedBlocks(state.chaining, state.block, 1);
    buffered = 0;
  }
  std::memset(state.block + buffered, 0, Sha1BlockSize - 8 - buffered);
  StoreBigEndian(high, state.block + Sha1BlockSize - 8);
  StoreBigEndian(low, state.block + Sha1BlockSize - 4);
  Sha1SelectedBlocks(state.chaining, state.block, 1);
  for (DWORD i = 0; i < Sha1ChainingWords; ++i) StoreBigEndian(state.chaining[i], digest + 4 * i);
  Sha1Initialize(state);
}

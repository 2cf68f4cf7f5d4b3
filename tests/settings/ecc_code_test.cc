#include "settings/ecc_code.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using Code = std::array<BYTE, 3>;

Code ComputeCode(const BYTE* data, DWORD length) {
  Code code{};
  EccCode::Compute(data, length, code.data());
  return code;
}

// The code straight from its definition, bit by bit, without the parity table.
Code ReferenceCode(const BYTE* data, DWORD length) {
  constexpr unsigned kColumnMasks[6] = {0x55, 0xAA, 0x33, 0xCC, 0x0F, 0xF0};
  unsigned columns = 0;
  unsigned oddLines = 0;
  unsigned evenLines = 0;
  for (DWORD index = 0; index < length; ++index) {
    for (unsigned column = 0; column < 6; ++column) {
      columns ^= static_cast<unsigned>(__builtin_parity(data[index] & kColumnMasks[column]))
                 << column;
    }
    const unsigned parity = static_cast<unsigned>(__builtin_parity(data[index]));
    for (unsigned k = 0; k < 8; ++k) {
      if ((index >> k) & 1u) {
        oddLines ^= parity << k;
      } else {
        evenLines ^= parity << k;
      }
    }
  }
  return {static_cast<BYTE>(~columns), static_cast<BYTE>(~oddLines), static_cast<BYTE>(~evenLines)};
}

std::vector<BYTE> RandomBytes(std::mt19937& random, std::size_t count, unsigned ffPercent) {
  std::vector<BYTE> bytes(count);
  std::uniform_int_distribution<unsigned> byte(0, 255);
  std::uniform_int_distribution<unsigned> percent(0, 99);
  for (BYTE& value : bytes) value = percent(random) < ffPercent ? 0xFF : byte(random);
  return bytes;
}

TEST(EccParityTable, EveryEntryFollowsItsRule) {
  for (unsigned x = 0; x < 256; ++x) {
    const unsigned entry = EccParityTable[x];
    EXPECT_EQ(entry & 1u, static_cast<unsigned>(__builtin_parity(x))) << x;
    EXPECT_EQ(entry & 2u, 0u) << x;
    EXPECT_EQ((entry >> 2) & 1u, static_cast<unsigned>(__builtin_parity(x & 0x55))) << x;
    EXPECT_EQ((entry >> 3) & 1u, static_cast<unsigned>(__builtin_parity(x & 0xAA))) << x;
    EXPECT_EQ((entry >> 4) & 1u, static_cast<unsigned>(__builtin_parity(x & 0x33))) << x;
    EXPECT_EQ((entry >> 5) & 1u, static_cast<unsigned>(__builtin_parity(x & 0xCC))) << x;
    EXPECT_EQ((entry >> 6) & 1u, static_cast<unsigned>(__builtin_parity(x & 0x0F))) << x;
    EXPECT_EQ((entry >> 7) & 1u, static_cast<unsigned>(__builtin_parity(x & 0xF0))) << x;
  }
}

TEST(EccParityTable, IsLinear) {
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      ASSERT_EQ(EccParityTable[a ^ b], EccParityTable[a] ^ EccParityTable[b]) << a << " " << b;
    }
  }
}

TEST(EccCodeCompute, KnownCodes) {
  alignas(4) BYTE chunk[256];
  std::memset(chunk, 0xFF, sizeof chunk);
  EXPECT_EQ(ComputeCode(chunk, 256), (Code{0xFF, 0xFF, 0xFF}));
  std::memset(chunk, 0x00, sizeof chunk);
  EXPECT_EQ(ComputeCode(chunk, 256), (Code{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(ComputeCode(chunk, 0), (Code{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(ComputeCode(nullptr, 0), (Code{0xFF, 0xFF, 0xFF}));

  const BYTE abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(ComputeCode(abc, 3), (Code{0xF0, 0xFE, 0xFE}));

  chunk[0] = 0x01;
  EXPECT_EQ(ComputeCode(chunk, 256), (Code{0xEA, 0xFF, 0x00}));
  chunk[0] = 0x00;
  chunk[255] = 0x80;
  EXPECT_EQ(ComputeCode(chunk, 256), (Code{0xD5, 0x00, 0xFF}));
}

TEST(EccCodeCompute, KnownCodesInBothForms) {
  alignas(4) BYTE chunk[256] = {};
  chunk[0] = 0x01;
  Code fast{};
  Code general{};
  EccCode::ComputeAlignedChunk(chunk, fast.data());
  EccCode::ComputeAnyLength(chunk, 256, general.data());
  EXPECT_EQ(fast, (Code{0xEA, 0xFF, 0x00}));
  EXPECT_EQ(general, fast);
  chunk[0] = 0x00;
  chunk[255] = 0x80;
  EccCode::ComputeAlignedChunk(chunk, fast.data());
  EccCode::ComputeAnyLength(chunk, 256, general.data());
  EXPECT_EQ(fast, (Code{0xD5, 0x00, 0xFF}));
  EXPECT_EQ(general, fast);
}

TEST(EccCodeCompute, MatchesTheDefinitionForEveryLength) {
  std::mt19937 random(5);
  const std::vector<BYTE> data = RandomBytes(random, 256, 30);
  for (DWORD length = 0; length <= 256; ++length) {
    EXPECT_EQ(ComputeCode(data.data(), length), ReferenceCode(data.data(), length)) << length;
  }
}

TEST(EccCodeCompute, FastAndGeneralFormsAgreeOnRandomChunks) {
  std::mt19937 random(1234);
  alignas(4) BYTE chunk[256];
  for (int round = 0; round < 20000; ++round) {
    // Vary the share of erased bytes from none to nearly all, as in real payloads.
    const std::vector<BYTE> bytes = RandomBytes(random, 256, static_cast<unsigned>(round % 100));
    std::memcpy(chunk, bytes.data(), sizeof chunk);
    Code fast{};
    Code general{};
    EccCode::ComputeAlignedChunk(chunk, fast.data());
    EccCode::ComputeAnyLength(chunk, 256, general.data());
    ASSERT_EQ(fast, general) << "round " << round;
    if (round % 50 == 0) {
      ASSERT_EQ(fast, ReferenceCode(chunk, 256)) << "round " << round;
    }
  }
}

TEST(EccCodeCompute, UnalignedChunksGiveTheSameCode) {
  std::mt19937 random(77);
  alignas(4) BYTE storage[260];
  const std::vector<BYTE> bytes = RandomBytes(random, 256, 50);
  Code expected = ReferenceCode(bytes.data(), 256);
  for (unsigned offset = 0; offset < 4; ++offset) {
    std::memcpy(storage + offset, bytes.data(), 256);
    EXPECT_EQ(ComputeCode(storage + offset, 256), expected) << offset;
  }
}

// Every single-bit flip of the data and of the stored code, over a payload chunk and a header.
class EccCodeSingleFlip : public testing::TestWithParam<DWORD> {};

TEST_P(EccCodeSingleFlip, EveryDataBitIsRepaired) {
  const DWORD length = GetParam();
  std::mt19937 random(length);
  const std::vector<BYTE> original = RandomBytes(random, length, 10);
  const Code good = ComputeCode(original.data(), length);
  for (DWORD bit = 0; bit < length * 8; ++bit) {
    std::vector<BYTE> data = original;
    data[bit / 8] ^= static_cast<BYTE>(1u << (bit % 8));
    Code stored = good;
    const Code computed = ComputeCode(data.data(), length);
    ASSERT_EQ(EccCode::Correct(data.data(), length, stored.data(), computed.data()),
              EccCode::kCorrected)
        << "bit " << bit;
    ASSERT_EQ(data, original) << "bit " << bit;
    ASSERT_EQ(stored, good) << "bit " << bit;
  }
}

TEST_P(EccCodeSingleFlip, EveryCodeBitIsReplacedByTheComputedCode) {
  const DWORD length = GetParam();
  std::mt19937 random(length + 1);
  const std::vector<BYTE> original = RandomBytes(random, length, 10);
  const Code good = ComputeCode(original.data(), length);
  for (unsigned bit = 0; bit < 24; ++bit) {
    std::vector<BYTE> data = original;
    Code stored = good;
    stored[bit / 8] ^= static_cast<BYTE>(1u << (bit % 8));
    ASSERT_EQ(EccCode::Correct(data.data(), length, stored.data(), good.data()),
              EccCode::kCorrected)
        << "bit " << bit;
    ASSERT_EQ(data, original) << "bit " << bit;
    ASSERT_EQ(stored, good) << "bit " << bit;
  }
}

INSTANTIATE_TEST_SUITE_P(ChunkAndHeader, EccCodeSingleFlip, testing::Values(256u, 12u));

TEST(EccCodeCorrect, AgreeingCodesChangeNothing) {
  BYTE data[3] = {'a', 'b', 'c'};
  Code stored = ComputeCode(data, 3);
  const Code computed = stored;
  EXPECT_EQ(EccCode::Correct(data, 3, stored.data(), computed.data()), EccCode::kCodesAgree);
  EXPECT_EQ(stored, computed);
  EXPECT_EQ(data[0], 'a');
}

void ExpectTwoFlipsUncorrectable(const std::vector<BYTE>& original, DWORD first, DWORD second) {
  const DWORD length = static_cast<DWORD>(original.size());
  const Code good = ComputeCode(original.data(), length);
  std::vector<BYTE> data = original;
  data[first / 8] ^= static_cast<BYTE>(1u << (first % 8));
  data[second / 8] ^= static_cast<BYTE>(1u << (second % 8));
  const std::vector<BYTE> flipped = data;
  Code stored = good;
  const Code computed = ComputeCode(data.data(), length);
  ASSERT_EQ(EccCode::Correct(data.data(), length, stored.data(), computed.data()),
            EccCode::kUncorrectable)
      << first << " " << second;
  ASSERT_EQ(data, flipped) << first << " " << second;
  ASSERT_EQ(stored, good) << first << " " << second;
}

TEST(EccCodeCorrect, TwoDataBitsInAHeaderAreUncorrectable) {
  std::mt19937 random(12);
  const std::vector<BYTE> header = RandomBytes(random, 12, 0);
  for (DWORD first = 0; first < 96; ++first) {
    for (DWORD second = first + 1; second < 96; ++second) {
      ExpectTwoFlipsUncorrectable(header, first, second);
    }
  }
}

TEST(EccCodeCorrect, TwoDataBitsInAChunkAreUncorrectable) {
  std::mt19937 random(256);
  const std::vector<BYTE> chunk = RandomBytes(random, 256, 20);
  // Every pair within one byte, and a broad sample of pairs in different bytes.
  for (DWORD byte = 0; byte < 256; ++byte) {
    for (DWORD a = 0; a < 8; ++a) {
      for (DWORD b = a + 1; b < 8; ++b)
        ExpectTwoFlipsUncorrectable(chunk, byte * 8 + a, byte * 8 + b);
    }
  }
  std::uniform_int_distribution<DWORD> bit(0, 2047);
  for (int i = 0; i < 20000; ++i) {
    const DWORD first = bit(random);
    const DWORD second = bit(random);
    if (first != second) {
      ExpectTwoFlipsUncorrectable(chunk, first, second);
    }
  }
}

TEST(EccCodeCorrect, TwoCodeBitsAreUncorrectable) {
  std::mt19937 random(3);
  std::vector<BYTE> data = RandomBytes(random, 256, 0);
  const std::vector<BYTE> original = data;
  const Code good = ComputeCode(data.data(), 256);
  for (unsigned first = 0; first < 24; ++first) {
    for (unsigned second = first + 1; second < 24; ++second) {
      Code stored = good;
      stored[first / 8] ^= static_cast<BYTE>(1u << (first % 8));
      stored[second / 8] ^= static_cast<BYTE>(1u << (second % 8));
      const Code damaged = stored;
      EXPECT_EQ(EccCode::Correct(data.data(), 256, stored.data(), good.data()),
                EccCode::kUncorrectable)
          << first << " " << second;
      EXPECT_EQ(stored, damaged) << first << " " << second;
      EXPECT_EQ(data, original) << first << " " << second;
    }
  }
}

// A header protects 12 bytes; a syndrome of a single data error in byte 200 must not reach
// past them. The data lives in an exactly sized heap block so that the sanitizer build would
// catch any stray write.
TEST(EccCodeCorrect, SyndromeNamingAByteBeyondTheLengthChangesNothing) {
  for (DWORD target : {12u, 13u, 200u, 255u}) {
    auto data = std::make_unique<BYTE[]>(12);
    for (DWORD i = 0; i < 12; ++i) data[i] = static_cast<BYTE>(i * 37);
    const Code computed = ComputeCode(data.get(), 12);
    // The syndrome of flipping bit 3 of byte `target`: columns of bit 3, lines of the index.
    Code stored = computed;
    stored[0] ^= static_cast<BYTE>(EccParityTable[1u << 3] >> 2);
    stored[1] ^= static_cast<BYTE>(target);
    stored[2] ^= static_cast<BYTE>(~target);
    const Code before = stored;
    EXPECT_EQ(EccCode::Correct(data.get(), 12, stored.data(), computed.data()),
              EccCode::kUncorrectable)
        << target;
    EXPECT_EQ(stored, before);
    for (DWORD i = 0; i < 12; ++i) EXPECT_EQ(data[i], static_cast<BYTE>(i * 37));
  }
}

}  // namespace

// RsaPublicOperation and the arithmetic beneath it, against OpenSSL's BN_mod_exp.
#include "signing/rsa_public_operation.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using namespace rsa_arithmetic;

struct BignumDeleter {
  void operator()(BIGNUM* value) const { BN_free(value); }
};
using Bignum = std::unique_ptr<BIGNUM, BignumDeleter>;
struct ContextDeleter {
  void operator()(BN_CTX* context) const { BN_CTX_free(context); }
};

Bignum NewBignum() {
  return Bignum(BN_new());
}

// A random odd modulus of exactly `bits` bits.
Bignum RandomModulus(int bits) {
  Bignum n = NewBignum();
  EXPECT_EQ(BN_rand(n.get(), bits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD), 1);
  return n;
}

// The key blob for n and e as the signature check builds it.
std::vector<BYTE> KeyBlob(const BIGNUM* n, DWORD e) {
  std::vector<BYTE> blob(KeyBlobSize, 0);
  const DWORD length = static_cast<DWORD>(BN_num_bytes(n));
  const DWORD fields[] = {RsaKeyBlobMagic, (length + 7) / 8 * 8 + 8, 8 * length, length - 1, e};
  std::memcpy(blob.data(), fields, sizeof fields);
  EXPECT_EQ(BN_bn2lebinpad(n, blob.data() + KeyBlobModulusOffset, static_cast<int>(length)),
            static_cast<int>(length));
  return blob;
}

std::vector<DWORD> Words(const BIGNUM* value, DWORD count = RsaValueBufferWords) {
  std::vector<DWORD> words(count, 0);
  EXPECT_GE(BN_bn2lebinpad(value, reinterpret_cast<unsigned char*>(words.data()),
                           static_cast<int>(count * 4)),
            0);
  return words;
}

Bignum FromWords(const DWORD* words, DWORD count) {
  return Bignum(BN_lebin2bn(reinterpret_cast<const unsigned char*>(words),
                            static_cast<int>(count * 4), nullptr));
}

// Runs RsaPublicOperation on s; returns null when it fails.
Bignum Operate(const BIGNUM* n, DWORD e, const BIGNUM* s) {
  const std::vector<BYTE> blob = KeyBlob(n, e);
  const std::vector<DWORD> input = Words(s);
  std::vector<DWORD> output(RsaValueBufferWords, 0xA5A5A5A5u);
  if (!RsaPublicOperation(blob.data(), input.data(), output.data())) return nullptr;
  const DWORD w = OperandWords(static_cast<DWORD>(BN_num_bytes(n)));
  return FromWords(output.data(), w);
}

Bignum Expected(const BIGNUM* n, DWORD e, const BIGNUM* s) {
  std::unique_ptr<BN_CTX, ContextDeleter> context(BN_CTX_new());
  Bignum exponent = NewBignum();
  BN_set_word(exponent.get(), e);
  Bignum result = NewBignum();
  EXPECT_EQ(BN_mod_exp(result.get(), s, exponent.get(), n, context.get()), 1);
  return result;
}

Bignum Word(BN_ULONG value) {
  Bignum result = NewBignum();
  BN_set_word(result.get(), value);
  return result;
}

constexpr DWORD Exponents[] = {1, 3, 65537, 0x80000001u};

TEST(RsaPublicOperation, MatchesOpenSslForRandomValues) {
  // The odd sizes give moduli whose top word has bit 31 clear (and the shifted M).
  for (int bits : {512, 1024, 1536, 2048, 1000, 1023, 2047, 520, 33, 64}) {
    for (int round = 0; round < 6; ++round) {
      Bignum n = RandomModulus(bits);
      Bignum s = NewBignum();
      ASSERT_EQ(BN_rand_range(s.get(), n.get()), 1);
      for (DWORD e : Exponents) {
        Bignum actual = Operate(n.get(), e, s.get());
        ASSERT_NE(actual, nullptr) << bits << " bits, e = " << e;
        EXPECT_EQ(BN_cmp(actual.get(), Expected(n.get(), e, s.get()).get()), 0)
            << bits << " bits, e = " << e;
      }
    }
  }
}

TEST(RsaPublicOperation, SmallValuesAndTheTopOfTheRange) {
  Bignum n = RandomModulus(1024);
  Bignum nMinusOne(BN_dup(n.get()));
  BN_sub_word(nMinusOne.get(), 1);
  for (DWORD e : Exponents) {
    EXPECT_TRUE(BN_is_zero(Operate(n.get(), e, Word(0).get()).get()));
    EXPECT_TRUE(BN_is_one(Operate(n.get(), e, Word(1).get()).get()));
    // n - 1 is -1 modulo n: odd powers give it back.
    EXPECT_EQ(BN_cmp(Operate(n.get(), e, nMinusOne.get()).get(), nMinusOne.get()), 0);
  }
}

TEST(RsaPublicOperation, RefusesValuesNotBelowTheModulus) {
  Bignum n = RandomModulus(1024);
  EXPECT_EQ(Operate(n.get(), 65537, n.get()), nullptr);
  Bignum above(BN_dup(n.get()));
  BN_add_word(above.get(), 2);
  EXPECT_EQ(Operate(n.get(), 65537, above.get()), nullptr);
}

TEST(RsaPublicOperation, HandlesTheLargestModulusAndRefusesLarger) {
  Bignum n2048 = RandomModulus(2048);
  Bignum s = NewBignum();
  BN_rand_range(s.get(), n2048.get());
  Bignum result = Operate(n2048.get(), 65537, s.get());
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(BN_cmp(result.get(), Expected(n2048.get(), 65537, s.get()).get()), 0);

  // A 3072-bit modulus fits the blob (k = 96) but not the arithmetic.
  Bignum n3072 = RandomModulus(3072);
  BN_rand_range(s.get(), n3072.get());
  EXPECT_EQ(Operate(n3072.get(), 65537, s.get()), nullptr);
}

TEST(RsaPublicOperation, RefusesAWrongMagic) {
  Bignum n = RandomModulus(1024);
  std::vector<BYTE> blob = KeyBlob(n.get(), 65537);
  blob[0] ^= 1;
  std::vector<DWORD> input(RsaValueBufferWords, 0);
  input[0] = 5;
  std::vector<DWORD> output(RsaValueBufferWords, 0);
  EXPECT_FALSE(RsaPublicOperation(blob.data(), input.data(), output.data()));
}

TEST(RsaPublicOperation, ExponentZeroGivesOne) {
  Bignum n = RandomModulus(512);
  Bignum s = NewBignum();
  BN_rand_range(s.get(), n.get());
  Bignum result = Operate(n.get(), 0, s.get());
  ASSERT_NE(result, nullptr);
  EXPECT_TRUE(BN_is_one(result.get()));
}

// A power of two leaves r = 0, the one modulus whose fold cannot use the complement of r.
TEST(RsaPublicOperation, MatchesOpenSslForPowersOfTwo) {
  for (int bit : {31, 32, 63, 1023, 2047}) {
    Bignum n = NewBignum();
    ASSERT_EQ(BN_set_bit(n.get(), bit), 1);
    Bignum s = NewBignum();
    ASSERT_EQ(BN_rand_range(s.get(), n.get()), 1);
    for (DWORD e : Exponents) {
      Bignum actual = Operate(n.get(), e, s.get());
      ASSERT_NE(actual, nullptr) << bit << ", e = " << e;
      EXPECT_EQ(BN_cmp(actual.get(), Expected(n.get(), e, s.get()).get()), 0) << bit << ", e = " << e;
    }
  }
}

// A plain right-to-left square-and-multiply over the module's own MulMod, as a second
// reference for the windowed exponentiation.
TEST(ModExp, WindowsAgreeWithPlainSquareAndMultiply) {
  for (int bits : {1024, 1000}) {
    Bignum n = RandomModulus(bits);
    Bignum s = NewBignum();
    BN_rand_range(s.get(), n.get());
    const DWORD w = OperandWords(static_cast<DWORD>(BN_num_bytes(n.get())));
    const std::vector<DWORD> nWords = Words(n.get(), w);
    const std::vector<DWORD> sWords = Words(s.get(), w);
    for (DWORD e : {65537u, 0x80000001u, 0xFFFFFFFFu, 0x00030000u, 0x0005A5A5u, 2u, 0x40000u}) {
      std::vector<DWORD> exponent(w, 0);
      exponent[0] = e;
      std::vector<DWORD> windowed(w, 0);
      ASSERT_TRUE(ModExp(windowed.data(), sWords.data(), exponent.data(), nWords.data(), w));
      EXPECT_EQ(BN_cmp(FromWords(windowed.data(), w).get(), Expected(n.get(), e, s.get()).get()), 0)
          << std::hex << e;
    }
  }
}

TEST(Remainder, MatchesOpenSslIncludingDivisorsWithAZeroSecondWord) {
  std::unique_ptr<BN_CTX, ContextDeleter> context(BN_CTX_new());
  for (int round = 0; round < 200; ++round) {
    const int dividendBits = 32 + round * 7 % 4000;
    const int divisorBits = 1 + round * 13 % 2000;
    Bignum a = NewBignum();
    Bignum b = NewBignum();
    BN_rand(a.get(), dividendBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
    BN_rand(b.get(), divisorBits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY);
    std::vector<DWORD> bWords = Words(b.get(), MaxOperandWords);
    if (round % 3 == 0 && divisorBits > 64) {
      // Second-highest word zero: the one-word estimate with a divisor that is not
      // normalised when its top bit is clear.
      const DWORD d = SignificantLength(bWords.data(), MaxOperandWords);
      bWords[d - 2] = 0;
      bWords[d - 1] |= 0x70000000u;
      b = FromWords(bWords.data(), MaxOperandWords);
    }
    const std::vector<DWORD> aWords = Words(a.get(), MaxOperandWords);
    std::vector<DWORD> result(MaxOperandWords, 0xFFFFFFFFu);
    ASSERT_TRUE(Remainder(aWords.data(), MaxOperandWords, bWords.data(), MaxOperandWords,
                          result.data(), MaxOperandWords));
    Bignum expected = NewBignum();
    BN_mod(expected.get(), a.get(), b.get(), context.get());
    EXPECT_EQ(BN_cmp(FromWords(result.data(), MaxOperandWords).get(), expected.get()), 0) << round;
  }
}

TEST(Remainder, RefusesAZeroDivisor) {
  const DWORD dividend[2] = {5, 7};
  const DWORD zero[2] = {0, 0};
  DWORD result[2];
  EXPECT_FALSE(Remainder(dividend, 2, zero, 2, result, 2));
}

TEST(InitReduction, RefusesZeroTopWordAndTooManyWords) {
  static ReductionContext context;
  std::vector<DWORD> n(MaxModulusWords + 1, 0xFFFFFFFFu);
  EXPECT_TRUE(InitReduction(context, n.data(), MaxModulusWords));
  EXPECT_FALSE(InitReduction(context, n.data(), MaxModulusWords + 1));
  EXPECT_FALSE(InitReduction(context, n.data(), 0));
  n[3] = 0;
  EXPECT_FALSE(InitReduction(context, n.data(), 4));
}

// Products of values near 2^(32k) exercise the borrow and wrap paths of the fold.
TEST(MulMod, ResultIsCongruentForExtremeOperands) {
  static ReductionContext context;
  std::unique_ptr<BN_CTX, ContextDeleter> bnContext(BN_CTX_new());
  for (int bits : {1024, 1000, 2048, 32, 40}) {
    for (int round = 0; round < 20; ++round) {
      Bignum n = RandomModulus(bits);
      const DWORD k = static_cast<DWORD>((bits + 31) / 32);
      const std::vector<DWORD> nWords = Words(n.get(), k);
      ASSERT_TRUE(InitReduction(context, nWords.data(), k));
      std::vector<DWORD> a(k, 0xFFFFFFFFu);
      std::vector<DWORD> b(k, 0xFFFFFFFFu);
      if (round % 2 == 1) {
        Bignum randomA = NewBignum();
        BN_rand(randomA.get(), 32 * static_cast<int>(k), BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
        a = Words(randomA.get(), k);
      }
      if (round % 4 >= 2) b[0] = static_cast<DWORD>(round);
      std::vector<DWORD> product(k);
      std::vector<DWORD> square(k);
      MulMod(context, product.data(), a.data(), b.data());
      SqrMod(context, square.data(), a.data());

      Bignum expected = NewBignum();
      BN_mod_mul(expected.get(), FromWords(a.data(), k).get(), FromWords(b.data(), k).get(),
                 n.get(), bnContext.get());
      Bignum reduced = NewBignum();
      BN_nnmod(reduced.get(), FromWords(product.data(), k).get(), n.get(), bnContext.get());
      EXPECT_EQ(BN_cmp(reduced.get(), expected.get()), 0) << bits << " " << round;

      BN_mod_sqr(expected.get(), FromWords(a.data(), k).get(), n.get(), bnContext.get());
      BN_nnmod(reduced.get(), FromWords(square.data(), k).get(), n.get(), bnContext.get());
      EXPECT_EQ(BN_cmp(reduced.get(), expected.get()), 0) << bits << " " << round;
    }
  }
}

TEST(WordPrimitives, CarriesBorrowsAndLengths) {
  const DWORD ones[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  const DWORD one[3] = {1, 0, 0};
  DWORD sum[3];
  EXPECT_EQ(Add(sum, ones, one, 3), 1u);
  EXPECT_EQ(sum[0] | sum[1] | sum[2], 0u);
  DWORD difference[3];
  EXPECT_EQ(Subtract(difference, one, ones, 3), 1u);
  EXPECT_EQ(difference[0], 2u);
  DWORD target[3] = {0, 0, 0};
  EXPECT_EQ(MultiplySubtract(target, ones, 3, 0xFFFFFFFFu), 0xFFFFFFFFu);
  DWORD accumulate[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  EXPECT_EQ(MultiplyAdd(accumulate, ones, 3, 0xFFFFFFFFu), 0xFFFFFFFFu);
  EXPECT_EQ(Compare(ones, one, 3), 1);
  EXPECT_EQ(Compare(one, ones, 3), -1);
  EXPECT_EQ(Compare(one, one, 3), 0);
  EXPECT_EQ(SignificantLength(one, 3), 1u);
  const DWORD zero[2] = {0, 0};
  EXPECT_EQ(SignificantLength(zero, 2), 1u);
  EXPECT_EQ(BitLength(zero, 2), 0u);
  EXPECT_EQ(BitLength(ones, 3), 96u);
  const DWORD top[2] = {0, 0x10};
  EXPECT_EQ(BitLength(top, 2), 37u);
}

}  // namespace

namespace {

// The blob's bit length decides how many modulus words are read; one that the blob's
// builder never writes must not make the operation read past the blob.
TEST(RsaPublicOperation, RefusesBitLengthsBeyondTheBlob) {
  std::vector<BYTE> blob(KeyBlobSize, 0xFF);
  const DWORD fields[] = {RsaKeyBlobMagic, 0, 0, 0, 3};
  std::memcpy(blob.data(), fields, sizeof fields);
  std::vector<DWORD> input(RsaValueBufferWords, 0);
  std::vector<DWORD> output(RsaValueBufferWords, 0);
  for (DWORD bits : {0u, 8u * 513, 0xFFFFFFF8u}) {
    std::memcpy(blob.data() + KeyBlobBitLengthOffset, &bits, sizeof bits);
    EXPECT_FALSE(RsaPublicOperation(blob.data(), input.data(), output.data())) << bits;
  }
}

}  // namespace

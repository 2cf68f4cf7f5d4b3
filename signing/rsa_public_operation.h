// RSA public-key arithmetic: m = s^e mod n over fixed arrays of 32-bit words.
//
// Numbers are arrays of unsigned 32-bit words, least significant word first, of a length the
// caller states. The significant length of a number is the index of its highest nonzero word
// plus 1, and 1 for zero. Byte strings least significant byte first read directly as words on
// a little-endian machine, which is how the signature check hands values over.
//
// Moduli of up to 64 words (2048 bits) and one-word exponents are supported. Every work area
// is static and sized for the largest case; nothing is allocated, nothing survives a call,
// and calls must not overlap (one worker thread uses this).
#pragma once

#include <bit>

#include "platform/types.h"

// The RsaPublicKey blob that the signature check builds from a SubjectPublicKeyInfo; all
// fields little-endian:
//
//   offset 0   4    magic "RSA1" (0x31415352)
//   offset 4   4    key length: the modulus length L rounded up to a multiple of 8, plus 8
//   offset 8   4    bit length: 8 * L
//   offset 12  4    data length: L - 1
//   offset 16  4    public exponent
//   offset 20  528  modulus, least significant byte first, zero beyond its L bytes
inline constexpr DWORD RsaKeyBlobMagic = 0x31415352;
inline constexpr DWORD KeyBlobMagicOffset = 0;
inline constexpr DWORD KeyBlobKeyLengthOffset = 4;
inline constexpr DWORD KeyBlobBitLengthOffset = 8;
inline constexpr DWORD KeyBlobDataLengthOffset = 12;
inline constexpr DWORD KeyBlobExponentOffset = 16;
inline constexpr DWORD KeyBlobModulusOffset = 20;

inline constexpr DWORD MaxModulusBytes = 512;
// Input and output values, and the modulus field of the blob.
inline constexpr DWORD RsaValueBufferSize = 528;
inline constexpr DWORD RsaValueBufferWords = RsaValueBufferSize / 4;
inline constexpr DWORD KeyBlobSize = KeyBlobModulusOffset + RsaValueBufferSize;
// k: the significant words of the modulus the arithmetic accepts.
inline constexpr DWORD MaxModulusWords = 64;
// w = 2 * (ceil(L / 8) + 1): the operand width in words, the key length field / 4.
constexpr DWORD OperandWords(DWORD modulusBytes) {
  return 2 * ((modulusBytes + 7) / 8 + 1);
}
inline constexpr DWORD MaxOperandWords = OperandWords(MaxModulusBytes);

static_assert(KeyBlobSize == 548);
static_assert(MaxOperandWords == 130);
static_assert(MaxOperandWords <= RsaValueBufferWords, "the value buffers hold every operand");
static_assert(KeyBlobModulusOffset + 4 * MaxOperandWords <= KeyBlobSize,
              "w modulus words are read from the blob");
static_assert(OperandWords(128) == 34, "34 words for a 1024-bit key");
static_assert(std::endian::native == std::endian::little,
              "byte strings are read as words in place");

// Computes output = s^e mod n for the key blob's n and e and the w-word input s (w from the
// blob's bit length). Returns nonzero on success, with m in the first w words of output, and 0
// when the magic is wrong, s >= n, n is zero or has more than 64 significant words, or a
// division by zero would be needed (output then undefined). input and output hold
// RsaValueBufferWords words; keyBlob holds KeyBlobSize bytes.
[[nodiscard]] BOOL RsaPublicOperation(const BYTE* keyBlob, const DWORD* input, DWORD* output);

// The operations beneath RsaPublicOperation, declared for their tests.
namespace rsa_arithmetic {

// n, its left-aligned multiple M, r = 2^(32(k+1)) mod n and n - r, for one modulus, and the
// complements 2^(32k) - (n - r) and 2^(32k) - r that let ReduceProduct fold a word with one
// multiply-add instead of a multiply-subtract (the second only when r is not 0).
struct ReductionContext {
  DWORD k;
  DWORD modulus[MaxModulusWords];
  DWORD shiftedModulus[MaxModulusWords];  // M: bit 31 of word k - 1 set
  DWORD r[MaxModulusWords];
  DWORD modulusMinusR[MaxModulusWords];
  DWORD complementOfModulusMinusR[MaxModulusWords];
  DWORD complementOfR[MaxModulusWords];
  bool rIsZero;
  DWORD product[2 * MaxModulusWords];
};

// output (w words) = base^exponent mod modulus, all w words; base below the modulus.
[[nodiscard]] BOOL ModExp(DWORD* output, const DWORD* base, const DWORD* exponent,
                          const DWORD* modulus, DWORD w);
// Prepares context for the k-word modulus n. Fails unless 1 <= k <= 64 and n[k-1] != 0.
[[nodiscard]] BOOL InitReduction(ReductionContext& context, const DWORD* n, DWORD k);
// result (k words) = a * b, or a * a, reduced by ReduceProduct; result may alias a or b.
void MulMod(ReductionContext& context, DWORD* result, const DWORD* a, const DWORD* b);
void SqrMod(ReductionContext& context, DWORD* result, const DWORD* a);
// Folds the 2k-word context.product into its low k words: below 2^(32k) and congruent to
// the product modulo n, not necessarily below n.
void ReduceProduct(ReductionContext& context);
// result (resultLength words) = dividend mod divisor. Fails when the divisor is zero or a
// significant length exceeds MaxOperandWords. result may alias neither input.
[[nodiscard]] BOOL Remainder(const DWORD* dividend, DWORD dividendLength, const DWORD* divisor,
                             DWORD divisorLength, DWORD* result, DWORD resultLength);

// Word primitives. Lengths in words; results may alias the first operand.
DWORD Add(DWORD* result, const DWORD* a, const DWORD* b, DWORD length);       // carry out
DWORD Subtract(DWORD* result, const DWORD* a, const DWORD* b, DWORD length);  // borrow out
// result (length + 1 words) = a * word.
void MultiplyWord(DWORD* result, const DWORD* a, DWORD length, DWORD word);
// target += a * word over length words; returns the carry word.
DWORD MultiplyAdd(DWORD* target, const DWORD* a, DWORD length, DWORD word);
// target -= a * word over length words; returns the borrow word.
DWORD MultiplySubtract(DWORD* target, const DWORD* a, DWORD length, DWORD word);
int Compare(const DWORD* a, const DWORD* b, DWORD length);  // -1, 0 or 1
DWORD BitLength(const DWORD* a, DWORD length);
DWORD SignificantLength(const DWORD* a, DWORD length);

}  // namespace rsa_arithmetic

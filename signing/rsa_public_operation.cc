#include "signing/rsa_public_operation.h"

#include <cstdint>
#include <cstring>

namespace rsa_arithmetic {
namespace {

using DoubleWord = std::uint64_t;
constexpr DWORD WordMax = 0xFFFFFFFFu;

// The process-wide work areas, sized for the largest operands.
DWORD ExponentWords[MaxOperandWords];
DWORD ModulusWords[MaxOperandWords];
DWORD Accumulator[MaxModulusWords];
// Odd powers for the exponent windows: s, and s^3 with 2-bit windows.
DWORD PowerTable[2][MaxModulusWords];
ReductionContext Context;
// Remainder's copies: the dividend and the divisor each with a zero word above, and q * B.
DWORD DividendCopy[MaxOperandWords + 1];
DWORD DivisorCopy[MaxOperandWords + 1];
DWORD QuotientProduct[MaxOperandWords + 1];
// 2^(32(k+1)) as a (k+2)-word number, for r.
DWORD PowerOfRadix[MaxModulusWords + 2];

DWORD Low(DoubleWord value) {
  return static_cast<DWORD>(value);
}
DWORD High(DoubleWord value) {
  return static_cast<DWORD>(value >> 32);
}

// floor((x1 * 2^64 + x0 * 2^32) / (y1 * 2^32 + y0)) for (x1, x0) < (y1, y0), one quotient bit
// per step: the remainder starts as (x1, x0) and takes in one zero bit at a time.
DWORD TwoWordQuotient(DWORD x1, DWORD x0, DWORD y1, DWORD y0) {
  const DoubleWord divisor = (static_cast<DoubleWord>(y1) << 32) | y0;
  DoubleWord remainder = (static_cast<DoubleWord>(x1) << 32) | x0;
  DWORD quotient = 0;
  for (int step = 0; step < 32; ++step) {
    const bool overflow = (remainder >> 63) != 0;
    remainder <<= 1;
    quotient <<= 1;
    if (overflow || remainder >= divisor) {
      remainder -= divisor;
      quotient |= 1;
    }
  }
  return quotient;
}

void Copy(DWORD* target, const DWORD* source, DWORD length) {
  std::memmove(target, source, length * sizeof(DWORD));
}

void Zero(DWORD* target, DWORD length) {
  std::memset(target, 0, length * sizeof(DWORD));
}

// result = 2^(32 length) - a, for a nonzero a.
void Complement(DWORD* result, const DWORD* a, DWORD length) {
  DWORD borrow = 0;
  for (DWORD i = 0; i < length; ++i) {
    const DWORD word = a[i];
    result[i] = 0u - word - borrow;
    borrow = (word | borrow) != 0 ? 1 : 0;
  }
}

// Folds word x of weight 2^(32k) into the k words at window: window - x * value, where
// complement = 2^(32k) - value, by window + x * complement = (window - x * value) + x * 2^(32k).
// Returns the borrow word of the subtraction, x less the carry word of the addition.
DWORD FoldSubtract(DWORD* window, const DWORD* complement, DWORD k, DWORD x) {
  return x - MultiplyAdd(window, complement, k, x);
}

}  // namespace

DWORD Add(DWORD* result, const DWORD* a, const DWORD* b, DWORD length) {
  DoubleWord carry = 0;
  for (DWORD i = 0; i < length; ++i) {
    carry += static_cast<DoubleWord>(a[i]) + b[i];
    result[i] = Low(carry);
    carry >>= 32;
  }
  return static_cast<DWORD>(carry);
}

DWORD Subtract(DWORD* result, const DWORD* a, const DWORD* b, DWORD length) {
  DWORD borrow = 0;
  for (DWORD i = 0; i < length; ++i) {
    const DoubleWord difference = static_cast<DoubleWord>(a[i]) - b[i] - borrow;
    result[i] = Low(difference);
    borrow = High(difference) != 0 ? 1 : 0;
  }
  return borrow;
}

void MultiplyWord(DWORD* result, const DWORD* a, DWORD length, DWORD word) {
  DWORD carry = 0;
  for (DWORD i = 0; i < length; ++i) {
    const DoubleWord product = static_cast<DoubleWord>(a[i]) * word + carry;
    result[i] = Low(product);
    carry = High(product);
  }
  result[length] = carry;
}

DWORD MultiplyAdd(DWORD* target, const DWORD* a, DWORD length, DWORD word) {
  // The hot loop of every product and reduction. Each word is target + carry + a * word, which
  // never exceeds 64 bits: the carry is added first, its carry bit becomes the high word, and
  // the product is accumulated on top.
  DWORD carry = 0;
#if defined(__arm__) && !defined(__thumb__)
  // On the device's ARM core that is three instructions a word (adds, adc from a zero register,
  // umlal), with three words fetched and stored by one load-multiple and one store-multiple.
  // The compiler's own loop needs seven.
  if (DWORD passes = length / 3; passes != 0) {
    const DWORD zero = 0;
    asm volatile(
        "1:\n\t"
        "ldmia %[a]!, {r4, r5, r6}\n\t"
        "ldmia %[t], {r7, r8, r9}\n\t"
        "adds r7, r7, %[c]\n\t"
        "adc %[c], %[z], #0\n\t"
        "umlal r7, %[c], r4, %[w]\n\t"
        "adds r8, r8, %[c]\n\t"
        "adc %[c], %[z], #0\n\t"
        "umlal r8, %[c], r5, %[w]\n\t"
        "adds r9, r9, %[c]\n\t"
        "adc %[c], %[z], #0\n\t"
        "umlal r9, %[c], r6, %[w]\n\t"
        "stmia %[t]!, {r7, r8, r9}\n\t"
        "subs %[n], %[n], #1\n\t"
        "bne 1b"
        : [t] "+&r"(target), [a] "+&r"(a), [n] "+&r"(passes), [c] "+&r"(carry)
        : [w] "r"(word), [z] "r"(zero)
        : "r4", "r5", "r6", "r7", "r8", "r9", "cc", "memory");
    length %= 3;
  }
#endif
  for (DWORD i = 0; i < length; ++i) {
    DoubleWord sum = static_cast<DoubleWord>(target[i]) + carry;
    sum += static_cast<DoubleWord>(a[i]) * word;
    target[i] = Low(sum);
    carry = High(sum);
  }
  return carry;
}

DWORD MultiplySubtract(DWORD* target, const DWORD* a, DWORD length, DWORD word) {
  // The products do not depend on one another; only a small signed carry runs from column
  // to column, which keeps the chain short. Column i takes the low half of a[i] * word and
  // the high half of the product before it. (ReduceProduct's folds use MultiplyAdd instead;
  // this serves its quotient step and the folds by r = 0.)
  std::int64_t carry = 0;
  DWORD previousHigh = 0;
  for (DWORD i = 0; i < length; ++i) {
    const DoubleWord product = static_cast<DoubleWord>(a[i]) * word;
    const std::int64_t column = static_cast<std::int64_t>(target[i]) -
                                static_cast<std::int64_t>(Low(product)) - previousHigh + carry;
    target[i] = static_cast<DWORD>(column);
    carry = column >> 32;  // -2, -1 or 0
    previousHigh = High(product);
  }
  // What is left above the top word is carry - previousHigh, never below -word.
  return static_cast<DWORD>(static_cast<std::int64_t>(previousHigh) - carry);
}

int Compare(const DWORD* a, const DWORD* b, DWORD length) {
  for (DWORD i = length; i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

DWORD SignificantLength(const DWORD* a, DWORD length) {
  DWORD significant = length;
  while (significant > 1 && a[significant - 1] == 0) --significant;
  return significant == 0 ? 1 : significant;
}

DWORD BitLength(const DWORD* a, DWORD length) {
  for (DWORD i = length; i-- > 0;) {
    if (a[i] != 0) return 32 * i + static_cast<DWORD>(std::bit_width(a[i]));
  }
  return 0;
}

BOOL Remainder(const DWORD* dividend, DWORD dividendLength, const DWORD* divisor,
               DWORD divisorLength, DWORD* result, DWORD resultLength) {
  if (divisorLength == 0) return FALSE;
  const DWORD d = SignificantLength(divisor, divisorLength);
  if (d == 1 && divisor[0] == 0) return FALSE;
  const DWORD a = dividendLength == 0 ? 0 : SignificantLength(dividend, dividendLength);
  if (a > MaxOperandWords || d > MaxOperandWords) return FALSE;
  if (a < d) {
    const DWORD kept = a < resultLength ? a : resultLength;
    Copy(result, dividend, kept);
    Zero(result + kept, resultLength - kept);
    return TRUE;
  }

  DWORD* const y = DivisorCopy;
  DWORD* const x = DividendCopy;
  Copy(y, divisor, d);
  y[d] = 0;
  Copy(x, dividend, a);
  x[a] = 0;
  const DWORD y1 = y[d - 1];
  const DWORD y0 = d >= 2 ? y[d - 2] : 0;
  const bool oneWordEstimate = y0 == 0 || (y1 & 0x80000000u) != 0;

  for (DWORD p = a - d + 1; p-- > 0;) {
    DWORD* const window = x + p;  // d + 1 words
    do {
      const DWORD x1 = window[d];
      const DWORD x0 = window[d - 1];
      DWORD q;
      if (oneWordEstimate) {
        q = x1 < y1 ? Low(((static_cast<DoubleWord>(x1) << 32) | x0) / y1) : WordMax;
      } else if (x1 > y1 || (x1 == y1 && x0 >= y0)) {
        q = WordMax;
      } else {
        q = TwoWordQuotient(x1, x0, y1, y0);
      }
      if (q == 0) q = 1;
      MultiplyWord(QuotientProduct, y, d, q);
      while (Compare(QuotientProduct, window, d + 1) > 0) {
        Subtract(QuotientProduct, QuotientProduct, y, d + 1);
      }
      Subtract(window, window, QuotientProduct, d + 1);
    } while (Compare(window, y, d + 1) >= 0);
  }

  const DWORD kept = d < resultLength ? d : resultLength;
  Copy(result, x, kept);
  Zero(result + kept, resultLength - kept);
  return TRUE;
}

BOOL InitReduction(ReductionContext& context, const DWORD* n, DWORD k) {
  if (k < 1 || k > MaxModulusWords || n[k - 1] == 0) return FALSE;
  context.k = k;
  Copy(context.modulus, n, k);

  // M = n << shift, shift chosen to set bit 31 of the top word; it cannot carry out.
  const int shift = std::countl_zero(n[k - 1]);
  if (shift == 0) {
    Copy(context.shiftedModulus, n, k);
  } else {
    for (DWORD i = k; i-- > 0;) {
      const DWORD below = i > 0 ? n[i - 1] : 0;
      context.shiftedModulus[i] = (n[i] << shift) | (below >> (32 - shift));
    }
  }

  Zero(PowerOfRadix, k + 2);
  PowerOfRadix[k + 1] = 1;
  if (!Remainder(PowerOfRadix, k + 2, n, k, context.r, k)) return FALSE;
  Subtract(context.modulusMinusR, n, context.r, k);
  // n - r is never 0 (r < n); r is 0 only for a power of two.
  Complement(context.complementOfModulusMinusR, context.modulusMinusR, k);
  context.rIsZero = SignificantLength(context.r, k) == 1 && context.r[0] == 0;
  if (!context.rIsZero) Complement(context.complementOfR, context.r, k);
  return TRUE;
}

void ReduceProduct(ReductionContext& context) {
  const DWORD k = context.k;
  DWORD* const t = context.product;
  const DWORD* const m = context.shiftedModulus;

  // 1. Fold words k+1 .. 2k-1 down, from the top: w * 2^(32(j+k+1)) is congruent to
  //    -w * (n - r) * 2^(32j), and a word that the pending borrow makes negative to
  //    -(borrow - w) * r * 2^(32j). Each fold leaves its borrow on word j + k. The
  //    subtractions run as multiply-adds of the complements (FoldSubtract); with r = 0 the
  //    second kind subtracts nothing.
  DWORD pending = 0;
  for (DWORD j = k - 1; j-- > 0;) {
    const DWORD top = t[j + k + 1];
    if (top >= pending) {
      pending = FoldSubtract(t + j, context.complementOfModulusMinusR, k, top - pending);
    } else if (!context.rIsZero) {
      pending = FoldSubtract(t + j, context.complementOfR, k, pending - top);
    } else {
      pending = MultiplySubtract(t + j, context.r, k, pending - top);
    }
  }

  // 2. Settle the last borrow on word k, then bring words 1 .. k below M (M * 2^32 is a
  //    multiple of n).
  const bool negative = t[k] < pending;
  t[k] -= pending;
  if (negative) {
    while (Add(t + 1, t + 1, m, k) == 0) {
    }
  } else if (Compare(t + 1, m, k) >= 0) {
    Subtract(t + 1, t + 1, m, k);
  }

  // 3. One quotient word against M: the estimate from the top words never falls short, so
  //    the difference is at most a few M below zero and is corrected by adding M back.
  const DWORD q = t[k] < m[k - 1]
                      ? Low(((static_cast<DoubleWord>(t[k]) << 32) | t[k - 1]) / m[k - 1])
                      : WordMax;
  t[k] -= MultiplySubtract(t, m, k, q);
  while (t[k] != 0) t[k] += Add(t, t, m, k);
}

// Both products are formed row by row with MultiplyAdd, the loop the reduction runs too.
void MulMod(ReductionContext& context, DWORD* result, const DWORD* a, const DWORD* b) {
  const DWORD k = context.k;
  DWORD* const product = context.product;
  MultiplyWord(product, b, k, a[0]);
  for (DWORD i = 1; i < k; ++i) product[i + k] = MultiplyAdd(product + i, b, k, a[i]);
  ReduceProduct(context);
  Copy(result, product, k);
}

void SqrMod(ReductionContext& context, DWORD* result, const DWORD* a) {
  const DWORD k = context.k;
  DWORD* const product = context.product;
  // Each cross product a[i] * a[j] (i < j) once, row by row: row i adds a[i] * a[i+1 .. k-1]
  // at word 2i + 1 and ends on word i + k, which no earlier row reached.
  product[0] = 0;
  product[2 * k - 1] = 0;
  if (k > 1) {
    MultiplyWord(product + 1, a + 1, k - 1, a[0]);
    for (DWORD i = 1; i + 1 < k; ++i) {
      product[i + k] = MultiplyAdd(product + 2 * i + 1, a + i + 1, k - 1 - i, a[i]);
    }
  }
  // Then the sum doubled and the square of every single word added, two words at a time.
  DWORD shiftedOut = 0;
  DWORD carry = 0;
  for (DWORD i = 0; i < k; ++i) {
    const DWORD low = product[2 * i];
    const DWORD high = product[2 * i + 1];
    const DoubleWord square = static_cast<DoubleWord>(a[i]) * a[i];
    const DoubleWord lowSum = static_cast<DoubleWord>((low << 1) | shiftedOut) + Low(square) + carry;
    const DoubleWord highSum =
        static_cast<DoubleWord>((high << 1) | (low >> 31)) + High(square) + High(lowSum);
    shiftedOut = high >> 31;
    product[2 * i] = Low(lowSum);
    product[2 * i + 1] = Low(highSum);
    carry = High(highSum);
  }
  ReduceProduct(context);
  Copy(result, product, k);
}

BOOL ModExp(DWORD* output, const DWORD* base, const DWORD* exponent, const DWORD* modulus,
            DWORD w) {
  const DWORD bits = BitLength(exponent, w);
  if (bits == 0) {
    Zero(output, w);
    output[0] = 1;
    return TRUE;
  }
  if (bits > 32) return FALSE;
  const DWORD e = exponent[0];
  const DWORD k = SignificantLength(modulus, w);
  if (!InitReduction(Context, modulus, k)) return FALSE;

  // Sliding windows over e, left to right: 1 bit wide for exponents of up to 17 bits (65537
  // is then plain square-and-multiply), 2 bits wide above, with the odd powers s and s^3.
  const DWORD windowLimit = bits <= 17 ? 1 : 2;
  Copy(PowerTable[0], base, k);
  if (windowLimit == 2) {
    SqrMod(Context, PowerTable[1], PowerTable[0]);
    MulMod(Context, PowerTable[1], PowerTable[0], PowerTable[1]);
  }

  bool first = true;
  DWORD previousClose = bits - 1;
  DWORD window = 0;
  for (DWORD bit = bits; bit-- > 0;) {
    window = (window << 1) | ((e >> bit) & 1);
    if (window < windowLimit && bit != 0) continue;
    // The window closes: strip its trailing zeros, which become squarings after the multiply.
    const DWORD trailing = window == 0 ? 0 : static_cast<DWORD>(std::countr_zero(window));
    window >>= trailing;
    const DWORD* const power = window == 0 ? nullptr : PowerTable[(window + 1) / 2 - 1];
    if (first) {
      Copy(Accumulator, power, k);
      first = false;
    } else {
      for (DWORD i = 0; i < previousClose - bit - trailing; ++i) {
        SqrMod(Context, Accumulator, Accumulator);
      }
      if (power != nullptr) MulMod(Context, Accumulator, Accumulator, power);
    }
    for (DWORD i = 0; i < trailing; ++i) SqrMod(Context, Accumulator, Accumulator);
    previousClose = bit;
    window = 0;
  }

  // The accumulator is below 2^(32k) but possibly not below n.
  return Remainder(Accumulator, k, Context.modulus, k, output, w);
}

}  // namespace rsa_arithmetic

BOOL RsaPublicOperation(const BYTE* keyBlob, const DWORD* input, DWORD* output) {
  using namespace rsa_arithmetic;
  DWORD magic;
  DWORD bitLength;
  std::memcpy(&magic, keyBlob + KeyBlobMagicOffset, sizeof magic);
  std::memcpy(&bitLength, keyBlob + KeyBlobBitLengthOffset, sizeof bitLength);
  if (magic != RsaKeyBlobMagic) return FALSE;
  const DWORD modulusBytes = bitLength / 8;
  // The blob's builder never exceeds this; a blob from elsewhere is not read past its end.
  if (modulusBytes == 0 || modulusBytes > MaxModulusBytes) return FALSE;
  const DWORD w = OperandWords(modulusBytes);

  std::memcpy(ModulusWords, keyBlob + KeyBlobModulusOffset, w * sizeof(DWORD));
  if (Compare(input, ModulusWords, w) >= 0) return FALSE;
  Zero(ExponentWords, w);
  std::memcpy(ExponentWords, keyBlob + KeyBlobExponentOffset, sizeof(DWORD));
  return ModExp(output, input, ExponentWords, ModulusWords, w);
}

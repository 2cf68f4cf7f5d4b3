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
  DWORD carry = 0;
  for (DWORD i = 0; i < length; ++i) {
    const DoubleWord sum = static_cast<DoubleWord>(a[i]) * word + target[i] + carry;
    target[i] = Low(sum);
    carry = High(sum);
  }
  return carry;
}

DWORD MultiplySubtract(DWORD* target, const DWORD* a, DWORD length, DWORD word) {
  // The products do not depend on one another; only a small signed carry runs from column
  // to column, which keeps the chain short (this is the hot loop of ReduceProduct, whose
  // rows are bound by that chain). Column i takes the low half of a[i] * word and the high
  // half of the product before it. Two-word columns in 128-bit arithmetic measured slower.
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
  return TRUE;
}

void ReduceProduct(ReductionContext& context) {
  const DWORD k = context.k;
  DWORD* const t = context.product;
  const DWORD* const m = context.shiftedModulus;

  // 1. Fold words k+1 .. 2k-1 down, from the top: w * 2^(32(j+k+1)) is congruent to
  //    -w * (n - r) * 2^(32j), and a word that the pending borrow makes negative to
  //    -(borrow - w) * r * 2^(32j). Each fold leaves its borrow on word j + k.
  DWORD pending = 0;
  for (DWORD j = k - 1; j-- > 0;) {
    const DWORD top = t[j + k + 1];
    if (top >= pending) {
      pending = MultiplySubtract(t + j, context.modulusMinusR, k, top - pending);
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

// Both products are formed column by column: every product of two words lands in a 64-bit
// value and the column sums in a 64-bit accumulator with an overflow word, so there is no
// carry chain through the words of a row.
void MulMod(ReductionContext& context, DWORD* result, const DWORD* a, const DWORD* b) {
  const DWORD k = context.k;
  DWORD* const product = context.product;
  DoubleWord low = 0;
  DWORD high = 0;
  for (DWORD column = 0; column + 1 < 2 * k; ++column) {
    const DWORD first = column < k ? 0 : column - k + 1;
    const DWORD last = column < k ? column : k - 1;
    for (DWORD i = first; i <= last; ++i) {
      const DoubleWord term = static_cast<DoubleWord>(a[i]) * b[column - i];
      low += term;
      high += low < term ? 1 : 0;
    }
    product[column] = Low(low);
    low = (low >> 32) | (static_cast<DoubleWord>(high) << 32);
    high = 0;
  }
  product[2 * k - 1] = Low(low);
  ReduceProduct(context);
  Copy(result, product, k);
}

void SqrMod(ReductionContext& context, DWORD* result, const DWORD* a) {
  const DWORD k = context.k;
  DWORD* const product = context.product;
  DoubleWord carry = 0;
  for (DWORD column = 0; column + 1 < 2 * k; ++column) {
    // Each cross product a[i] * a[j] (i < j) once, the sum doubled, then the square of the
    // single word and the carry of the column below added.
    DoubleWord low = 0;
    DWORD high = 0;
    for (DWORD i = column < k ? 0 : column - k + 1; 2 * i < column; ++i) {
      const DoubleWord term = static_cast<DoubleWord>(a[i]) * a[column - i];
      low += term;
      high += low < term ? 1 : 0;
    }
    high = (high << 1) | static_cast<DWORD>(low >> 63);
    low <<= 1;
    if (column % 2 == 0) {
      const DoubleWord square = static_cast<DoubleWord>(a[column / 2]) * a[column / 2];
      low += square;
      high += low < square ? 1 : 0;
    }
    low += carry;
    high += low < carry ? 1 : 0;
    product[column] = Low(low);
    carry = (low >> 32) | (static_cast<DoubleWord>(high) << 32);
  }
  product[2 * k - 1] = Low(carry);
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

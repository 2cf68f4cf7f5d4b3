#include "signing/signature_check.h"

#include <cstring>

#include "common/byte_order.h"
#include "signing/der_reader.h"

namespace {

// DigestInfo prefixes, each up to and including the OCTET STRING header of the digest, in the
// order they are tried. Each entry is its length followed by its bytes reversed (the block is
// examined least significant byte first); a zero length ends a list.
//   MD5:   30 20 30 0C 06 08 2A 86 48 86 F7 0D 02 05 05 00 04 10   (NULL parameters)
//          30 1E 30 0A 06 08 2A 86 48 86 F7 0D 02 05 04 10         (parameters absent)
//   SHA-1: 30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14            (NULL parameters)
//          30 1F 30 07 06 05 2B 0E 03 02 1A 04 14                  (parameters absent)
constexpr BYTE Md5Prefixes[] = {18,   0x10, 0x04, 0x00, 0x05, 0x05, 0x02, 0x0D, 0xF7, 0x86,
                                0x48, 0x86, 0x2A, 0x08, 0x06, 0x0C, 0x30, 0x20, 0x30, 16,
                                0x10, 0x04, 0x05, 0x02, 0x0D, 0xF7, 0x86, 0x48, 0x86, 0x2A,
                                0x08, 0x06, 0x0A, 0x30, 0x1E, 0x30, 0};
constexpr BYTE Sha1Prefixes[] = {15,   0x14, 0x04, 0x00, 0x05, 0x1A, 0x02, 0x03, 0x0E, 0x2B, 0x05,
                                 0x06, 0x09, 0x30, 0x21, 0x30, 13,   0x14, 0x04, 0x1A, 0x02, 0x03,
                                 0x0E, 0x2B, 0x05, 0x06, 0x07, 0x30, 0x1F, 0x30, 0};
static_assert(sizeof Md5Prefixes == 1 + 18 + 1 + 16 + 1);
static_assert(sizeof Sha1Prefixes == 1 + 15 + 1 + 13 + 1);

// Drops one leading zero octet of a value longer than one octet.
ByteBlob WithoutLeadingZero(ByteBlob value) {
  if (value.length > 1 && value.bytes[0] == 0) return ByteBlob{value.length - 1, value.bytes + 1};
  return value;
}

}  // namespace

DWORD MakeKeyBlob(ByteBlob modulus, ByteBlob exponent, BYTE* blob) {
  modulus = WithoutLeadingZero(modulus);
  if (modulus.length > MaxModulusBytes) return NTE_BAD_PUBLIC_KEY;
  exponent = WithoutLeadingZero(exponent);
  if (exponent.length > 4) return NTE_BAD_PUBLIC_KEY;
  if (modulus.length == 0 || exponent.length == 0) return NTE_BAD_PUBLIC_KEY;

  const DWORD length = modulus.length;
  std::memset(blob, 0, KeyBlobSize);
  StoreLittleEndian32(blob + KeyBlobMagicOffset, RsaKeyBlobMagic);
  StoreLittleEndian32(blob + KeyBlobKeyLengthOffset, (length + 7) / 8 * 8 + 8);
  StoreLittleEndian32(blob + KeyBlobBitLengthOffset, 8 * length);
  StoreLittleEndian32(blob + KeyBlobDataLengthOffset, length - 1);
  for (DWORD i = 0; i < exponent.length; ++i) {
    blob[KeyBlobExponentOffset + i] = exponent.bytes[exponent.length - 1 - i];
  }
  for (DWORD i = 0; i < length; ++i) {
    blob[KeyBlobModulusOffset + i] = modulus.bytes[length - 1 - i];
  }
  return 0;
}

DWORD CheckSignatureBlock(const BYTE* blob, ALG_ID algorithm, const BYTE* digest,
                          DWORD digestLength, const BYTE* block) {
  const BYTE* prefixes;
  if (algorithm == CALG_MD5) {
    prefixes = Md5Prefixes;
  } else if (algorithm == CALG_SHA1) {
    prefixes = Sha1Prefixes;
  } else {
    return NTE_BAD_ALGID;
  }
  // The reversed digest has room for the longest digest; anything longer is refused before
  // it is copied.
  if (digestLength > MaxDigestSize) return NTE_BAD_SIGNATURE;
  BYTE reversed[MaxDigestSize];
  for (DWORD i = 0; i < digestLength; ++i) reversed[i] = digest[digestLength - 1 - i];
  if (digestLength != 0 && std::memcmp(block, reversed, digestLength) != 0) {
    return NTE_BAD_SIGNATURE;
  }

  // The first prefix that matches is taken; a block without DigestInfo is accepted as well.
  DWORD prefixLength = 0;
  for (const BYTE* entry = prefixes; *entry != 0; entry += 1 + *entry) {
    if (std::memcmp(block + digestLength, entry + 1, *entry) == 0) {
      prefixLength = *entry;
      break;
    }
  }

  const DWORD top = LoadLittleEndian32(blob + KeyBlobDataLengthOffset);  // L - 1
  // A modulus of one octet has no room for the 00 01 head.
  if (top < 1 || top >= RsaValueBufferSize) return NTE_BAD_SIGNATURE;
  const DWORD separator = digestLength + prefixLength;
  if (block[separator] != 0x00) return NTE_BAD_SIGNATURE;
  if (block[top] != 0x00 || block[top - 1] != 0x01) return NTE_BAD_SIGNATURE;
  for (DWORD i = separator + 1; i + 2 < top + 1; ++i) {
    if (block[i] != 0xFF) return NTE_BAD_SIGNATURE;
  }
  return 0;
}

DWORD VerifyDigestSignature(ALG_ID algorithm, const BYTE* digest, DWORD digestLength,
                            ByteBlob signature, ByteBlob key) {
  ByteBlob keyInfo[KeySlotCount] = {};
  if (ReadKeyInfo(key.bytes, key.length, keyInfo) < 1) return NTE_BAD_PUBLIC_KEY;
  ByteBlob rsaKey[KeySlotCount] = {};
  if (ReadRsaKey(keyInfo[3].bytes, keyInfo[3].length, rsaKey) < 1) return NTE_BAD_PUBLIC_KEY;

  BYTE blob[KeyBlobSize];
  const DWORD made = MakeKeyBlob(rsaKey[2], rsaKey[3], blob);
  if (made != 0) return made;
  if (signature.length != LoadLittleEndian32(blob + KeyBlobBitLengthOffset) / 8) {
    return NTE_BAD_SIGNATURE;
  }

  // Both values least significant byte first, zero above.
  DWORD input[RsaValueBufferWords] = {};
  DWORD output[RsaValueBufferWords] = {};
  BYTE* const inputBytes = reinterpret_cast<BYTE*>(input);
  for (DWORD i = 0; i < signature.length; ++i) {
    inputBytes[i] = signature.bytes[signature.length - 1 - i];
  }
  if (!RsaPublicOperation(blob, input, output)) return NTE_BAD_SIGNATURE;
  return CheckSignatureBlock(blob, algorithm, digest, digestLength,
                             reinterpret_cast<const BYTE*>(output));
}

// PKCS#1 v1.5 (block type 1) signature verification against a message digest, with the key
// given as a DER SubjectPublicKeyInfo. Results are the platform's error codes, 0 on success.
// Not reentrant (the RSA work areas are static); everything else lives in fixed buffers of
// the call.
#pragma once

#include "platform/types.h"
#include "signing/byte_blob.h"
#include "signing/rsa_public_operation.h"

// Verifies that `signature` (most significant byte first, exactly as long as the modulus) is
// a signature of the h-byte digest under `key`. Returns 0 when it is; NTE_BAD_PUBLIC_KEY
// when the key does not decode, NTE_BAD_SIGNATURE when the signature does not match it, and
// NTE_BAD_ALGID when the algorithm is neither CALG_MD5 nor CALG_SHA1 (examined last, so key
// and signature are checked first).
[[nodiscard]] DWORD VerifyDigestSignature(ALG_ID algorithm, const BYTE* digest, DWORD digestLength,
                                          ByteBlob signature, ByteBlob key);

// Fills the KeyBlobSize-byte RsaPublicKey blob from the modulus and exponent octets (most
// significant first); one leading zero octet of each is dropped. Returns 0, or
// NTE_BAD_PUBLIC_KEY for an empty modulus or exponent, a modulus of more than 512 octets or an
// exponent of more than 4.
[[nodiscard]] DWORD MakeKeyBlob(ByteBlob modulus, ByteBlob exponent, BYTE* blob);

// Checks the RSA output `block` (RsaValueBufferSize bytes, least significant first) against
// the digest: in the usual most-significant-first view it must be 00 01, any number of FF,
// 00, optionally the algorithm's DigestInfo prefix, the digest, L octets in all (L - 1 is the
// blob's data length). Returns 0, NTE_BAD_ALGID or NTE_BAD_SIGNATURE; a digest longer than
// MaxDigestSize is NTE_BAD_SIGNATURE.
[[nodiscard]] DWORD CheckSignatureBlock(const BYTE* blob, ALG_ID algorithm, const BYTE* digest,
                                        DWORD digestLength, const BYTE* block);

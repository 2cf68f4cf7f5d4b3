// VerifyDigestSignature with fuzzed key DER, signature and digest, against OpenSSL.
//
// Input: an algorithm selector, a digest length (0..31), the digest, a key length, the key DER,
// then the signature. Checked: whenever OpenSSL parses the key as canonical RSA DER and the
// device's reader accepts it too (the result is not NTE_BAD_PUBLIC_KEY), the result is exactly
// what the raw RSA operation and the signature-block rule give, and a signature OpenSSL cannot
// compute with is never good; and every buffer is exactly as long as its data,
// so any access past it is reported.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "signing/signature_check.h"
#include "testsupport/reference_verifier.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const BYTE selector = input.Take<BYTE>();
  const ALG_ID algorithm = selector % 8 == 0   ? CALG_MD5
                           : selector % 8 == 1 ? 0x8005u  // an algorithm the library lacks
                                               : CALG_SHA1;
  const DWORD digestLength = input.Take<BYTE>() % 32;
  const auto digestBytes = input.TakeBytes(digestLength);
  const std::vector<BYTE> digest(digestBytes.begin(), digestBytes.end());
  const DWORD keyLength = input.Take<BYTE>() % 256;
  const auto keyBytes = input.TakeBytes(keyLength);
  const std::vector<BYTE> key(keyBytes.begin(), keyBytes.end());
  const auto signatureBytes = input.Rest();
  const std::vector<BYTE> signature(signatureBytes.begin(), signatureBytes.end());

  const DWORD result = VerifyDigestSignature(
      algorithm, digest.empty() ? nullptr : digest.data(), static_cast<DWORD>(digest.size()),
      ByteBlob{static_cast<DWORD>(signature.size()),
               signature.empty() ? nullptr : signature.data()},
      ByteBlob{static_cast<DWORD>(key.size()), key.empty() ? nullptr : key.data()});
  FUZZ_REQUIRE(result == 0 || result == NTE_BAD_PUBLIC_KEY || result == NTE_BAD_SIGNATURE ||
               result == NTE_BAD_ALGID);

  const reference::PublicKey parsed = reference::PublicKey::FromDer(key);
  if (!parsed || !parsed.Canonical() || result == NTE_BAD_PUBLIC_KEY) return 0;
  const auto block = parsed.RawPublicOperation(signature);
  if (!block) {
    // A signature not below the modulus, or a key OpenSSL cannot compute with: never good.
    FUZZ_REQUIRE(result != 0);
    return 0;
  }
  FUZZ_REQUIRE(result == reference::CheckBlock(*block, algorithm, digest));
  return 0;
}

// VerifyDigestSignature and the signature block rules, with OpenSSL as signer.
#include "signing/signature_check.h"

#include <gtest/gtest.h>

#include <cstring>

#include "signing/der_reader.h"
#include "signing/key_table.h"
#include "signing_test_support.h"

namespace {

using signing_test::Bytes;
using signing_test::Concat;
using signing_test::Tlv;

const Bytes Sha1InfoNull = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                            0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
const Bytes Sha1InfoBare = {0x30, 0x1F, 0x30, 0x07, 0x06, 0x05, 0x2B,
                            0x0E, 0x03, 0x02, 0x1A, 0x04, 0x14};

DWORD Verify(ALG_ID algorithm, const Bytes& digest, const Bytes& signature, const Bytes& key) {
  return VerifyDigestSignature(algorithm, digest.data(), static_cast<DWORD>(digest.size()),
                               ByteBlob{static_cast<DWORD>(signature.size()), signature.data()},
                               ByteBlob{static_cast<DWORD>(key.size()), key.data()});
}

// 00 01, as many FF octets as make `length` octets in all, 00, prefix, digest.
Bytes Block(std::size_t length, const Bytes& prefix, const Bytes& digest) {
  Bytes block = {0x00, 0x01};
  block.insert(block.end(), length - 3 - prefix.size() - digest.size(), 0xFF);
  block.push_back(0x00);
  block.insert(block.end(), prefix.begin(), prefix.end());
  block.insert(block.end(), digest.begin(), digest.end());
  return block;
}

class SignatureCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    key_ = signing_test::BuildKey(0);
    if (!key_) GTEST_SKIP() << "the build's key directory holds no private keys";
    der_ = signing_test::PublicDer(key_);
    message_ = Bytes{'s', 'i', 'g', 'n', 'e', 'd'};
    sha1_ = signing_test::Digest(EVP_sha1(), message_);
    md5_ = signing_test::Digest(EVP_md5(), message_);
  }

  Bytes Raw(const Bytes& block) { return signing_test::RawPrivateOperation(key_, block); }

  signer::PrivateKey key_;
  Bytes der_;
  Bytes message_;
  Bytes sha1_;
  Bytes md5_;
};

TEST_F(SignatureCheck, OpenSslSignaturesVerify) {
  EXPECT_EQ(
      Verify(CALG_SHA1, sha1_, signing_test::OpenSslSignature(key_, EVP_sha1(), message_), der_),
      0u);
  EXPECT_EQ(Verify(CALG_MD5, md5_, signing_test::OpenSslSignature(key_, EVP_md5(), message_), der_),
            0u);
}

TEST_F(SignatureCheck, AcceptedBlockVariants) {
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, Raw(Block(128, Sha1InfoNull, sha1_)), der_), 0u);
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, Raw(Block(128, Sha1InfoBare, sha1_)), der_), 0u);
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, Raw(Block(128, {}, sha1_)), der_), 0u);
  const Bytes md5Bare = {0x30, 0x1E, 0x30, 0x0A, 0x06, 0x08, 0x2A, 0x86,
                         0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x04, 0x10};
  EXPECT_EQ(Verify(CALG_MD5, md5_, Raw(Block(128, md5Bare, md5_)), der_), 0u);
  EXPECT_EQ(Verify(CALG_MD5, md5_, Raw(Block(128, {}, md5_)), der_), 0u);
}

TEST_F(SignatureCheck, RejectedBlockVariants) {
  Bytes wrongDigest = sha1_;
  wrongDigest[19] ^= 1;
  EXPECT_EQ(Verify(CALG_SHA1, wrongDigest, Raw(Block(128, Sha1InfoNull, sha1_)), der_),
            NTE_BAD_SIGNATURE);

  Bytes noSeparator = Block(128, Sha1InfoNull, sha1_);
  noSeparator[128 - 36] = 0xFF;
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, Raw(noSeparator), der_), NTE_BAD_SIGNATURE);

  Bytes badHead = Block(128, Sha1InfoNull, sha1_);
  badHead[1] = 0x02;
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, Raw(badHead), der_), NTE_BAD_SIGNATURE);
  Bytes badTop = Block(128, Sha1InfoNull, sha1_);
  badTop[0] = 0x01;
  badTop[1] = 0x00;
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, Raw(badTop), der_), NTE_BAD_SIGNATURE);

  Bytes brokenRun = Block(128, Sha1InfoNull, sha1_);
  brokenRun[40] = 0xFE;
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, Raw(brokenRun), der_), NTE_BAD_SIGNATURE);

  // A damaged prefix is not a prefix: the octet after the digest must then be the separator.
  Bytes damagedPrefix = Block(128, Sha1InfoNull, sha1_);
  damagedPrefix[128 - 20 - 5] ^= 0x01;
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, Raw(damagedPrefix), der_), NTE_BAD_SIGNATURE);

  // The signature value equal to the modulus is not below it.
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, signing_test::Modulus(key_), der_), NTE_BAD_SIGNATURE);
}

TEST_F(SignatureCheck, AlgorithmIsExaminedLast) {
  const Bytes signature = signing_test::OpenSslSignature(key_, EVP_sha1(), message_);
  EXPECT_EQ(Verify(CALG_MD5, md5_, signature, der_), NTE_BAD_SIGNATURE);
  EXPECT_EQ(Verify(0x800C, sha1_, signature, der_), NTE_BAD_ALGID);
  // A key that does not decode is reported before the algorithm.
  EXPECT_EQ(Verify(0x800C, sha1_, signature, Bytes{0x30, 0x00}), NTE_BAD_PUBLIC_KEY);
}

TEST_F(SignatureCheck, SignatureLengthMustBeTheModulusLength) {
  const Bytes signature = signing_test::OpenSslSignature(key_, EVP_sha1(), message_);
  Bytes longer = signature;
  longer.insert(longer.begin(), 0x00);
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, longer, der_), NTE_BAD_SIGNATURE);
  Bytes shorter(signature.begin() + 1, signature.end());
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, shorter, der_), NTE_BAD_SIGNATURE);
  EXPECT_EQ(Verify(CALG_SHA1, sha1_, {}, der_), NTE_BAD_SIGNATURE);
}

TEST_F(SignatureCheck, OtherAlgorithmIdentifierIsNotExamined) {
  ByteBlob info[KeySlotCount] = {};
  ByteBlob rsa[KeySlotCount] = {};
  ASSERT_GT(ReadKeyInfo(der_.data(), static_cast<DWORD>(der_.size()), info), 0);
  ASSERT_GT(ReadRsaKey(info[3].bytes, info[3].length, rsa), 0);
  const Bytes modulus(rsa[2].bytes, rsa[2].bytes + rsa[2].length);
  const Bytes exponent(rsa[3].bytes, rsa[3].bytes + rsa[3].length);
  const Bytes dsa = Tlv(0x30, Tlv(0x06, {0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x01}));
  const Bytes key = signing_test::KeyInfo(modulus, exponent, dsa);
  EXPECT_EQ(
      Verify(CALG_SHA1, sha1_, signing_test::OpenSslSignature(key_, EVP_sha1(), message_), key),
      0u);
}

TEST(PublicKeyChecks, RefusesKeysOutsideTheLimits) {
  const Bytes digest(20, 0x11);
  const Bytes signature(128, 0x01);
  const Bytes modulus(129, 0xC5);
  EXPECT_EQ(Verify(CALG_SHA1, digest, signature, signing_test::KeyInfo(modulus, {1, 0, 1, 0, 1})),
            NTE_BAD_PUBLIC_KEY);  // a 5-octet exponent
  EXPECT_EQ(Verify(CALG_SHA1, digest, signature, signing_test::KeyInfo({}, {1, 0, 1})),
            NTE_BAD_PUBLIC_KEY);
  EXPECT_EQ(Verify(CALG_SHA1, digest, signature, signing_test::KeyInfo(modulus, {})),
            NTE_BAD_PUBLIC_KEY);
  EXPECT_EQ(Verify(CALG_SHA1, digest, signature, signing_test::KeyInfo(Bytes(513, 0xC5), {3})),
            NTE_BAD_PUBLIC_KEY);
  // 512 octets plus one leading zero is still a 4096-bit modulus: the key is taken, the
  // arithmetic refuses it.
  Bytes largest(513, 0xC5);
  largest[0] = 0;
  EXPECT_EQ(Verify(CALG_SHA1, digest, Bytes(512, 0x01), signing_test::KeyInfo(largest, {3})),
            NTE_BAD_SIGNATURE);
  // A 5-octet length field anywhere in the key.
  Bytes fiveOctetLength = signing_test::KeyInfo(modulus, {1, 0, 1});
  fiveOctetLength.erase(fiveOctetLength.begin() + 1, fiveOctetLength.begin() + 3);
  const Bytes fiveOctets = {0x85, 0x00, 0x00, 0x00, 0x00, 0xA2};
  fiveOctetLength.insert(fiveOctetLength.begin() + 1, fiveOctets.begin(), fiveOctets.end());
  EXPECT_EQ(Verify(CALG_SHA1, digest, signature, fiveOctetLength), NTE_BAD_PUBLIC_KEY);
  // A BIT STRING that does not hold an RSAPublicKey.
  const Bytes notRsa =
      Tlv(0x30, Concat({signing_test::RsaAlgorithmIdentifier(), Tlv(0x03, {0x00, 0x05, 0x00})}));
  EXPECT_EQ(Verify(CALG_SHA1, digest, signature, notRsa), NTE_BAD_PUBLIC_KEY);
}

TEST(MakeKeyBlob, DropsOneLeadingZeroAndFillsTheFields) {
  Bytes modulus(129, 0x9A);
  modulus[0] = 0x00;
  modulus[128] = 0x01;
  const Bytes exponent = {0x00, 0x01, 0x00, 0x01};
  BYTE blob[KeyBlobSize];
  ASSERT_EQ(MakeKeyBlob(ByteBlob{129, modulus.data()}, ByteBlob{4, exponent.data()}, blob), 0u);
  DWORD fields[5];
  std::memcpy(fields, blob, sizeof fields);
  EXPECT_EQ(fields[0], RsaKeyBlobMagic);
  EXPECT_EQ(fields[1], 136u);
  EXPECT_EQ(fields[2], 1024u);
  EXPECT_EQ(fields[3], 127u);
  EXPECT_EQ(fields[4], 65537u);
  EXPECT_EQ(blob[KeyBlobModulusOffset], 0x01);
  EXPECT_EQ(blob[KeyBlobModulusOffset + 127], 0x9A);
  EXPECT_EQ(blob[KeyBlobModulusOffset + 128], 0x00);

  // Only one zero octet is dropped.
  const Bytes twoZeros = {0x00, 0x00, 0x05};
  ASSERT_EQ(MakeKeyBlob(ByteBlob{3, twoZeros.data()}, ByteBlob{1, exponent.data() + 1}, blob), 0u);
  std::memcpy(fields, blob, sizeof fields);
  EXPECT_EQ(fields[2], 16u);
  // A lone zero octet stays: the modulus is zero, which the arithmetic refuses later.
  const Bytes zero = {0x00};
  EXPECT_EQ(MakeKeyBlob(ByteBlob{1, zero.data()}, ByteBlob{1, zero.data()}, blob), 0u);
}

// The digest is reversed into a 20-octet buffer; a longer one is refused before the copy.
TEST(CheckSignatureBlock, RefusesDigestsLongerThanTwentyOctets) {
  BYTE blob[KeyBlobSize] = {};
  const DWORD dataLength = 127;
  std::memcpy(blob + KeyBlobDataLengthOffset, &dataLength, sizeof dataLength);
  const Bytes digest(32, 0x5C);
  // A block that would match the 32-octet digest with no DigestInfo.
  BYTE block[RsaValueBufferSize] = {};
  std::memset(block, 0x5C, 32);
  block[32] = 0x00;
  std::memset(block + 33, 0xFF, 126 - 33);
  block[126] = 0x01;
  block[127] = 0x00;
  EXPECT_EQ(CheckSignatureBlock(blob, CALG_SHA1, digest.data(), 32, block), NTE_BAD_SIGNATURE);
  EXPECT_EQ(CheckSignatureBlock(blob, CALG_SHA1, digest.data(), 21, block), NTE_BAD_SIGNATURE);
  // With 20 octets the separator must follow them; once it does, the block passes.
  EXPECT_EQ(CheckSignatureBlock(blob, CALG_SHA1, digest.data(), 20, block), NTE_BAD_SIGNATURE);
  std::memset(block + 20, 0xFF, 126 - 20);
  block[20] = 0x00;
  EXPECT_EQ(CheckSignatureBlock(blob, CALG_SHA1, digest.data(), 20, block), 0u);
  EXPECT_EQ(CheckSignatureBlock(blob, 0x8005, digest.data(), 20, block), NTE_BAD_ALGID);
}

// Small keys made here, so that the padding run can be empty or a single octet: the block
// is then exactly 00 01 [FF] 00 DigestInfo digest.
TEST(SmallKeys, ZeroAndOneFillOctetsAreAccepted) {
  const Bytes message = {'x'};
  const Bytes digest = signing_test::Digest(EVP_sha1(), message);
  for (std::size_t fillOctets : {0u, 1u, 2u}) {
    const std::size_t length = 3 + Sha1InfoNull.size() + digest.size() + fillOctets;
    BN_CTX* context = BN_CTX_new();
    BIGNUM* p = BN_new();
    BIGNUM* q = BN_new();
    BIGNUM* n = BN_new();
    BIGNUM* phi = BN_new();
    BIGNUM* e = BN_new();
    BIGNUM* d = BN_new();
    BN_set_word(e, 65537);
    const int half = static_cast<int>(length * 4);
    do {
      BN_generate_prime_ex(p, half, 0, nullptr, nullptr, nullptr);
      BN_generate_prime_ex(q, half, 0, nullptr, nullptr, nullptr);
      BN_mul(n, p, q, context);
      BN_sub_word(p, 1);
      BN_sub_word(q, 1);
      BN_mul(phi, p, q, context);
    } while (static_cast<std::size_t>(BN_num_bytes(n)) != length ||
             BN_mod_inverse(d, e, phi, context) == nullptr);
    Bytes nBytes(length + 1, 0);
    BN_bn2binpad(n, nBytes.data() + 1, static_cast<int>(length));
    const Bytes key = signing_test::KeyInfo(nBytes, {0x01, 0x00, 0x01});

    const Bytes block = Block(length, Sha1InfoNull, digest);
    BIGNUM* m = BN_bin2bn(block.data(), static_cast<int>(block.size()), nullptr);
    BIGNUM* s = BN_new();
    BN_mod_exp(s, m, d, n, context);
    Bytes signature(length);
    BN_bn2binpad(s, signature.data(), static_cast<int>(length));
    EXPECT_EQ(Verify(CALG_SHA1, digest, signature, key), 0u) << fillOctets;
    for (BIGNUM* value : {p, q, n, phi, e, d, m, s}) BN_free(value);
    BN_CTX_free(context);
  }
}

}  // namespace

namespace {

// A blob whose modulus has a single octet has no room for the 00 01 head; the check must not
// read below the block for it.
TEST(CheckSignatureBlock, RefusesAOneOctetModulus) {
  BYTE blob[KeyBlobSize] = {};
  BYTE block[RsaValueBufferSize] = {};
  const BYTE digest[20] = {};
  EXPECT_EQ(CheckSignatureBlock(blob, CALG_SHA1, digest, 20, block), NTE_BAD_SIGNATURE);
}

}  // namespace

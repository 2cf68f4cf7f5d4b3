// The MD5 and SHA-1 objects: published answers, every way of splitting the input, and both
// SHA-1 block functions.
#include "signing/hash_object.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "signing_test_support.h"

namespace {

using signing_test::Bytes;

std::string Hex(const BYTE* bytes, DWORD length) {
  static const char Digits[] = "0123456789abcdef";
  std::string text;
  for (DWORD i = 0; i < length; ++i) {
    text += Digits[bytes[i] >> 4];
    text += Digits[bytes[i] & 15];
  }
  return text;
}

// Hashes `message` through the public calls, split into the given blob lengths.
Bytes HashInBlobs(ALG_ID algorithm, const BYTE* message, const std::vector<DWORD>& lengths) {
  HashObject* hash = nullptr;
  EXPECT_EQ(CreateHashObject(algorithm, &hash), 0u);
  std::vector<ByteBlob> blobs;
  DWORD offset = 0;
  for (DWORD length : lengths) {
    blobs.push_back(ByteBlob{length, length == 0 ? nullptr : message + offset});
    offset += length;
  }
  EXPECT_EQ(HashDataBlobs(algorithm, hash, static_cast<DWORD>(blobs.size()), blobs.data()), 0u);
  BYTE digest[MaxDigestSize] = {};
  DWORD digestLength = 0;
  EXPECT_EQ(GetHashValue(algorithm, hash, digest, &digestLength), 0u);
  return Bytes(digest, digest + digestLength);
}

std::string HashText(ALG_ID algorithm, const std::string& text) {
  const BYTE* bytes = reinterpret_cast<const BYTE*>(text.data());
  Bytes digest = HashInBlobs(algorithm, bytes, {static_cast<DWORD>(text.size())});
  return Hex(digest.data(), static_cast<DWORD>(digest.size()));
}

TEST(Md5, PublishedTestSuite) {
  EXPECT_EQ(HashText(CALG_MD5, ""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(HashText(CALG_MD5, "a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(HashText(CALG_MD5, "abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(HashText(CALG_MD5, "message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(HashText(CALG_MD5, "abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(HashText(CALG_MD5, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  std::string digits;
  for (int i = 0; i < 8; ++i) digits += "1234567890";
  EXPECT_EQ(HashText(CALG_MD5, digits), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Sha1, PublishedTestVectors) {
  EXPECT_EQ(HashText(CALG_SHA1, ""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(HashText(CALG_SHA1, "abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(HashText(CALG_SHA1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(HashText(CALG_SHA1, std::string(1000000, 'a')),
            "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(HashObjects, RandomMessagesInRandomBlobsMatchOpenSsl) {
  std::mt19937 random(1234);
  for (int round = 0; round < 300; ++round) {
    const std::size_t size = round < 150 ? random() % 300 : random() % 20000;
    // One spare byte in front so that the message also starts unaligned.
    Bytes storage(size + 1);
    for (auto& byte : storage) byte = static_cast<std::uint8_t>(random());
    const BYTE* message = storage.data() + (round % 2);
    const Bytes copy(message, message + size);
    std::vector<DWORD> lengths;
    for (std::size_t left = size; left > 0 || random() % 3 == 0;) {
      const DWORD length = random() % 4 == 0 ? 0 : static_cast<DWORD>(random() % (left + 1));
      lengths.push_back(length);
      left -= length;
      if (lengths.size() > 400) {
        lengths.push_back(static_cast<DWORD>(left));
        break;
      }
    }
    EXPECT_EQ(HashInBlobs(CALG_SHA1, message, lengths), signing_test::Digest(EVP_sha1(), copy))
        << round;
    EXPECT_EQ(HashInBlobs(CALG_MD5, message, lengths), signing_test::Digest(EVP_md5(), copy))
        << round;
  }
}

TEST(HashObjects, EverySplitOfOneMessageGivesTheSameDigest) {
  Bytes message(200);
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 7);
  const Bytes sha1 = signing_test::Digest(EVP_sha1(), message);
  const Bytes md5 = signing_test::Digest(EVP_md5(), message);
  for (DWORD split = 0; split <= message.size(); ++split) {
    const std::vector<DWORD> lengths = {split, 0, static_cast<DWORD>(message.size()) - split};
    EXPECT_EQ(HashInBlobs(CALG_SHA1, message.data(), lengths), sha1) << split;
    EXPECT_EQ(HashInBlobs(CALG_MD5, message.data(), lengths), md5) << split;
  }
  std::vector<DWORD> bytewise(message.size(), 1);
  EXPECT_EQ(HashInBlobs(CALG_SHA1, message.data(), bytewise), sha1);
  EXPECT_EQ(HashInBlobs(CALG_MD5, message.data(), bytewise), md5);
}

TEST(HashObjects, RefusesOtherAlgorithmsAndLeavesTheHandle) {
  HashObject* const untouched = reinterpret_cast<HashObject*>(0x1234);
  HashObject* hash = untouched;
  EXPECT_EQ(CreateHashObject(0x8005, &hash), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateHashObject(0, &hash), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(hash, untouched);
}

TEST(HashObjects, DigestLengthsAndTheRulesOfReuse) {
  HashObject* hash = nullptr;
  BYTE digest[MaxDigestSize];
  DWORD length = 0;
  ASSERT_EQ(CreateHashObject(CALG_MD5, &hash), 0u);
  EXPECT_EQ(hash->operations->size(hash), Md5DigestSize);
  ASSERT_EQ(GetHashValue(CALG_MD5, hash, digest, &length), 0u);
  EXPECT_EQ(length, Md5DigestSize);

  // After GetHashValue the SHA-1 object starts over by itself.
  ASSERT_EQ(CreateHashObject(CALG_SHA1, &hash), 0u);
  const ByteBlob abc = {3, reinterpret_cast<const BYTE*>("abc")};
  ASSERT_EQ(HashDataBlobs(CALG_SHA1, hash, 1, &abc), 0u);
  ASSERT_EQ(GetHashValue(CALG_SHA1, hash, digest, &length), 0u);
  EXPECT_EQ(length, Sha1DigestSize);
  ASSERT_EQ(HashDataBlobs(CALG_SHA1, hash, 1, &abc), 0u);
  ASSERT_EQ(GetHashValue(CALG_SHA1, hash, digest, &length), 0u);
  EXPECT_EQ(Hex(digest, length), "a9993e364706816aba3e25717850c26c9cd0d89d");

  // Creating the object again discards what was absorbed.
  ASSERT_EQ(HashDataBlobs(CALG_SHA1, hash, 1, &abc), 0u);
  ASSERT_EQ(CreateHashObject(CALG_SHA1, &hash), 0u);
  ASSERT_EQ(GetHashValue(CALG_SHA1, hash, digest, &length), 0u);
  EXPECT_EQ(Hex(digest, length), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

// The hardware block function, where there is one, and the portable one must agree block
// for block; and whole digests must agree whichever Sha1Update uses.
TEST(Sha1BlockFunctions, PortableAndHardwareAgree) {
  std::mt19937 random(99);
  Bytes blocks(64 * 50);
  for (auto& byte : blocks) byte = static_cast<std::uint8_t>(random());
  DWORD portable[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  Sha1PortableBlocks(portable, blocks.data(), 50);
  Sha1BlockFunction hardware = Sha1HardwareBlocks();
  if (hardware != nullptr) {
    DWORD accelerated[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    hardware(accelerated, blocks.data() + 0, 20);
    hardware(accelerated, blocks.data() + 64 * 20, 30);
    EXPECT_EQ(std::memcmp(portable, accelerated, sizeof portable), 0);
  }

  const Sha1BlockFunction selected = Sha1SelectedBlocks;
  for (Sha1BlockFunction function : {Sha1PortableBlocks, hardware}) {
    if (function == nullptr) continue;
    Sha1SelectedBlocks = function;
    for (std::size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 3000u}) {
      for (std::size_t offset : {0u, 1u, 3u}) {
        const Bytes message(blocks.begin() + offset, blocks.begin() + offset + size);
        EXPECT_EQ(HashInBlobs(CALG_SHA1, blocks.data() + offset, {static_cast<DWORD>(size)}),
                  signing_test::Digest(EVP_sha1(), message))
            << size << " at " << offset;
      }
    }
  }
  Sha1SelectedBlocks = selected;
}

}  // namespace

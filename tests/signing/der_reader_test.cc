// The DER readers and the template walk, on the built-in key format and malformed variants.
#include "signing/der_reader.h"

#include <gtest/gtest.h>

#include "signing/key_table.h"
#include "der_builder.h"

namespace {

using signing_test::Bytes;
using signing_test::Concat;
using signing_test::Tlv;

TEST(ReadDerLength, ShortLongIndefiniteAndTruncatedForms) {
  DWORD used = 0;
  DWORD value = 0;
  const BYTE shortForm[] = {0x7F};
  EXPECT_EQ(ReadDerLength(shortForm, 0, &used, &value), DerTruncated);
  ASSERT_EQ(ReadDerLength(shortForm, 1, &used, &value), 0);
  EXPECT_EQ(used, 1u);
  EXPECT_EQ(value, 0x7Fu);
  const BYTE indefinite[] = {0x80};
  EXPECT_EQ(ReadDerLength(indefinite, 1, &used, &value), DerIndefinite);
  const BYTE fourOctets[] = {0x84, 0x12, 0x34, 0x56, 0x78};
  ASSERT_EQ(ReadDerLength(fourOctets, 5, &used, &value), 0);
  EXPECT_EQ(used, 5u);
  EXPECT_EQ(value, 0x12345678u);
  EXPECT_EQ(ReadDerLength(fourOctets, 4, &used, &value), DerTruncated);
  const BYTE fiveOctets[] = {0x85, 0, 0, 0, 0, 1};
  EXPECT_EQ(ReadDerLength(fiveOctets, 6, &used, &value), DerTooLong);
}

TEST(ReadDerHeader, MultiOctetIdentifiersAndContentBounds) {
  DWORD header = 0;
  DWORD length = 0;
  const BYTE* content = nullptr;
  const BYTE highTag[] = {0x1F, 0x81, 0x01, 0x02, 0xAA, 0xBB};
  ASSERT_EQ(ReadDerHeader(highTag, 6, &header, &length, &content), 0);
  EXPECT_EQ(header, 4u);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(content, highTag + 4);
  EXPECT_EQ(ReadDerHeader(highTag, 2, &header, &length, &content), DerTruncated);
  EXPECT_EQ(ReadDerHeader(highTag, 5, &header, &length, &content), DerTruncated);
  EXPECT_EQ(ReadDerHeader(highTag, 0, &header, &length, &content), DerTruncated);
  const BYTE huge[] = {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  EXPECT_EQ(ReadDerHeader(huge, 7, &header, &length, &content), DerTruncated);
  const BYTE indefinite[] = {0x30, 0x80, 0x00, 0x00};
  EXPECT_EQ(ReadDerHeader(indefinite, 4, &header, &length, &content), DerIndefinite);
}

TEST(ReadKeyInfo, TakesTheBuiltInKeysApart) {
  for (DWORD index = 0; index < KeyCount; ++index) {
    ByteBlob info[KeySlotCount] = {};
    ASSERT_EQ(ReadKeyInfo(KeyTable[index], BuiltInKeySize, info), 162);
    EXPECT_EQ(info[1].bytes, KeyTable[index]);
    EXPECT_EQ(info[2].length, 15u);  // rsaEncryption with NULL parameters
    EXPECT_EQ(info[3].length, 140u);
    ByteBlob rsa[KeySlotCount] = {};
    ASSERT_EQ(ReadRsaKey(info[3].bytes, info[3].length, rsa), 140);
    EXPECT_EQ(rsa[2].length, 129u);  // with the leading zero octet
    EXPECT_EQ(rsa[2].bytes[0], 0x00);
    ASSERT_EQ(rsa[3].length, 3u);
    EXPECT_EQ(Bytes(rsa[3].bytes, rsa[3].bytes + 3), (Bytes{0x01, 0x00, 0x01}));
  }
}

TEST(ReadKeyInfo, RefusesMalformedEncodings) {
  ByteBlob slots[KeySlotCount] = {};
  const Bytes good(KeyTable[0], KeyTable[0] + BuiltInKeySize);
  Bytes indefinite = good;
  indefinite[1] = 0x80;
  EXPECT_LT(ReadKeyInfo(indefinite.data(), static_cast<DWORD>(indefinite.size()), slots), 1);
  Bytes wrongOuter = good;
  wrongOuter[0] = 0x31;
  EXPECT_EQ(ReadKeyInfo(wrongOuter.data(), static_cast<DWORD>(wrongOuter.size()), slots), -1);
  EXPECT_LT(ReadKeyInfo(good.data(), 100, slots), 1);
  EXPECT_LT(ReadKeyInfo(nullptr, 0, slots), 1);
  // Trailing octets after the SubjectPublicKeyInfo are not examined.
  Bytes trailing = good;
  trailing.push_back(0xEE);
  EXPECT_EQ(ReadKeyInfo(trailing.data(), static_cast<DWORD>(trailing.size()), slots), 162);
}

TEST(DerWalk, ReportsTheFailingOffsetAndTheStepsDone) {
  const Bytes data = Tlv(0x30, Concat({Tlv(0x02, {0x05}), Tlv(0x04, {0x01, 0x02})}));
  const BYTE integer[] = {0x02, 0};
  const DerStep steps[] = {
      {DerControl::StepInto, 0, nullptr},
      {DerControl::StepOver, 0, integer},
      {DerControl::StepOver, 0, integer},  // an OCTET STRING stands here
  };
  DWORD count = 3;
  EXPECT_EQ(DerWalk(data.data(), static_cast<DWORD>(data.size()), &count, steps, 0, nullptr),
            -(2 + 3) - 1);
  EXPECT_EQ(count, 2u);

  const DerStep stepOutFirst[] = {{DerControl::StepOut, 0, nullptr}};
  count = 1;
  EXPECT_EQ(DerWalk(data.data(), static_cast<DWORD>(data.size()), &count, stepOutFirst, 0, nullptr),
            -1);
  EXPECT_EQ(count, 0u);

  for (DWORD invalid : {0u, 6u, 0xFFu}) {
    const DerStep bad[] = {{invalid, 0, nullptr}};
    count = 1;
    EXPECT_EQ(DerWalk(data.data(), static_cast<DWORD>(data.size()), &count, bad, 0, nullptr), -1);
  }
}

TEST(DerWalk, AbsentOptionalSequenceLeavesItsSlotsEmpty) {
  // SEQUENCE { INTEGER 5, OCTET STRING } with a template that expects an optional SEQUENCE
  // of two values between them.
  const Bytes data = Tlv(0x30, Concat({Tlv(0x02, {0x05}), Tlv(0x04, {0x01, 0x02})}));
  const BYTE sequence[] = {0x30, 0};
  const DerStep steps[] = {
      {DerControl::StepInto, 0, nullptr},
      {DerControl::StepOver | DerControl::ReturnContent, 1, nullptr},
      {DerControl::OptionalStepInto | DerControl::ReturnWhole, 2, sequence},
      {DerControl::StepOver | DerControl::ReturnWhole, 3, nullptr},
      {DerControl::StepOver | DerControl::ReturnWhole, 4, nullptr},
      {DerControl::StepOut, 0, nullptr},
      {DerControl::StepOver | DerControl::ReturnContent, 5, nullptr},
  };
  ByteBlob slots[6];
  for (ByteBlob& slot : slots) slot = ByteBlob{99, data.data()};
  DWORD count = 7;
  EXPECT_EQ(DerWalk(data.data(), static_cast<DWORD>(data.size()), &count, steps, 6, slots),
            static_cast<LONG>(data.size()));
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(slots[1].length, 1u);
  for (int slot : {2, 3, 4}) {
    EXPECT_EQ(slots[slot].length, 0u) << slot;
    EXPECT_EQ(slots[slot].bytes, nullptr) << slot;
  }
  EXPECT_EQ(slots[5].length, 2u);
  EXPECT_EQ(slots[5].bytes, data.data() + 7);
  EXPECT_EQ(slots[0].length, 99u);  // never written
}

TEST(DerWalk, NestingIsLimitedToEightLevels) {
  Bytes nested = Tlv(0x02, {0x01});
  for (int level = 0; level < 9; ++level) nested = Tlv(0x30, nested);
  std::vector<DerStep> steps(9, DerStep{DerControl::StepInto, 0, nullptr});
  DWORD count = 8;
  EXPECT_GE(
      DerWalk(nested.data(), static_cast<DWORD>(nested.size()), &count, steps.data(), 0, nullptr),
      0);
  count = 9;
  EXPECT_LT(
      DerWalk(nested.data(), static_cast<DWORD>(nested.size()), &count, steps.data(), 0, nullptr),
      0);
  EXPECT_EQ(count, 8u);
}

TEST(DerWalk, ReturnContentOfABitStringSkipsTheUnusedBitsOctet) {
  const Bytes data = Tlv(0x03, {0x00, 0xAB, 0xCD});
  const Bytes empty = Tlv(0x03, {});
  const DerStep step[] = {
      {DerControl::StepOver | DerControl::ReturnContent | DerControl::ReturnWhole, 0, nullptr}};
  ByteBlob slot[1] = {};
  DWORD count = 1;
  ASSERT_EQ(DerWalk(data.data(), static_cast<DWORD>(data.size()), &count, step, 1, slot), 5);
  EXPECT_EQ(slot[0].length, 2u);
  EXPECT_EQ(slot[0].bytes, data.data() + 3);
  count = 1;
  ASSERT_EQ(DerWalk(empty.data(), static_cast<DWORD>(empty.size()), &count, step, 1, slot), 2);
  EXPECT_EQ(slot[0].length, 0u);
}

}  // namespace

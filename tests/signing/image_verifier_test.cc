// VerifyImage and VerifyRecord on images made by the signer with the build's keys.
#include "signing/image_verifier.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <random>

#include "signing/key_table.h"
#include "signing_test_support.h"
#include "testsupport/stand_in_dialog.h"

namespace {

using signing_test::Bytes;

// A progress bar that records every message it gets.
class RecordingBar : public Window {
 public:
  struct Message {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  };
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    messages.push_back({message, wParam, lParam});
    return 0;
  }
  std::vector<WPARAM> Positions() const {
    std::vector<WPARAM> positions;
    for (const Message& m : messages) {
      if (m.message == PBM_SETPOS) positions.push_back(m.wParam);
    }
    return positions;
  }
  std::vector<Message> messages;
};

const signer::ImageHeader Header = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                    0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};

Bytes Payload(std::size_t size, unsigned seed) {
  Bytes payload(size);
  std::mt19937 random(seed);
  for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
  return payload;
}

class ImageVerifier : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < static_cast<int>(KeyCount); ++i) {
      keys_[i] = signing_test::BuildKey(i);
      if (!keys_[i]) GTEST_SKIP() << "the build's key directory holds no private keys";
      const Bytes der = signing_test::PublicDer(keys_[i]);
      ASSERT_EQ(der, Bytes(KeyTable[i], KeyTable[i] + BuiltInKeySize))
          << "key" << i << ".pem does not match the KeyTable";
    }
    // Every test starts as a fresh process would.
    ActiveKey.index = NoKeyLoaded;
    RememberedKey = RememberedKeyState{0, nullptr, 0};
  }

  Bytes Sign(int key, const Bytes& payload, std::size_t recordSize) {
    Bytes image;
    std::string error;
    EXPECT_TRUE(signer::SignImage(payload, keys_[key], Header, recordSize, &image, &error))
        << error;
    return image;
  }

  // One signed record as the signer lays it out.
  Bytes Record(int key, const Bytes& payload, std::uint8_t type, std::uint32_t sequence) {
    Bytes record;
    std::string error;
    EXPECT_TRUE(
        signer::AppendSignedRecord(keys_[key], payload, type, Header, sequence, &record, &error))
        << error;
    return record;
  }

  Bytes Preamble() {
    Bytes image;
    signer::AppendPreamble(Header, &image);
    return image;
  }

  LONG Verify(Bytes& image, DWORD key, BOOL verifyOnly = TRUE, HWND bar = nullptr) {
    return VerifyImage(&dialog_, image.data(), static_cast<DWORD>(image.size()), key, verifyOnly,
                       bar);
  }

  signer::PrivateKey keys_[KeyCount];
  UpdateDialog dialog_;
};

TEST_F(ImageVerifier, ShortFilesAndTheMagic) {
  Bytes short31(31, 0);
  std::memcpy(short31.data(), SignedImageMagic, SignedImageMagicSize);
  EXPECT_EQ(Verify(short31, 0), 0);
  // 32 bytes with the magic: one record head with lengths 0 and an empty signature.
  Bytes short32(32, 0);
  std::memcpy(short32.data(), SignedImageMagic, SignedImageMagicSize);
  short32[31] = FinalRecordType;
  EXPECT_EQ(Verify(short32, 0), -1);
  EXPECT_EQ(dialog_.operations, 2);
}

TEST_F(ImageVerifier, MissingMagicLeavesTheBarButCountsTheOperation) {
  Bytes image = Sign(0, Payload(100, 1), 64);
  image[3] ^= 0x20;
  RecordingBar bar;
  EXPECT_EQ(Verify(image, 0, TRUE, bar.Handle()), 0);
  EXPECT_TRUE(bar.messages.empty());
  EXPECT_EQ(dialog_.operations, 1);
  EXPECT_EQ(ActiveKey.index, 0u);  // the key is switched before the file is looked at
}

TEST_F(ImageVerifier, KeyIndexFourIsRefusedBeforeAnythingElse) {
  Bytes image = Sign(0, Payload(100, 1), 64);
  RecordingBar bar;
  EXPECT_EQ(Verify(image, 3), -1);  // signed with key 0
  const DWORD loaded = ActiveKey.index;
  EXPECT_EQ(Verify(image, 4, TRUE, bar.Handle()), -1);
  EXPECT_EQ(Verify(image, 0xFFFFFFFFu, TRUE, bar.Handle()), -1);
  EXPECT_EQ(ActiveKey.index, loaded);
  EXPECT_TRUE(bar.messages.empty());
  EXPECT_EQ(dialog_.operations, 3);
}

TEST_F(ImageVerifier, PreambleAndFinalRecordOnlyYieldZero) {
  Bytes image = Sign(0, {}, 64);
  ASSERT_EQ(image.size(), 23u + 9 + 128);
  RecordingBar bar;
  EXPECT_EQ(Verify(image, 0, TRUE, bar.Handle()), 0);
  ASSERT_EQ(bar.messages.size(), 3u);
  EXPECT_EQ(bar.messages[0].message, PBM_SETRANGE);
  EXPECT_EQ(bar.messages[0].lParam, MAKELPARAM(0, 100));
  EXPECT_EQ(bar.Positions(), (std::vector<WPARAM>{0, 100}));
}

TEST_F(ImageVerifier, ResultIsThePayloadSum) {
  const Bytes one = Payload(1, 2);
  Bytes single = Sign(0, one, 64);
  EXPECT_EQ(Verify(single, 0), 1);
  const Bytes payload = Payload(1000, 3);
  for (std::size_t recordSize : {1000u, 999u, 300u, 7u}) {
    Bytes image = Sign(2, payload, recordSize);
    EXPECT_EQ(Verify(image, 2), 1000) << recordSize;
  }
}

TEST_F(ImageVerifier, CompactionPutsThePayloadsBackToBack) {
  const Bytes payload = Payload(5000, 4);
  Bytes image = Sign(0, payload, 777);
  const Bytes original = image;
  EXPECT_EQ(Verify(image, 0, TRUE), 5000);
  EXPECT_EQ(image, original);  // verifying alone changes nothing
  EXPECT_EQ(Verify(image, 0, FALSE), 5000);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 5000), payload);
}

TEST_F(ImageVerifier, ProgressRisesPerRecordToOneHundred) {
  Bytes image = Sign(1, Payload(4000, 5), 1000);
  RecordingBar bar;
  EXPECT_EQ(Verify(image, 1, TRUE, bar.Handle()), 4000);
  const std::vector<WPARAM> positions = bar.Positions();
  ASSERT_EQ(positions.size(), 1u + 5);  // reset, four data records, the final record
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_EQ(positions.front(), 0u);
  EXPECT_EQ(positions.back(), 100u);
  // After the first record: 23 + 9 + 1000 + 128 of the file.
  EXPECT_EQ(positions[1], (23u + 9 + 1000 + 128) * 100 / image.size());
}

TEST_F(ImageVerifier, AnExtraByteOrACutIsRejected) {
  Bytes image = Sign(0, Payload(300, 6), 100);
  Bytes extra = image;
  extra.push_back(0);
  EXPECT_EQ(Verify(extra, 0), -1);
  // Cut after the second data record: the chain ends without its final record.
  Bytes cut(image.begin(), image.begin() + 23 + 2 * (9 + 100 + 128));
  EXPECT_EQ(Verify(cut, 0), -1);
  Bytes cutInside(image.begin(), image.end() - 1);
  EXPECT_EQ(Verify(cutInside, 0), -1);
}

TEST_F(ImageVerifier, RecordsOutOfOrderDroppedOrRepeatedAreRejected) {
  const Bytes a = Payload(50, 7);
  const Bytes b = Payload(60, 8);
  const Bytes c = Payload(70, 9);
  const Bytes r1 = Record(0, a, DataRecordType, 1);
  const Bytes r2 = Record(0, b, DataRecordType, 2);
  const Bytes r3 = Record(0, c, DataRecordType, 3);
  auto image = [&](std::initializer_list<const Bytes*> records, std::uint32_t finalSequence) {
    Bytes out = Preamble();
    for (const Bytes* record : records) out.insert(out.end(), record->begin(), record->end());
    const Bytes last = Record(0, {}, FinalRecordType, finalSequence);
    out.insert(out.end(), last.begin(), last.end());
    return out;
  };
  Bytes good = image({&r1, &r2, &r3}, 4);
  EXPECT_EQ(Verify(good, 0), 180);
  Bytes exchanged = image({&r2, &r1, &r3}, 4);
  EXPECT_EQ(Verify(exchanged, 0), -1);
  Bytes dropped = image({&r1, &r3}, 3);
  EXPECT_EQ(Verify(dropped, 0), -1);
  Bytes droppedLast = image({&r1, &r2}, 4);  // the final record still numbered 4
  EXPECT_EQ(Verify(droppedLast, 0), -1);
  Bytes repeated = image({&r1, &r2, &r2, &r3}, 5);
  EXPECT_EQ(Verify(repeated, 0), -1);
}

TEST_F(ImageVerifier, MalformedChainsAreRejectedAfterTheirSignature) {
  const Bytes a = Payload(40, 10);
  auto chain = [&](std::initializer_list<Bytes> records) {
    Bytes out = Preamble();
    for (const Bytes& record : records) out.insert(out.end(), record.begin(), record.end());
    return out;
  };
  Bytes emptyData = chain({Record(0, {}, DataRecordType, 1), Record(0, {}, FinalRecordType, 2)});
  RecordingBar bar;
  EXPECT_EQ(Verify(emptyData, 0, TRUE, bar.Handle()), -1);
  EXPECT_EQ(bar.Positions().size(), 2u);  // the reset and the first record's progress
  Bytes otherType = chain({Record(0, a, 3, 1), Record(0, {}, FinalRecordType, 2)});
  EXPECT_EQ(Verify(otherType, 0), -1);
  Bytes finalWithPayload = chain({Record(0, a, FinalRecordType, 1)});
  EXPECT_EQ(Verify(finalWithPayload, 0), -1);
  Bytes finalThenMore = chain({Record(0, {}, FinalRecordType, 1), Record(0, a, DataRecordType, 2),
                               Record(0, {}, FinalRecordType, 3)});
  EXPECT_EQ(Verify(finalThenMore, 0), -1);
}

TEST_F(ImageVerifier, EachFileNeedsTheKeyOfItsOwnIndex) {
  Bytes common = Sign(0, Payload(200, 11), 100);
  Bytes variant1 = Sign(1, Payload(200, 12), 100);
  Bytes variant2 = Sign(2, Payload(200, 13), 100);
  Bytes variant3 = Sign(3, Payload(200, 14), 100);
  EXPECT_EQ(Verify(common, 0), 200);
  EXPECT_EQ(RememberedKey.remembered, 1u);
  EXPECT_EQ(RememberedKey.reference, ActiveKey.bytes);
  EXPECT_EQ(Verify(variant3, 3), 200);
  EXPECT_EQ(Verify(variant2, 1), -1);
  EXPECT_EQ(Verify(variant2, 2), 200);
  EXPECT_EQ(Verify(variant1, 1), 200);
  EXPECT_EQ(Verify(common, 1), -1);
  EXPECT_EQ(Verify(common, 0), 200);
  EXPECT_EQ(dialog_.operations, 7);
}

TEST_F(ImageVerifier, LengthsWhoseSumWrapsAreNeverUsed) {
  Bytes image = Sign(0, Payload(300, 15), 300);
  // P = 0xFFFFFFF0, S = 0x20: the sum wraps to 0x10, well inside the file.
  const BYTE wrapping[8] = {0xF0, 0xFF, 0xFF, 0xFF, 0x20, 0x00, 0x00, 0x00};
  std::memcpy(image.data() + 23, wrapping, sizeof wrapping);
  const Bytes before = image;
  EXPECT_EQ(Verify(image, 0, FALSE), -1);
  EXPECT_EQ(image, before);  // nothing was moved
  const BYTE wrappingSignature[8] = {0x10, 0x00, 0x00, 0x00, 0xF8, 0xFF, 0xFF, 0xFF};
  std::memcpy(image.data() + 23, wrappingSignature, sizeof wrappingSignature);
  EXPECT_EQ(Verify(image, 0, FALSE), -1);
}

TEST_F(ImageVerifier, EverySingleBitFlipIsRejected) {
  const Bytes payload = Payload(24, 16);
  const Bytes image = Sign(0, payload, 12);  // two data records
  ASSERT_EQ(image.size(), 23u + 2 * (9 + 12 + 128) + 9 + 128);
  Bytes copy = image;
  ASSERT_EQ(Verify(copy, 0, FALSE), 24);
  for (std::size_t bit = 0; bit < image.size() * 8; ++bit) {
    for (BOOL verifyOnly : {TRUE, FALSE}) {
      Bytes flipped = image;
      flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      EXPECT_LE(Verify(flipped, 0, verifyOnly), 0) << "bit " << bit;
    }
  }
}

TEST_F(ImageVerifier, AHundredMillionByteImageReportsRisingProgress) {
  const std::size_t recordSize = 1 << 20;
  // 96 data records and the final record make the file exactly 100,000,000 bytes.
  const std::size_t records = 96;
  Bytes payload(100'000'000 - 23 - (records + 1) * (9 + 128), 0);
  ASSERT_EQ((payload.size() + recordSize - 1) / recordSize, records);
  for (std::size_t i = 0; i < payload.size(); i += 4096) payload[i] = static_cast<BYTE>(i >> 12);
  Bytes image = Sign(0, payload, recordSize);
  ASSERT_EQ(image.size(), 100'000'000u);
  RecordingBar bar;
  EXPECT_EQ(Verify(image, 0, TRUE, bar.Handle()), static_cast<LONG>(payload.size()));
  const std::vector<WPARAM> positions = bar.Positions();
  ASSERT_EQ(positions.size(), records + 2);
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_LT(positions[1], positions[50]);
  EXPECT_EQ(positions[1], static_cast<WPARAM>((23ull + 9 + recordSize + 128) * 100 / 100'000'000));
  EXPECT_EQ(positions.back(), 100u);
}

class RecordCheck : public ImageVerifier {
 protected:
  RecordDescriptor Descriptor(const Bytes& payload, const Bytes& signature, DWORD sequence) {
    RecordDescriptor record = {};
    record.payload = payload.data();
    record.payloadLength = static_cast<DWORD>(payload.size());
    record.signature = signature.data();
    record.signatureLength = static_cast<DWORD>(signature.size());
    std::memcpy(record.imageHeader, Header.data(), ImageHeaderSize);
    record.sequenceNumber = sequence;
    record.recordType = DataRecordType;
    return record;
  }
  Bytes SignatureOf(int key, const Bytes& payload, DWORD sequence) {
    const Bytes record = Record(key, payload, DataRecordType, sequence);
    return Bytes(record.end() - 128, record.end());
  }
};

TEST_F(RecordCheck, CandidatesAreTriedInOrderAndTheLastTriedIsNoted) {
  const Bytes payload = Payload(10, 17);
  const Bytes signature = SignatureOf(2, payload, 1);
  const RecordDescriptor record = Descriptor(payload, signature, 1);
  const BYTE* references[4] = {KeyTable[0], KeyTable[1], KeyTable[2], KeyTable[3]};
  const DWORD lengths[4] = {162, 162, 162, 162};

  EXPECT_EQ(VerifyRecord(record, KeyCandidateList{references, lengths, 4, 2, 1}), E_FAIL);
  EXPECT_EQ(VerifyRecord(record, KeyCandidateList{references, lengths, 4, 0, 1}), E_FAIL);
  EXPECT_EQ(RememberedKey.remembered, 0u);
  EXPECT_EQ(RememberedKey.reference, KeyTable[1]);
  EXPECT_EQ(VerifyRecord(record, KeyCandidateList{references, lengths, 4, 0, 3}), S_OK);
  EXPECT_EQ(RememberedKey.remembered, 1u);
  EXPECT_EQ(RememberedKey.reference, KeyTable[2]);

  // From now on only the remembered key counts, whatever the list says.
  const Bytes otherSignature = SignatureOf(3, payload, 1);
  const RecordDescriptor other = Descriptor(payload, otherSignature, 1);
  EXPECT_EQ(VerifyRecord(other, KeyCandidateList{references, lengths, 4, 3, 3}), E_FAIL);
  EXPECT_EQ(VerifyRecord(record, KeyCandidateList{references, lengths, 4, 3, 3}), S_OK);
}

TEST_F(RecordCheck, TheSignedMessageBindsEveryField) {
  const Bytes payload = Payload(10, 18);
  const Bytes signature = SignatureOf(0, payload, 5);
  const BYTE* references[1] = {KeyTable[0]};
  const DWORD lengths[1] = {162};
  const KeyCandidateList candidates = {references, lengths, 1, 0, 0};
  RecordDescriptor record = Descriptor(payload, signature, 5);
  EXPECT_EQ(VerifyRecord(record, candidates), S_OK);
  RecordDescriptor changed = record;
  changed.sequenceNumber = 6;
  EXPECT_EQ(VerifyRecord(changed, candidates), E_FAIL);
  changed = record;
  changed.reserved[2] = 1;
  EXPECT_EQ(VerifyRecord(changed, candidates), E_FAIL);
  changed = record;
  changed.imageHeader[15] ^= 1;
  EXPECT_EQ(VerifyRecord(changed, candidates), E_FAIL);
  changed = record;
  changed.recordType = FinalRecordType;
  EXPECT_EQ(VerifyRecord(changed, candidates), E_FAIL);
  changed = record;
  changed.payloadLength = 9;
  EXPECT_EQ(VerifyRecord(changed, candidates), E_FAIL);
}

}  // namespace

namespace {

// A candidate list whose last index lies beyond its entries is tried only as far as it goes.
TEST_F(RecordCheck, ListsNamingMoreEntriesThanTheyHoldStopAtTheirEnd) {
  const Bytes payload = Payload(10, 19);
  const Bytes signature = SignatureOf(1, payload, 1);
  const RecordDescriptor record = Descriptor(payload, signature, 1);
  const BYTE* references[1] = {KeyTable[0]};
  const DWORD lengths[1] = {162};
  EXPECT_EQ(VerifyRecord(record, KeyCandidateList{references, lengths, 1, 0, 3}), E_FAIL);
  EXPECT_EQ(RememberedKey.reference, KeyTable[0]);
  EXPECT_EQ(RememberedKey.remembered, 0u);
}

}  // namespace

#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "settings_device.h"
#include "testsupport/factory_settings.h"

namespace {

using settings_test::Device;
using settings_test::FirstBlockOfType;
using settings_test::FlashSession;

constexpr DWORD kSemi = kSemiPermanentSettingsType;

std::vector<BYTE> Bytes(DWORD count, BYTE value) {
  return std::vector<BYTE>(count, value);
}

std::vector<BYTE> Utf16(const std::u16string& text) {
  std::vector<BYTE> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  return bytes;
}

std::vector<BYTE> PayloadOf(DWORD type) {
  const BYTE* payload = SettingsStore::Payload(type);
  return std::vector<BYTE>(payload, payload + kSettingsPayloadCapacity);
}

// A payload as a list of records would lay it out.
struct ModelRecord {
  DWORD id;
  DWORD attribute;
  std::vector<BYTE> data;
};
std::vector<BYTE> Layout(const std::vector<ModelRecord>& records) {
  std::vector<BYTE> payload;
  for (const ModelRecord& record : records) {
    for (DWORD value : {record.id, record.attribute, static_cast<DWORD>(record.data.size())}) {
      for (int i = 0; i < 4; ++i) payload.push_back(static_cast<BYTE>(value >> (8 * i)));
    }
    payload.insert(payload.end(), record.data.begin(), record.data.end());
  }
  payload.resize(kSettingsPayloadCapacity, 0xFF);
  return payload;
}

class SettingsStoreTest : public testing::Test {
 protected:
  // Every test starts from four valid empty settings blocks.
  void SetUp() override { ASSERT_EQ(testsupport::FormatSettings(std::nullopt), ""); }

  void BeginCycle() {
    ASSERT_TRUE(SettingsStore::Open());
    SettingsStore::Lock();
    ASSERT_TRUE(SettingsStore::Load());
  }
  void EndCycle() {
    SettingsStore::Unlock();
    SettingsStore::Close();
  }

  // Offset in nor.bin of payload byte `index` of a partition.
  static std::uint64_t PayloadOffset(DWORD type, DWORD index = 0) {
    return Device().Blocks().Start(FirstBlockOfType(type)) + kSettingsHeaderSize +
           index;
  }

  // Stores records in a partition through a whole cycle.
  void Store(DWORD type, const std::vector<ModelRecord>& records) {
    BeginCycle();
    for (const ModelRecord& record : records) {
      ASSERT_TRUE(SettingsStore::PutRecord(record.id, type, record.data.data(),
                                           static_cast<DWORD>(record.data.size()),
                                           record.attribute));
    }
    ASSERT_TRUE(SettingsStore::Flush());
    EndCycle();
  }
};

TEST_F(SettingsStoreTest, EmptyPartitionTakesTheFirstRecordAtOffsetZero) {
  BeginCycle();
  BYTE out[8];
  EXPECT_FALSE(SettingsStore::GetRecord(5, kSemi, out, sizeof out));
  const std::vector<BYTE> data = {1, 2, 3};
  ASSERT_TRUE(SettingsStore::PutRecord(5, kSemi, data.data(), 3, 9));
  EXPECT_EQ(PayloadOf(kSemi), Layout({{5, 9, data}}));
  ASSERT_TRUE(SettingsStore::GetRecord(5, kSemi, out, sizeof out));
  EXPECT_EQ(0, std::memcmp(out, data.data(), 3));
  EndCycle();
}

TEST_F(SettingsStoreTest, UpdateRequestIsStoredAsSixteenBytesAndSurvivesTheCycle) {
  BeginCycle();
  SettingsStore::RequestUpdate(1);
  ASSERT_TRUE(SettingsStore::Flush());
  EndCycle();
  EXPECT_EQ(Device().ReadNor(PayloadOffset(kSemi), 17),
            (std::vector<BYTE>{0x25, 0, 0, 0, 0x02, 0, 0, 0, 0x04, 0, 0, 0, 0x01, 0, 0, 0, 0xFF}));
  // The other partitions were not written: they still hold their empty blocks.
  EXPECT_EQ(Device().ReadNor(PayloadOffset(kSerialSettingsType) - 7, 4),
            (std::vector<BYTE>{0, 0, 0, 0}));
  BeginCycle();
  BYTE value[4] = {};
  ASSERT_TRUE(SettingsStore::GetRecord(RecordId::UpdateRequest, kSemi, value, 4));
  EXPECT_EQ(value[0], 1);
  EndCycle();
}

TEST_F(SettingsStoreTest, LargestRecordFillsThePayloadAndNothingElseFits) {
  BeginCycle();
  const std::vector<BYTE> big = Bytes(4084, 0x3C);
  ASSERT_TRUE(SettingsStore::PutRecord(1, kSemi, big.data(), 4084, 0));
  EXPECT_EQ(PayloadOf(kSemi), Layout({{1, 0, big}}));
  const BYTE one = 1;
  EXPECT_FALSE(SettingsStore::PutRecord(2, kSemi, &one, 1, 0));
  EXPECT_EQ(PayloadOf(kSemi), Layout({{1, 0, big}}));
  EndCycle();
}

TEST_F(SettingsStoreTest, OversizedRecordFailsAndKeepsTheExistingOne) {
  BeginCycle();
  const std::vector<BYTE> small = {7, 7};
  ASSERT_TRUE(SettingsStore::PutRecord(3, kSemi, small.data(), 2, 0));
  const std::vector<BYTE> huge = Bytes(4085, 0x01);
  EXPECT_FALSE(SettingsStore::PutRecord(3, kSemi, huge.data(), 4085, 0));
  EXPECT_FALSE(SettingsStore::PutRecord(3, kSemi, huge.data(), 0xFFFFFFFFu, 0));
  EXPECT_EQ(PayloadOf(kSemi), Layout({{3, 0, small}}));
  EndCycle();
}

TEST_F(SettingsStoreTest, PutRemovesEveryOldCopyAndAppends) {
  BeginCycle();
  const std::vector<BYTE> a = {0xA}, b = {0xB, 0xB}, c = {0xC, 0xC, 0xC}, d = {0xD};
  ASSERT_TRUE(SettingsStore::PutRecord(9, kSemi, a.data(), 1, 1));
  ASSERT_TRUE(SettingsStore::PutRecord(8, kSemi, b.data(), 2, 0));
  // Two records with id 9 can only come from elsewhere: lay them out directly in flash.
  EndCycle();
  {
    FlashSession flash;
    const std::vector<BYTE> payload = Layout({{9, 1, a}, {9, 2, b}, {10, 3, c}});
    ASSERT_TRUE(SettingsBlock::Write(FirstBlockOfType(kSemi), payload.data(), 4096));
  }
  BeginCycle();
  ASSERT_TRUE(SettingsStore::PutRecord(9, kSemi, d.data(), 1, 4));
  EXPECT_EQ(PayloadOf(kSemi), Layout({{10, 3, c}, {9, 4, d}}));
  EndCycle();
}

// A second copy that overruns the payload where it stands fits once the first copy's removal
// moves it down, and is removed too: the new record belongs where free space then starts, not
// behind the 0xFF bytes where the overrunning copy ended before the delete.
TEST_F(SettingsStoreTest, PutAfterACopyThatOnlyFitsOnceMovedDownAppendsAtTheRealFreeSpace) {
  std::vector<BYTE> payload = Layout({{RecordId::PartNumber, 0, Utf16(u"52614-11")},
                                      {RecordId::UpdateRequest, 2, Bytes(100, 7)}});
  ASSERT_EQ(payload[140], 0xFF);
  const BYTE overrunning[12] = {37, 0, 0, 0, 2, 0, 0, 0, 0x9A, 0x0F, 0, 0};  // length 3994
  std::memcpy(payload.data() + 140, overrunning, sizeof overrunning);
  {
    FlashSession flash;
    ASSERT_TRUE(SettingsBlock::Write(FirstBlockOfType(kSemi), payload.data(), 4096));
  }
  BeginCycle();
  ASSERT_TRUE(SettingsStore::RequestUpdate(1));
  EXPECT_EQ(PayloadOf(kSemi), Layout({{RecordId::PartNumber, 0, Utf16(u"52614-11")},
                                      {RecordId::UpdateRequest, 2, {1, 0, 0, 0}}}));
  EndCycle();
}

TEST_F(SettingsStoreTest, SameSizeReplacementFitsInAFullPartition) {
  BeginCycle();
  const std::vector<BYTE> first = Bytes(2000, 1), second = Bytes(2060, 2), again = Bytes(2000, 3);
  ASSERT_TRUE(SettingsStore::PutRecord(1, kSemi, first.data(), 2000, 0));
  ASSERT_TRUE(SettingsStore::PutRecord(2, kSemi, second.data(), 2060, 0));
  ASSERT_TRUE(SettingsStore::PutRecord(1, kSemi, again.data(), 2000, 5));
  EXPECT_EQ(PayloadOf(kSemi), Layout({{2, 0, second}, {1, 5, again}}));
  EndCycle();
}

TEST_F(SettingsStoreTest, PutThatDoesNotFitLeavesBufferAndFlashUntouched) {
  // A nearly full partition in flash, with a bit flipped at rest: any rewrite would clear it.
  const std::vector<BYTE> first = Bytes(2000, 1), second = Bytes(2060, 2);
  Store(kSemi, {{1, 6, first}, {2, 0, second}});
  Device().FlipNorBit(PayloadOffset(kSemi, 100), 3);
  const std::vector<BYTE> flipped = Device().ReadNor(PayloadOffset(kSemi), 4096);

  BeginCycle();
  const std::vector<BYTE> before = PayloadOf(kSemi);
  const std::vector<BYTE> bigger = Bytes(2001 + 12, 9);
  EXPECT_FALSE(SettingsStore::PutRecord(1, kSemi, bigger.data(), 2013, 0));
  EXPECT_EQ(PayloadOf(kSemi), before) << "the record being replaced is still there";
  ASSERT_TRUE(SettingsStore::Flush());
  EndCycle();
  EXPECT_EQ(Device().ReadNor(PayloadOffset(kSemi), 4096), flipped) << "nothing was written";
}

TEST_F(SettingsStoreTest, RecordOperationsRefuseBadArguments) {
  BeginCycle();
  const BYTE data[4] = {1, 2, 3, 4};
  BYTE out[4];
  EXPECT_FALSE(SettingsStore::PutRecord(1, 5, data, 4, 0));
  EXPECT_FALSE(SettingsStore::PutRecord(1, kSemi, nullptr, 4, 0));
  EXPECT_FALSE(SettingsStore::PutRecord(1, kSemi, data, 0, 0));
  ASSERT_TRUE(SettingsStore::PutRecord(1, kSemi, data, 4, 0));
  EXPECT_FALSE(SettingsStore::GetRecord(1, 5, out, 4));
  EXPECT_FALSE(SettingsStore::GetRecord(1, kSemi, nullptr, 4));
  EXPECT_FALSE(SettingsStore::GetRecord(1, kSemi, out, 0));
  EXPECT_FALSE(SettingsStore::GetRecord(1, kSemi, out, 3));
  EXPECT_TRUE(SettingsStore::GetRecord(1, kSemi, out, 4));
  EXPECT_EQ(SettingsStore::Payload(5), nullptr);
  EXPECT_FALSE(SettingsStore::RemoveRecord(1, 5));
  EndCycle();
}

TEST_F(SettingsStoreTest, HugeLengthFieldInALoadedPayloadEndsScansSafely) {
  {
    FlashSession flash;
    std::vector<BYTE> payload = Layout({{1, 0, {1}}, {2, 0, Bytes(3, 2)}});
    // Record 2's length field becomes 0xFFFFFFF0.
    payload[13 + 8] = 0xF0;
    payload[13 + 9] = payload[13 + 10] = payload[13 + 11] = 0xFF;
    ASSERT_TRUE(SettingsBlock::Write(FirstBlockOfType(kSemi), payload.data(), 4096));
  }
  BeginCycle();
  const std::vector<BYTE> before = PayloadOf(kSemi);
  BYTE out[16];
  EXPECT_FALSE(SettingsStore::GetRecord(2, kSemi, out, sizeof out));
  EXPECT_FALSE(SettingsStore::GetRecord(3, kSemi, out, sizeof out));
  const BYTE data = 7;
  EXPECT_FALSE(SettingsStore::PutRecord(3, kSemi, &data, 1, 0));
  EXPECT_FALSE(SettingsStore::PutRecord(2, kSemi, &data, 1, 0));
  EXPECT_EQ(PayloadOf(kSemi), before);
  EXPECT_TRUE(SettingsStore::GetRecord(1, kSemi, out, sizeof out));
  EndCycle();
}

// Part numbers.

TEST_F(SettingsStoreTest, PartNumberOfFortyBytesReadsBackTerminated) {
  const std::u16string text = u"ABCDEFGHIJKLMNOPQRST";  // 20 characters, 40 bytes
  Store(kSemi, {{RecordId::PartNumber, 0, Utf16(text)}});
  BeginCycle();
  WCHAR buffer[kPartNumberCharacters + 1] = {};
  EXPECT_TRUE(SettingsStore::ReadPartNumber(buffer, kPartNumberCharacters));
  EXPECT_EQ(std::u16string(buffer), text);
  EndCycle();
}

TEST_F(SettingsStoreTest, PartNumberOfFortyTwoBytesReadsAsUnprogrammed) {
  Store(kSemi, {{RecordId::PartNumber, 0, Utf16(u"ABCDEFGHIJKLMNOPQRSTU")}});
  BeginCycle();
  WCHAR buffer[kPartNumberCharacters + 1] = {};
  EXPECT_FALSE(SettingsStore::ReadPartNumber(buffer, kPartNumberCharacters));
  EXPECT_EQ(std::u16string(buffer), u"Unprogrammed");
  EndCycle();
}

TEST_F(SettingsStoreTest, MissingPartNumberIsCutToASmallBufferAndTerminated) {
  BeginCycle();
  WCHAR buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_FALSE(SettingsStore::ReadPartNumber(buffer, 5));
  EXPECT_EQ(std::u16string(buffer), u"Unpr");
  EXPECT_EQ(buffer[5], u'#') << "nothing written past the capacity";
  WCHAR one = u'#';
  EXPECT_FALSE(SettingsStore::ReadPartNumber(&one, 1));
  EXPECT_EQ(one, 0);
  WCHAR none = u'#';
  EXPECT_FALSE(SettingsStore::ReadPartNumber(&none, 0));
  EXPECT_EQ(none, u'#');
  EndCycle();
}

// Twice a capacity above 2^31 characters would wrap to a tiny byte count.
TEST_F(SettingsStoreTest, HugePartNumberCapacityDoesNotWrap) {
  Store(kSemi, {{RecordId::PartNumber, 0, Utf16(u"52614-22")}});
  BeginCycle();
  WCHAR buffer[32] = {};
  EXPECT_TRUE(SettingsStore::ReadPartNumber(buffer, 0x80000001u));
  EXPECT_EQ(std::u16string(buffer), u"52614-22");
  EndCycle();
}

TEST_F(SettingsStoreTest, PartNumberWithTerminatorSelectsItsVariant) {
  Store(kSemi, {{RecordId::PartNumber, 0, Utf16(std::u16string(u"52614-13") + u'\0')}});
  EXPECT_EQ(GetDeviceVariant(), 3);
}

TEST_F(SettingsStoreTest, EachKnownPartNumberGivesItsVariant) {
  const std::vector<std::pair<std::u16string, DeviceVariant>> cases = {
      {u"52614-01", 1}, {u"52614-21", 1}, {u"52614-12", 2}, {u"52614-13", 3},
      {u"52614-23", 3}, {u"52614-04", 0}, {u"52614-1", 0},  {u"52614-130", 0}};
  for (const auto& [text, variant] : cases) {
    Store(kSemi, {{RecordId::PartNumber, 0, Utf16(text)}});
    EXPECT_EQ(GetDeviceVariant(), variant) << std::string(text.begin(), text.end());
  }
}

TEST(VariantTable, MapsPartNumbersAndEndsWithMinusTwo) {
  EXPECT_EQ(VariantOfPartNumber(u"52614-02"), 2);
  EXPECT_EQ(VariantOfPartNumber(u"52614-22"), 2);
  EXPECT_EQ(VariantOfPartNumber(u"Unprogrammed"), 0);
  EXPECT_EQ(VariantOfPartNumber(u""), 0);
  EXPECT_EQ(VariantOfPartNumber(nullptr), 0);
  EXPECT_EQ(VariantTable[3].variant, -2);
  EXPECT_EQ(VariantTable[3].partNumbers, nullptr);
}

// The partition table lives at the start of the last block; entry i's type field is at
// 16 + 48 i. Retyping the UUID settings entry makes the table lack type 7.
TEST_F(SettingsStoreTest, TableWithoutUuidSettingsFailsLoadAndFlushAndGivesVariantZero) {
  Store(kSemi, {{RecordId::PartNumber, 0, Utf16(u"52614-13")}});
  ASSERT_EQ(GetDeviceVariant(), 3);
  const std::uint64_t table = Device().Blocks().Start(Device().Blocks().Count() - 1);
  const std::vector<BYTE> original = Device().ReadNor(table, 800);
  std::vector<BYTE> changed = original;
  int retyped = 0;
  for (std::size_t entry = 0; entry < 16; ++entry) {
    BYTE* type = changed.data() + 16 + 48 * entry;
    if (type[0] == 7 && type[1] == 0 && type[2] == 0 && type[3] == 0) {
      type[0] = 3;
      ++retyped;
    }
  }
  ASSERT_EQ(retyped, 1);
  Device().WriteNor(table, changed);
  const std::vector<BYTE> semi = Device().ReadNor(PayloadOffset(kSemi), 4096);

  ASSERT_TRUE(SettingsStore::Open());
  EXPECT_FALSE(SettingsStore::IsOpened());
  SettingsStore::Lock();
  EXPECT_FALSE(SettingsStore::Load());
  EXPECT_EQ(PayloadOf(kSemi), Bytes(4096, 0xFF));
  WCHAR partNumber[kPartNumberCharacters + 1] = {};
  EXPECT_FALSE(SettingsStore::ReadPartNumber(partNumber, kPartNumberCharacters));
  EXPECT_EQ(std::u16string(partNumber), u"Unprogrammed");
  SettingsStore::RequestUpdate(1);
  EXPECT_FALSE(SettingsStore::Flush());
  EndCycle();
  EXPECT_EQ(GetDeviceVariant(), 0);
  EXPECT_EQ(Device().ReadNor(PayloadOffset(kSemi), 4096), semi) << "no write reached flash";

  Device().WriteNor(table, original);
  EXPECT_EQ(GetDeviceVariant(), 3);
}

TEST_F(SettingsStoreTest, UnprogrammedDeviceHasVariantZero) {
  EXPECT_EQ(GetDeviceVariant(), 0);
}

// Flags and cycles.

TEST_F(SettingsStoreTest, LoadAndFlushNeedTheLock) {
  const std::vector<BYTE> data = {4, 2};
  Store(kSemi, {{1, 0, data}});
  Device().FlipNorBit(PayloadOffset(kSemi, 12), 0);
  ASSERT_TRUE(SettingsStore::Open());
  EXPECT_FALSE(SettingsStore::Load()) << "before Lock";
  EXPECT_EQ(PayloadOf(kSemi), Bytes(4096, 0xFF));
  EXPECT_FALSE(SettingsStore::PutRecord(2, kSemi, data.data(), 2, 0)) << "nothing loaded";
  EXPECT_FALSE(SettingsStore::Flush()) << "before Lock";
  SettingsStore::Lock();
  ASSERT_TRUE(SettingsStore::Load());
  ASSERT_TRUE(SettingsStore::PutRecord(2, kSemi, data.data(), 2, 0));
  SettingsStore::Unlock();
  EXPECT_FALSE(SettingsStore::Load()) << "after Unlock";
  EXPECT_FALSE(SettingsStore::Flush()) << "after Unlock";
  SettingsStore::Close();
  const std::vector<BYTE> stored = Device().ReadNor(PayloadOffset(kSemi), 15);
  EXPECT_EQ(stored[12], data[0] ^ 1) << "the flash was not rewritten";
}

TEST_F(SettingsStoreTest, FlushWithNothingDirtyWritesNothing) {
  Store(kSemi, {{1, 0, {1, 2, 3}}});
  Device().FlipNorBit(PayloadOffset(kSemi, 13), 6);
  const std::vector<BYTE> flipped = Device().ReadNor(PayloadOffset(kSemi), 4096);
  BeginCycle();
  EXPECT_TRUE(SettingsStore::Flush());
  EndCycle();
  EXPECT_EQ(Device().ReadNor(PayloadOffset(kSemi), 4096), flipped);
}

// A put left unflushed by one cycle must not make the next cycle's flush write the erased
// buffers that its Open left, or the partition's records would be lost.
TEST_F(SettingsStoreTest, OpenClearsDirtyFlagsLeftByAnUnflushedCycle) {
  Store(kSemi, {{1, 0, {1, 2, 3}}});
  BeginCycle();
  const BYTE data = 9;
  ASSERT_TRUE(SettingsStore::PutRecord(2, kSemi, &data, 1, 0));
  EndCycle();

  ASSERT_TRUE(SettingsStore::Open());
  SettingsStore::Lock();
  EXPECT_TRUE(SettingsStore::Flush());
  EndCycle();

  BeginCycle();
  BYTE out[3];
  EXPECT_TRUE(SettingsStore::GetRecord(1, kSemi, out, 3)) << "record 1 survived";
  EXPECT_FALSE(SettingsStore::GetRecord(2, kSemi, out, 1));
  EndCycle();
}

// The fault plan is read when the flash window is mapped, so it is set before the cycle opens.
TEST_F(SettingsStoreTest, FailedWriteFailsTheFlushAndClearsTheDirtyFlag) {
  Device().SetFaults(
      {sim::Fault::EraseError(FirstBlockOfType(kSemi))});
  BeginCycle();
  SettingsStore::RequestUpdate(1);
  const BYTE data = 5;
  ASSERT_TRUE(SettingsStore::PutRecord(3, kSerialSettingsType, &data, 1, 0));
  EXPECT_FALSE(SettingsStore::Flush());
  EXPECT_TRUE(SettingsStore::Flush()) << "nothing is dirty any more";
  EndCycle();
  Device().SetFaults({});
  BeginCycle();
  BYTE out = 0;
  EXPECT_TRUE(SettingsStore::GetRecord(3, kSerialSettingsType, &out, 1))
      << "the other partition was still written";
  EndCycle();
}

TEST_F(SettingsStoreTest, RemoveRecordMarksThePartitionForWriting) {
  Store(kSemi, {{1, 0, {1}}, {2, 0, {2}}});
  BeginCycle();
  EXPECT_TRUE(SettingsStore::RemoveRecord(1, kSemi));
  EXPECT_FALSE(SettingsStore::RemoveRecord(1, kSemi));
  ASSERT_TRUE(SettingsStore::Flush());
  EndCycle();
  BeginCycle();
  EXPECT_EQ(PayloadOf(kSemi), Layout({{2, 0, {2}}}));
  EndCycle();
}

TEST_F(SettingsStoreTest, UnreadablePartitionFailsLoadButTheOthersLoad) {
  Store(kSemi, {{1, 0, {1, 2, 3}}});
  Store(kMacSettingsType, {{4, 0, {4}}});
  // Two bits in the first chunk of the MAC partition: uncorrectable.
  Device().FlipNorBit(PayloadOffset(kMacSettingsType, 0), 0);
  Device().FlipNorBit(PayloadOffset(kMacSettingsType, 0), 1);
  ASSERT_TRUE(SettingsStore::Open());
  SettingsStore::Lock();
  EXPECT_FALSE(SettingsStore::Load());
  EXPECT_TRUE(SettingsStore::LoadedFromFlash(kSemi));
  EXPECT_FALSE(SettingsStore::LoadedFromFlash(kMacSettingsType));
  EXPECT_TRUE(SettingsStore::LoadedFromFlash(kSerialSettingsType));
  BYTE out[3];
  EXPECT_TRUE(SettingsStore::GetRecord(1, kSemi, out, 3));
  // The failed buffer holds the chunk as read.
  EXPECT_EQ(PayloadOf(kMacSettingsType)[0], 4 ^ 3);
  EndCycle();
}

// The damaged bytes left by a failed read name variant 2; trusting them, or writing them back
// with fresh codes, would install the wrong image or make the damage permanent.
TEST_F(SettingsStoreTest, UnreadableBlockDecidesNothingAndIsNeverWrittenBack) {
  Store(kSemi, {{RecordId::PartNumber, 0, Utf16(u"52614-01")}, {9, 0, {1}}});
  Device().FlipNorBit(PayloadOffset(kSemi, 12 + 14), 0);
  Device().FlipNorBit(PayloadOffset(kSemi, 12 + 14), 1);
  const std::vector<BYTE> damaged = Device().ReadNor(PayloadOffset(kSemi) - 15, 4163);
  EXPECT_EQ(GetDeviceVariant(), 0);
  ASSERT_TRUE(SettingsStore::Open());
  SettingsStore::Lock();
  EXPECT_FALSE(SettingsStore::Load());
  EXPECT_FALSE(SettingsStore::LoadedFromFlash(kSemi));
  EXPECT_FALSE(SettingsStore::RequestUpdate(1));
  EXPECT_FALSE(SettingsStore::RemoveRecord(9, kSemi));
  EXPECT_TRUE(SettingsStore::Flush()) << "nothing was changed";
  EndCycle();
  EXPECT_EQ(Device().ReadNor(PayloadOffset(kSemi) - 15, 4163), damaged);
}

TEST_F(SettingsStoreTest, RecordsSurviveManyCyclesInEveryPartition) {
  for (int round = 0; round < 3; ++round) {
    BeginCycle();
    for (DWORD type : kSettingsPartitionTypes) {
      const std::vector<BYTE> data = Bytes(10 + type, static_cast<BYTE>(round));
      ASSERT_TRUE(SettingsStore::PutRecord(100 + type, type, data.data(),
                                           static_cast<DWORD>(data.size()), type));
    }
    ASSERT_TRUE(SettingsStore::Flush());
    EndCycle();
  }
  BeginCycle();
  for (DWORD type : kSettingsPartitionTypes) {
    EXPECT_EQ(PayloadOf(type), Layout({{100 + type, type, Bytes(10 + type, 2)}})) << type;
  }
  EndCycle();
}

// Random puts, removals and lookups against a plain list of records: after every step the
// payload is exactly the list laid out, so free space is one run of 0xFF at the end.
TEST_F(SettingsStoreTest, RandomOperationsAgreeWithAListOfRecords) {
  std::mt19937 random(20261208);
  BeginCycle();
  std::vector<ModelRecord> model;
  const auto used = [&model](DWORD exceptId) {
    DWORD total = 0;
    for (const ModelRecord& record : model) {
      if (record.id != exceptId) total += 12 + static_cast<DWORD>(record.data.size());
    }
    return total;
  };
  for (int step = 0; step < 3000; ++step) {
    const DWORD id = 1 + random() % 12;
    const unsigned operation = random() % 10;
    if (operation < 6) {
      // Mostly small records, sometimes large ones, so that the partition fills up.
      const DWORD length = random() % 8 == 0 ? 1 + random() % 2000 : 1 + random() % 200;
      std::vector<BYTE> data(length);
      for (BYTE& byte : data) byte = static_cast<BYTE>(random());
      const DWORD attribute = static_cast<DWORD>(random());
      const bool fits = used(id) + 12 + length <= kSettingsPayloadCapacity;
      ASSERT_EQ(SettingsStore::PutRecord(id, kSemi, data.data(), length, attribute), fits)
          << "step " << step;
      if (fits) {
        std::erase_if(model, [id](const ModelRecord& record) { return record.id == id; });
        model.push_back({id, attribute, data});
      }
    } else if (operation < 8) {
      const bool present = std::any_of(model.begin(), model.end(),
                                       [id](const ModelRecord& record) { return record.id == id; });
      ASSERT_EQ(SettingsStore::RemoveRecord(id, kSemi), present) << "step " << step;
      std::erase_if(model, [id](const ModelRecord& record) { return record.id == id; });
    } else {
      const auto found = std::find_if(model.begin(), model.end(),
                                      [id](const ModelRecord& record) { return record.id == id; });
      std::vector<BYTE> out(4096);
      DWORD capacity = static_cast<DWORD>(out.size());
      DWORD attribute = 0;
      const bool ok = FindRecord(id, SettingsStore::Payload(kSemi), kSettingsPayloadCapacity,
                                 out.data(), &capacity, &attribute);
      ASSERT_EQ(ok, found != model.end()) << "step " << step;
      if (ok) {
        out.resize(capacity);
        ASSERT_EQ(out, found->data) << "step " << step;
        ASSERT_EQ(attribute, found->attribute) << "step " << step;
      }
    }
    ASSERT_EQ(PayloadOf(kSemi), Layout(model)) << "step " << step;
  }
  // And the list survives the trip through flash.
  ASSERT_TRUE(SettingsStore::Flush());
  EndCycle();
  BeginCycle();
  EXPECT_EQ(PayloadOf(kSemi), Layout(model));
  EndCycle();
}

}  // namespace

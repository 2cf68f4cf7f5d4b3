#include "settings/settings_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr DWORD kPayload = 4096;

// A payload buffer built record by record, erased after the last one.
class Payload {
 public:
  explicit Payload(DWORD size = kPayload) : bytes_(size, 0xFF) {}
  Payload& Add(DWORD id, DWORD attribute, std::vector<BYTE> data) {
    return AddRaw(id, attribute, static_cast<DWORD>(data.size()), data);
  }
  // A header whose length field need not match the data that follows.
  Payload& AddRaw(DWORD id, DWORD attribute, DWORD length, const std::vector<BYTE>& data) {
    Put(id);
    Put(attribute);
    Put(length);
    std::copy(data.begin(), data.end(), bytes_.begin() + end_);
    end_ += static_cast<DWORD>(data.size());
    return *this;
  }
  BYTE* data() { return bytes_.data(); }
  DWORD size() const { return static_cast<DWORD>(bytes_.size()); }
  const std::vector<BYTE>& bytes() const { return bytes_; }
  DWORD end() const { return end_; }

 private:
  void Put(DWORD value) {
    for (int i = 0; i < 4; ++i) bytes_[end_++] = static_cast<BYTE>(value >> (8 * i));
  }
  std::vector<BYTE> bytes_;
  DWORD end_ = 0;
};

std::vector<BYTE> Bytes(std::initializer_list<BYTE> values) {
  return values;
}

struct Found {
  bool ok;
  std::vector<BYTE> data;
  DWORD attribute;
};

Found Find(DWORD id, const BYTE* buffer, DWORD length, DWORD capacity = 64) {
  std::vector<BYTE> out(capacity, 0xEE);
  DWORD attribute = 0xA5A5A5A5u;
  const bool ok = FindRecord(id, buffer, length, out.data(), &capacity, &attribute);
  if (ok) out.resize(capacity);
  return {ok, out, attribute};
}

TEST(FindRecord, EmptyPayloadHasNoRecords) {
  Payload payload;
  EXPECT_FALSE(Find(2, payload.data(), payload.size()).ok);
}

TEST(FindRecord, CopiesDataLengthAndAttribute) {
  Payload payload;
  payload.Add(1, 7, Bytes({1, 2, 3})).Add(2, 9, Bytes({4, 5})).Add(3, 0, {});
  const Found found = Find(2, payload.data(), payload.size());
  ASSERT_TRUE(found.ok);
  EXPECT_EQ(found.data, Bytes({4, 5}));
  EXPECT_EQ(found.attribute, 9u);
  const Found empty = Find(3, payload.data(), payload.size());
  ASSERT_TRUE(empty.ok);
  EXPECT_TRUE(empty.data.empty());
}

TEST(FindRecord, FindsTheFirstOfTwoRecordsWithOneId) {
  Payload payload;
  payload.Add(4, 1, Bytes({0x10})).Add(4, 2, Bytes({0x20}));
  EXPECT_EQ(Find(4, payload.data(), payload.size()).data, Bytes({0x10}));
}

TEST(FindRecord, DataLargerThanCapacityFailsAfterStoringTheAttribute) {
  Payload payload;
  payload.Add(5, 77, Bytes({1, 2, 3, 4}));
  const Found found = Find(5, payload.data(), payload.size(), 3);
  EXPECT_FALSE(found.ok);
  EXPECT_EQ(found.attribute, 77u);
  EXPECT_EQ(found.data, std::vector<BYTE>(3, 0xEE));
  EXPECT_TRUE(Find(5, payload.data(), payload.size(), 4).ok);
}

TEST(FindRecord, RefusesMissingArguments) {
  Payload payload;
  payload.Add(5, 0, Bytes({1}));
  BYTE out[4];
  DWORD capacity = sizeof out;
  DWORD zero = 0;
  EXPECT_FALSE(FindRecord(5, nullptr, payload.size(), out, &capacity, nullptr));
  EXPECT_FALSE(FindRecord(5, payload.data(), payload.size(), nullptr, &capacity, nullptr));
  EXPECT_FALSE(FindRecord(5, payload.data(), payload.size(), out, nullptr, nullptr));
  EXPECT_FALSE(FindRecord(5, payload.data(), payload.size(), out, &zero, nullptr));
  EXPECT_FALSE(FindRecord(5, payload.data(), 11, out, &capacity, nullptr));
  EXPECT_TRUE(FindRecord(5, payload.data(), payload.size(), out, &capacity, nullptr));
}

TEST(FindRecord, StopsAtFreeSpace) {
  Payload payload;
  payload.Add(1, 0, Bytes({1}));
  // A record after the free-space marker is not part of the list.
  Payload later = payload;
  std::memcpy(later.data() + payload.end() + 12, Payload().Add(6, 0, Bytes({6})).data(), 13);
  EXPECT_FALSE(Find(6, later.data(), later.size()).ok);
}

// Buffers of exactly their length on the heap, so a read past the end would be caught by the
// sanitizer build.
std::unique_ptr<BYTE[]> ExactCopy(Payload& payload, DWORD length) {
  auto copy = std::make_unique<BYTE[]>(length);
  std::memcpy(copy.get(), payload.data(), length);
  return copy;
}

TEST(RecordScans, HugeLengthFieldEndsEveryScanWithoutWrapping) {
  for (DWORD hugeLength : {0xFFFFFFF0u, 0xFFFFFFF4u, 0xFFFFFFFFu, 4085u, 4073u}) {
    Payload payload(64);
    payload.Add(1, 0, Bytes({1, 2})).AddRaw(3, 0, hugeLength, {}).Add(2, 0, Bytes({9}));
    auto buffer = ExactCopy(payload, 64);
    EXPECT_FALSE(Find(2, buffer.get(), 64).ok) << hugeLength;
    EXPECT_FALSE(Find(3, buffer.get(), 64).ok) << hugeLength;
    EXPECT_TRUE(Find(1, buffer.get(), 64).ok) << hugeLength;

    DeleteRecord(2, buffer.get(), 64);
    DeleteRecord(3, buffer.get(), 64);
    EXPECT_EQ(0, std::memcmp(buffer.get(), payload.data(), 64)) << hugeLength;

    DWORD position = 0;
    SettingsRecord record;
    ASSERT_TRUE(NextRecord(buffer.get(), 64, &position, &record));
    EXPECT_EQ(record.id, 1u);
    EXPECT_FALSE(NextRecord(buffer.get(), 64, &position, &record)) << hugeLength;

    DWORD at = 0;
    EXPECT_FALSE(FindAppendPosition(buffer.get(), 64, 1, &at)) << hugeLength;
  }
}

TEST(RecordScans, RecordEndingExactlyAtTheBufferEndIsWhole) {
  Payload payload(32);
  payload.Add(1, 0, std::vector<BYTE>(8, 1)).Add(2, 0, std::vector<BYTE>(0));
  // 20 + 12 bytes: record 2 ends at byte 32.
  auto buffer = ExactCopy(payload, 32);
  EXPECT_TRUE(Find(2, buffer.get(), 32).ok);
  DeleteRecord(1, buffer.get(), 32);
  EXPECT_TRUE(Find(2, buffer.get(), 32).ok);
  for (DWORD i = 12; i < 32; ++i) EXPECT_EQ(buffer[i], 0xFF) << i;
}

TEST(RecordScans, FewerThanTwelveBytesLeftEndTheScan) {
  Payload payload(20);
  payload.Add(1, 0, {});
  // Bytes 12..19 hold a partial header that would name record 7.
  std::memset(payload.data() + 12, 0, 8);
  payload.data()[12] = 7;
  auto buffer = ExactCopy(payload, 20);
  EXPECT_FALSE(Find(7, buffer.get(), 20).ok);
  DeleteRecord(7, buffer.get(), 20);
  EXPECT_EQ(0, std::memcmp(buffer.get(), payload.data(), 20));
}

TEST(DeleteRecord, RemovesEveryRecordWithTheIdAndKeepsFreeSpaceAtTheEnd) {
  Payload payload;
  payload.Add(9, 1, Bytes({1, 1})).Add(9, 2, Bytes({2})).Add(10, 3, Bytes({3, 3, 3}));
  payload.Add(9, 4, {}).Add(11, 5, Bytes({5}));
  DeleteRecord(9, payload.data(), payload.size());
  Payload expected;
  expected.Add(10, 3, Bytes({3, 3, 3})).Add(11, 5, Bytes({5}));
  EXPECT_EQ(payload.bytes(), expected.bytes());
}

TEST(DeleteRecord, MissingIdChangesNothing) {
  Payload payload;
  payload.Add(1, 0, Bytes({1})).Add(2, 0, Bytes({2}));
  const std::vector<BYTE> before = payload.bytes();
  DeleteRecord(3, payload.data(), payload.size());
  EXPECT_EQ(payload.bytes(), before);
  DeleteRecord(1, nullptr, payload.size());
  DeleteRecord(1, payload.data(), 11);
  EXPECT_EQ(payload.bytes(), before);
}

TEST(DeleteRecord, FreeSpaceIdIsNeverDeleted) {
  Payload payload;
  payload.Add(1, 0, Bytes({1}));
  const std::vector<BYTE> before = payload.bytes();
  DeleteRecord(kFreeSpaceId, payload.data(), payload.size());
  EXPECT_EQ(payload.bytes(), before);
}

TEST(NextRecord, ListsRecordsInOrder) {
  Payload payload;
  payload.Add(2, 0, Bytes({'A', 0})).Add(37, 2, Bytes({1, 0, 0, 0}));
  DWORD position = 0;
  SettingsRecord record;
  ASSERT_TRUE(NextRecord(payload.data(), payload.size(), &position, &record));
  EXPECT_EQ(record.id, 2u);
  EXPECT_EQ(record.length, 2u);
  EXPECT_EQ(record.data, payload.data() + 12);
  ASSERT_TRUE(NextRecord(payload.data(), payload.size(), &position, &record));
  EXPECT_EQ(record.id, 37u);
  EXPECT_EQ(record.attribute, 2u);
  EXPECT_EQ(position, 30u);
  EXPECT_FALSE(NextRecord(payload.data(), payload.size(), &position, &record));
  DWORD pastEnd = payload.size() + 1;
  EXPECT_FALSE(NextRecord(payload.data(), payload.size(), &pastEnd, &record));
}

TEST(FindAppendPosition, FindsTheFreeSpaceMarkerWhenTheRecordFits) {
  Payload payload;
  payload.Add(1, 0, std::vector<BYTE>(2000, 1)).Add(2, 0, std::vector<BYTE>(2060, 2));
  // 2012 + 2072 = 4084 bytes used, 12 free: only an empty record fits.
  DWORD position = 0;
  ASSERT_TRUE(FindAppendPosition(payload.data(), kPayload, 0, &position));
  EXPECT_EQ(position, 4084u);
  EXPECT_FALSE(FindAppendPosition(payload.data(), kPayload, 1, &position));
}

TEST(FindAppendPosition, FullPayloadWithoutFreeMarkerHasNoRoom) {
  Payload payload;
  payload.Add(5, 0, std::vector<BYTE>(4084, 0x55));
  DWORD position = 7;
  EXPECT_FALSE(FindAppendPosition(payload.data(), kPayload, 0, &position));
  EXPECT_EQ(position, 7u);
}

}  // namespace

#include "settings/settings_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "settings_device.h"

namespace {

using settings_test::Device;
using settings_test::FirstBlockOfType;
using settings_test::FlashSession;

// A block that no partition uses in the default layout, so these tests never meet the store.
constexpr DWORD kFreeBlock = 63;

std::vector<BYTE> RandomPayload(DWORD length, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<unsigned> byte(0, 255);
  std::vector<BYTE> payload(length);
  for (BYTE& value : payload) value = static_cast<BYTE>(byte(random));
  return payload;
}

std::vector<BYTE> Field(DWORD value) {
  return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
          static_cast<BYTE>(value >> 24)};
}

class SettingsBlockTest : public testing::Test {
 protected:
  std::uint64_t BlockStart() { return Device().Blocks().Start(kFreeBlock); }

  bool WriteBlock(const std::vector<BYTE>& payload) {
    FlashSession flash;
    EXPECT_TRUE(flash.opened());
    const BYTE none = 0;
    return SettingsBlock::Write(kFreeBlock, payload.empty() ? &none : payload.data(),
                                static_cast<DWORD>(payload.size()));
  }

  // Reads the block into a buffer of `capacity` bytes that starts as all 0x00, so that the
  // read's own 0xFF fill shows.
  bool ReadBlock(std::vector<BYTE>* buffer, DWORD capacity = kSettingsPayloadCapacity) {
    buffer->assign(capacity, 0x00);
    FlashSession flash;
    EXPECT_TRUE(flash.opened());
    return SettingsBlock::Read(kFreeBlock, buffer->data(), capacity);
  }

  // Replaces the whole block at rest by `image` followed by erased bytes.
  void WriteRawBlock(const std::vector<BYTE>& image) {
    std::vector<BYTE> block(0x8000, 0xFF);
    std::copy(image.begin(), image.end(), block.begin());
    Device().WriteNor(BlockStart(), block);
  }

  // A header with a correct code over the given fields.
  static std::vector<BYTE> Header(DWORD magic, DWORD version, DWORD length) {
    std::vector<BYTE> header;
    for (DWORD value : {magic, version, length}) {
      const std::vector<BYTE> field = Field(value);
      header.insert(header.end(), field.begin(), field.end());
    }
    BYTE code[3];
    EccCode::Compute(header.data(), 12, code);
    header.insert(header.end(), code, code + 3);
    return header;
  }
};

TEST_F(SettingsBlockTest, FullPayloadRoundTripsWithTheDocumentedHeader) {
  const std::vector<BYTE> payload = RandomPayload(4096, 1);
  ASSERT_TRUE(WriteBlock(payload));
  std::vector<BYTE> buffer;
  ASSERT_TRUE(ReadBlock(&buffer));
  EXPECT_EQ(buffer, payload);

  const std::vector<BYTE> header = Device().ReadNor(BlockStart(), 15);
  EXPECT_EQ(header, (std::vector<BYTE>{0x7A, 0xDA, 0xE7, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00, 0x10,
                                       0x00, 0x00, 0xF0, 0xF3, 0xF3}));
  const std::vector<BYTE> rest = Device().ReadNor(BlockStart() + 4163, 0x8000 - 4163);
  EXPECT_EQ(rest, std::vector<BYTE>(0x8000 - 4163, 0xFF));
}

TEST_F(SettingsBlockTest, ErasedPayloadHasAnErasedTrailerAndItsMagic) {
  ASSERT_TRUE(WriteBlock(std::vector<BYTE>(4096, 0xFF)));
  std::vector<BYTE> expected(48, 0xFF);
  for (BYTE byte : {0x70, 0x5E, 0x7A, 0xDA}) expected.push_back(byte);
  EXPECT_EQ(Device().ReadNor(BlockStart() + 15 + 4096, 52), expected);
}

TEST_F(SettingsBlockTest, TrailerCodesMatchEachChunkIncludingAShortLastOne) {
  const std::vector<BYTE> payload = RandomPayload(600, 2);
  ASSERT_TRUE(WriteBlock(payload));
  const std::vector<BYTE> trailer = Device().ReadNor(BlockStart() + 15 + 600, 52);
  for (DWORD slot = 0; slot < 3; ++slot) {
    BYTE code[3];
    const DWORD chunk = slot < 2 ? 256 : 88;
    EccCode::Compute(payload.data() + slot * 256, chunk, code);
    EXPECT_EQ(0, std::memcmp(code, trailer.data() + slot * 3, 3)) << slot;
  }
  EXPECT_EQ(std::vector<BYTE>(trailer.begin() + 9, trailer.begin() + 48),
            std::vector<BYTE>(39, 0xFF));
  EXPECT_EQ(std::vector<BYTE>(trailer.begin() + 48, trailer.end()), Field(kSettingsTrailerMagic));
}

TEST_F(SettingsBlockTest, EmptyPayloadReadsBackAsAllErased) {
  ASSERT_TRUE(WriteBlock({}));
  EXPECT_EQ(Device().ReadNor(BlockStart() + 63, 4), Field(kSettingsTrailerMagic));
  std::vector<BYTE> buffer;
  ASSERT_TRUE(ReadBlock(&buffer));
  EXPECT_EQ(buffer, std::vector<BYTE>(4096, 0xFF));
}

TEST_F(SettingsBlockTest, BytesBeyondAShortPayloadAreErased) {
  const std::vector<BYTE> payload = RandomPayload(100, 3);
  ASSERT_TRUE(WriteBlock(payload));
  std::vector<BYTE> buffer;
  ASSERT_TRUE(ReadBlock(&buffer, 5000));
  std::vector<BYTE> expected = payload;
  expected.resize(5000, 0xFF);
  EXPECT_EQ(buffer, expected);
}

TEST_F(SettingsBlockTest, PayloadLongerThanTheBufferFailsWithAnErasedBuffer) {
  ASSERT_TRUE(WriteBlock(RandomPayload(300, 4)));
  std::vector<BYTE> buffer;
  EXPECT_FALSE(ReadBlock(&buffer, 299));
  EXPECT_EQ(buffer, std::vector<BYTE>(299, 0xFF));
}

TEST_F(SettingsBlockTest, OneFlippedBitPerChunkIsCorrectedWhileTheFlashKeepsIt) {
  const std::vector<BYTE> payload = RandomPayload(4096, 5);
  ASSERT_TRUE(WriteBlock(payload));
  std::mt19937 random(6);
  std::vector<std::uint64_t> flipped;
  for (DWORD chunk = 0; chunk < 16; ++chunk) {
    const std::uint64_t offset = BlockStart() + 15 + chunk * 256 + random() % 256;
    Device().FlipNorBit(offset, random() % 8);
    flipped.push_back(offset);
  }
  std::vector<BYTE> buffer;
  ASSERT_TRUE(ReadBlock(&buffer));
  EXPECT_EQ(buffer, payload);
  for (std::uint64_t offset : flipped) {
    const std::uint64_t index = offset - BlockStart() - 15;
    EXPECT_NE(Device().ReadNor(offset, 1)[0], payload[index]) << "the flash keeps the flip";
  }
}

TEST_F(SettingsBlockTest, FlippedHeaderBitsAreCorrectedBeforeTheFieldsAreUsed) {
  const std::vector<BYTE> payload = RandomPayload(4096, 7);
  // Each bit of magic, version, length and the header code, one at a time.
  for (unsigned bit = 0; bit < 15 * 8; bit += 3) {
    ASSERT_TRUE(WriteBlock(payload));
    Device().FlipNorBit(BlockStart() + bit / 8, bit % 8);
    std::vector<BYTE> buffer;
    ASSERT_TRUE(ReadBlock(&buffer)) << "bit " << bit;
    ASSERT_EQ(buffer, payload) << "bit " << bit;
  }
}

TEST_F(SettingsBlockTest, FlippedChunkCodeBitKeepsThePayload) {
  const std::vector<BYTE> payload = RandomPayload(4096, 8);
  for (unsigned bit : {0u, 13u, 23u, 47u * 8 + 7}) {
    ASSERT_TRUE(WriteBlock(payload));
    Device().FlipNorBit(BlockStart() + 15 + 4096 + bit / 8, bit % 8);
    std::vector<BYTE> buffer;
    ASSERT_TRUE(ReadBlock(&buffer)) << bit;
    EXPECT_EQ(buffer, payload) << bit;
  }
}

TEST_F(SettingsBlockTest, UncorrectableChunkLeavesEarlierChunksCorrectedAndLaterOnesAsRead) {
  const std::vector<BYTE> payload = RandomPayload(3000, 9);
  ASSERT_TRUE(WriteBlock(payload));
  const std::uint64_t data = BlockStart() + 15;
  Device().FlipNorBit(data + 10, 1);        // chunk 0: corrected
  Device().FlipNorBit(data + 256 + 20, 2);  // chunk 1: corrected
  Device().FlipNorBit(data + 512 + 5, 0);   // chunk 2: two bits, uncorrectable
  Device().FlipNorBit(data + 512 + 99, 7);
  Device().FlipNorBit(data + 768 + 1, 4);  // chunk 3: never reached, stays as read
  std::vector<BYTE> buffer;
  EXPECT_FALSE(ReadBlock(&buffer));
  std::vector<BYTE> expected = payload;
  expected[512 + 5] ^= 0x01;
  expected[512 + 99] ^= 0x80;
  expected[768 + 1] ^= 0x10;
  expected.resize(4096, 0xFF);
  EXPECT_EQ(buffer, expected);
}

TEST_F(SettingsBlockTest, WrongTrailerMagicLeavesThePayloadUncorrected) {
  const std::vector<BYTE> payload = RandomPayload(1000, 10);
  ASSERT_TRUE(WriteBlock(payload));
  Device().FlipNorBit(BlockStart() + 15 + 3, 5);
  Device().WriteNor(BlockStart() + 15 + 1000 + 48, Field(0xDA7A5E71));
  std::vector<BYTE> buffer;
  EXPECT_FALSE(ReadBlock(&buffer));
  std::vector<BYTE> expected = payload;
  expected[3] ^= 0x20;
  expected.resize(4096, 0xFF);
  EXPECT_EQ(buffer, expected);
}

TEST_F(SettingsBlockTest, HeaderFailuresLeaveAnErasedBuffer) {
  struct Case {
    const char* name;
    std::vector<BYTE> image;
  };
  std::vector<BYTE> twoBitsInHeader = Header(kSettingsBlockMagic, 1, 16);
  twoBitsInHeader[0] ^= 0x03;
  const std::vector<Case> cases = {
      {"erased block", {}},
      {"version 2", Header(kSettingsBlockMagic, 2, 16)},
      {"wrong magic", Header(0x05E7DA7B, 1, 16)},
      {"length 4097", Header(kSettingsBlockMagic, 1, 4097)},
      {"length 0xFFFFFFF0", Header(kSettingsBlockMagic, 1, 0xFFFFFFF0u)},
      {"uncorrectable header code", twoBitsInHeader},
  };
  for (const Case& test : cases) {
    std::vector<BYTE> image = test.image;
    // A plausible payload and trailer follow, so only the header decides.
    image.resize(15 + 16, 0x11);
    const std::vector<BYTE> magic = Field(kSettingsTrailerMagic);
    image.resize(15 + 16 + 48, 0xFF);
    image.insert(image.end(), magic.begin(), magic.end());
    if (test.image.empty()) image.clear();
    WriteRawBlock(image);
    std::vector<BYTE> buffer;
    EXPECT_FALSE(ReadBlock(&buffer)) << test.name;
    EXPECT_EQ(buffer, std::vector<BYTE>(4096, 0xFF)) << test.name;
  }
}

TEST_F(SettingsBlockTest, LengthZeroWithTrailerMagicAtOffset63Succeeds) {
  std::vector<BYTE> image = Header(kSettingsBlockMagic, 1, 0);
  image.resize(63, 0x00);  // slots are never read for an empty payload
  const std::vector<BYTE> magic = Field(kSettingsTrailerMagic);
  image.insert(image.end(), magic.begin(), magic.end());
  WriteRawBlock(image);
  std::vector<BYTE> buffer;
  EXPECT_TRUE(ReadBlock(&buffer));
  EXPECT_EQ(buffer, std::vector<BYTE>(4096, 0xFF));
}

TEST_F(SettingsBlockTest, ReadRefusesAMissingBufferWithoutTouchingIt) {
  FlashSession flash;
  BYTE byte = 0x42;
  EXPECT_FALSE(SettingsBlock::Read(kFreeBlock, nullptr, 16));
  EXPECT_FALSE(SettingsBlock::Read(kFreeBlock, &byte, 0));
  EXPECT_EQ(byte, 0x42);
}

TEST_F(SettingsBlockTest, ReadOfABlockPastTheFlashFails) {
  FlashSession flash;
  std::vector<BYTE> buffer(4096, 0);
  EXPECT_FALSE(SettingsBlock::Read(Device().Blocks().Count(), buffer.data(), 4096));
  EXPECT_FALSE(SettingsBlock::Read(0xFFFFFFFFu, buffer.data(), 4096));
  EXPECT_EQ(buffer, std::vector<BYTE>(4096, 0xFF));
}

TEST_F(SettingsBlockTest, WriteRefusesBadRequestsBeforeErasing) {
  const std::vector<BYTE> payload = RandomPayload(200, 11);
  ASSERT_TRUE(WriteBlock(payload));
  const std::vector<BYTE> big(4097, 0x5A);
  {
    FlashSession flash;
    EXPECT_FALSE(SettingsBlock::Write(kFreeBlock, big.data(), 4097));
    EXPECT_FALSE(SettingsBlock::Write(kFreeBlock, nullptr, 0));
    EXPECT_FALSE(SettingsBlock::Write(kFreeBlock, nullptr, 16));
    EXPECT_FALSE(SettingsBlock::Write(Device().Blocks().Count(), big.data(), 16));
  }
  std::vector<BYTE> buffer;
  ASSERT_TRUE(ReadBlock(&buffer, 200)) << "the block was not erased";
  EXPECT_EQ(buffer, payload);
}

TEST_F(SettingsBlockTest, FailedEraseOrProgramIsReportedAndLeavesNoValidBlock) {
  const std::vector<BYTE> payload = RandomPayload(4096, 14);
  struct Case {
    const char* name;
    sim::Fault fault;
  };
  const DWORD trailerWord = (15 + 4096 + 48) / 2;
  const std::vector<Case> cases = {
      {"erase error", sim::Fault::EraseError(kFreeBlock)},
      {"program error in the header",
       sim::Fault::ProgramError(kFreeBlock, 2u)},
      {"program error in the payload",
       sim::Fault::ProgramError(kFreeBlock, 1000u)},
      {"program error at the trailer magic",
       sim::Fault::ProgramError(kFreeBlock, trailerWord)},
  };
  for (const Case& test : cases) {
    ASSERT_TRUE(WriteBlock(payload));
    Device().SetFaults({test.fault});
    EXPECT_FALSE(WriteBlock(payload)) << test.name;
    Device().SetFaults({});
    std::vector<BYTE> buffer;
    if (test.fault.kind != sim::FaultKind::EraseError) {
      EXPECT_FALSE(ReadBlock(&buffer)) << test.name;
    }
  }
}

TEST_F(SettingsBlockTest, RewriteReplacesAnOlderLongerBlock) {
  ASSERT_TRUE(WriteBlock(RandomPayload(4096, 12)));
  const std::vector<BYTE> payload = RandomPayload(10, 13);
  ASSERT_TRUE(WriteBlock(payload));
  std::vector<BYTE> buffer;
  ASSERT_TRUE(ReadBlock(&buffer, 10));
  EXPECT_EQ(buffer, payload);
  EXPECT_EQ(Device().ReadNor(BlockStart() + 77, 4096), std::vector<BYTE>(4096, 0xFF));
}

}  // namespace

// The settings store driven by a fuzzed sequence of record operations, checked against a plain
// model of the record rules, on the in-memory chip.
//
// Every input first lays out the four partitions, well-formed or damaged: records with any of a
// few ids (duplicates included) and any length (also lengths that run past the payload), a
// free-space header followed by garbage, or raw bytes. The model is each payload as bytes, with
// the documented rules written out plainly: a walk stops at the first free-space header, when
// fewer than 12 bytes remain, and at a record that would reach past the payload; a delete moves
// what follows each record with the id down over it and fills the end with 0xFF; a put deletes,
// then appends at the free-space header of the result when the record fits there, and otherwise
// leaves the payload byte-identical. After every operation the store's buffers must equal the
// model's bytes and every result must be the model's; after a flush a new cycle must load
// exactly what was written; no mutex may stay held once a cycle is closed; and GetDeviceVariant
// must give the variant of the part number in the flash.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "fuzz/fuzz_input.h"
#include "settings/settings_store.h"
#include "testsupport/memory_device.h"

namespace {

using Payload = std::array<BYTE, kSettingsPayloadCapacity>;

constexpr DWORD kIds[] = {1, RecordId::PartNumber, 3, 9, 10, RecordId::UpdateRequest, 0x12345678u,
                          0, kFreeSpaceId};
constexpr DWORD kTypes[] = {6, 7, 8, 4};
constexpr DWORD kSize = kSettingsPayloadCapacity;

DWORD Field(const Payload& payload, DWORD at) {
  DWORD value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | payload[at + i];
  return value;
}

void PutField(Payload& payload, DWORD at, DWORD value) {
  for (int i = 0; i < 4; ++i) payload[at + i] = static_cast<BYTE>(value >> (8 * i));
}

struct Header {
  DWORD at;
  DWORD id;
  DWORD attribute;
  DWORD length;
  // Whether the record's data lies wholly inside the payload.
  bool fits;
};

// The header at `at`; nullopt when fewer than 12 bytes remain.
std::optional<Header> HeaderAt(const Payload& payload, DWORD at) {
  if (kSize - at < kRecordHeaderSize) return std::nullopt;
  const DWORD length = Field(payload, at + 8);
  return Header{at, Field(payload, at), Field(payload, at + 4), length,
                length <= kSize - at - kRecordHeaderSize};
}

// Where a walk of the records ends: the free-space header's offset, or nullopt when it ends
// at fewer than 12 bytes left or at a record that would reach past the payload.
std::optional<DWORD> FreeSpaceStart(const Payload& payload) {
  DWORD at = 0;
  std::optional<Header> header;
  while ((header = HeaderAt(payload, at)) && header->id != kFreeSpaceId && header->fits) {
    at += kRecordHeaderSize + header->length;
  }
  return header && header->id == kFreeSpaceId ? std::optional<DWORD>(at) : std::nullopt;
}

void Delete(Payload& payload, DWORD id) {
  DWORD at = 0;
  std::optional<Header> header;
  while ((header = HeaderAt(payload, at)) && header->id != kFreeSpaceId && header->fits) {
    const DWORD size = kRecordHeaderSize + header->length;
    if (header->id != id) {
      at += size;
      continue;
    }
    std::copy(payload.begin() + at + size, payload.end(), payload.begin() + at);
    std::fill(payload.end() - size, payload.end(), BYTE{0xFF});
  }
}

bool Put(Payload& payload, DWORD id, DWORD attribute, std::span<const BYTE> data) {
  if (data.empty() || data.size() > kMaxRecordDataLength || id == kFreeSpaceId) return false;
  Payload result = payload;
  Delete(result, id);
  const std::optional<DWORD> freeAt = FreeSpaceStart(result);
  if (!freeAt || kSize - *freeAt - kRecordHeaderSize < data.size()) return false;
  PutField(result, *freeAt, id);
  PutField(result, *freeAt + 4, attribute);
  PutField(result, *freeAt + 8, static_cast<DWORD>(data.size()));
  std::copy(data.begin(), data.end(), result.begin() + *freeAt + kRecordHeaderSize);
  payload = result;
  return true;
}

// The data of the first record with `id`; the id is compared before the free-space test, so a
// free-space header is found under its own id. Nullopt when the scan ends first or the data
// does not lie inside the payload.
std::optional<std::span<const BYTE>> Get(const Payload& payload, DWORD id) {
  DWORD at = 0;
  while (std::optional<Header> header = HeaderAt(payload, at)) {
    if (header->id == id) {
      if (!header->fits) return std::nullopt;
      return std::span<const BYTE>(payload.data() + at + kRecordHeaderSize, header->length);
    }
    if (header->id == kFreeSpaceId || !header->fits) return std::nullopt;
    at += kRecordHeaderSize + header->length;
  }
  return std::nullopt;
}

bool Present(const Payload& payload, DWORD id) {
  DWORD at = 0;
  std::optional<Header> header;
  while ((header = HeaderAt(payload, at)) && header->id != kFreeSpaceId && header->fits) {
    if (header->id == id) return true;
    at += kRecordHeaderSize + header->length;
  }
  return false;
}

struct Model {
  Payload partitions[4];
};

// A partition's initial payload, well-formed or damaged, taken from the input.
Payload InitialPayload(fuzz::FuzzInput& input) {
  Payload payload;
  payload.fill(0xFF);
  const BYTE shape = input.Take<BYTE>();
  DWORD at = 0;
  const auto append = [&](std::span<const std::uint8_t> bytes) {
    for (BYTE byte : bytes) {
      if (at == kSize) return;
      payload[at++] = byte;
    }
  };
  const auto appendField = [&](DWORD value) {
    BYTE bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<BYTE>(value >> (8 * i));
    append(bytes);
  };
  switch (shape % 4) {
    case 0:  // empty
      break;
    case 1:  // records, any ids and lengths, then free space
    case 2: {  // the same, then a free-space header and garbage after it
      const int count = input.Take<BYTE>() % 6;
      for (int i = 0; i < count && at < kSize; ++i) {
        appendField(kIds[input.Take<BYTE>() % (std::size(kIds) - 1)]);
        appendField(input.Take<BYTE>());
        const DWORD length = input.Take<std::uint16_t>() % 4200;
        appendField(length);
        // The data itself: a few given bytes, the rest of the record's length left 0xFF.
        const auto given = input.TakeBytes(std::min<DWORD>(length, 8));
        const DWORD start = at;
        append(given);
        at = std::min<DWORD>(start + length, kSize);
      }
      if (shape % 4 == 2) {
        appendField(kFreeSpaceId);
        append(input.TakeBytes(input.Take<BYTE>() % 32));
      }
      break;
    }
    case 3:  // raw bytes
      append(input.TakeBytes(input.Take<BYTE>() % 64));
      break;
  }
  return payload;
}

void CheckBuffers(const Model& model) {
  for (std::size_t i = 0; i < 4; ++i) {
    const BYTE* payload = SettingsStore::Payload(kTypes[i]);
    FUZZ_REQUIRE(payload != nullptr);
    FUZZ_REQUIRE(std::memcmp(payload, model.partitions[i].data(), kSize) == 0);
  }
}

void BeginCycle() {
  SettingsStore::Open();
  SettingsStore::Lock();
}

void EndCycle() {
  SettingsStore::Unlock();
  SettingsStore::Close();
  FUZZ_REQUIRE(memory_device::HeldMutexCount() == 0);
  FUZZ_REQUIRE(NorFlash::OpenCount() == 0);
}

// Lays the model's payloads out as the four settings blocks, each payload up to its last byte
// that is not 0xFF (a block reads back 0xFF after its payload). The blocks are written straight
// into the chip's array in the layout of settings/settings_block.h: programming them through the
// driver would cost most of an input's time.
void PutBlockField(BYTE* at, DWORD value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<BYTE>(value >> (8 * i));
}

bool Format(const Model& model) {
  // Where each settings block lies in the array (byte offset and size), found once.
  struct Place {
    std::size_t offset = 0;
    std::size_t size = 0;
  };
  static bool found = false;
  static Place places[4];
  if (!found) {
    memory_device::Reset(memory_device::ChipConfig{});
    NorFlashMutex::Acquire();
    if (NorFlash::Open() == 1) {
      const auto* base = reinterpret_cast<const volatile BYTE*>(NorFlash::BlockAddress(0));
      found = true;
      for (std::size_t i = 0; i < 4; ++i) {
        const INT block = NorFlash::FirstBlockOfType(kTypes[i]);
        if (block < 0) {
          found = false;
          break;
        }
        const auto* at = reinterpret_cast<const volatile BYTE*>(
            NorFlash::BlockAddress(static_cast<DWORD>(block)));
        places[i] = {static_cast<std::size_t>(at - base),
                     NorFlash::BlockSize(static_cast<DWORD>(block))};
      }
    }
    NorFlash::Close();
    NorFlashMutex::Release();
    if (!found) return false;
  }
  for (std::size_t i = 0; i < 4; ++i) {
    BYTE* bytes = memory_device::Array() + places[i].offset;
    // Only this much of the block is ever programmed; the rest stays erased.
    std::memset(bytes, 0xFF, std::min<std::size_t>(places[i].size, kSettingsBlockOverhead + kSize));
    const Payload& payload = model.partitions[i];
    DWORD length = kSize;
    while (length > 0 && payload[length - 1] == 0xFF) --length;
    PutBlockField(bytes, kSettingsBlockMagic);
    PutBlockField(bytes + 4, kSettingsBlockVersion);
    PutBlockField(bytes + 8, length);
    EccCode::Compute(bytes, kSettingsHeaderFieldsSize, bytes + kSettingsHeaderFieldsSize);
    BYTE* const data = bytes + kSettingsHeaderSize;
    std::memcpy(data, payload.data(), length);
    for (DWORD start = 0, slot = 0; start < length; start += kSettingsChunkSize, ++slot) {
      EccCode::Compute(data + start, std::min(length - start, kSettingsChunkSize),
                       data + length + slot * kEccCodeSize);
    }
    PutBlockField(data + length + kSettingsTrailerCodesSize, kSettingsTrailerMagic);
  }
  return true;
}

DeviceVariant ModelVariant(const Payload& semiPermanent) {
  const std::optional<std::span<const BYTE>> record = Get(semiPermanent, RecordId::PartNumber);
  if (!record || record->size() > 2 * kPartNumberCharacters) return 0;
  std::u16string text(kPartNumberCharacters + 1, u'\0');
  std::copy(record->begin(), record->end(), reinterpret_cast<BYTE*>(text.data()));
  text.resize(std::char_traits<char16_t>::length(text.c_str()));
  const char16_t* numbers[3][3] = {{u"52614-01", u"52614-11", u"52614-21"},
                                   {u"52614-02", u"52614-12", u"52614-22"},
                                   {u"52614-03", u"52614-13", u"52614-23"}};
  for (int variant = 0; variant < 3; ++variant)
    for (const char16_t* number : numbers[variant])
      if (text == number) return variant + 1;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  Model model;
  for (Payload& payload : model.partitions) payload = InitialPayload(input);
  FUZZ_REQUIRE(Format(model));
  // What the flash holds: the model as of the last flush.
  Model flashed = model;
  BeginCycle();
  FUZZ_REQUIRE(SettingsStore::Load());
  CheckBuffers(model);

  int operations = 0;
  int flushes = 0;
  while (!input.Empty() && ++operations <= 64) {
    const BYTE operation = input.Take<BYTE>();
    const DWORD id = kIds[input.Take<BYTE>() % std::size(kIds)];
    const BYTE typeByte = input.Take<BYTE>();
    // Mostly one of the four types; now and then one the store does not have.
    const bool knownType = typeByte < 0xF0;
    const DWORD type = knownType ? kTypes[typeByte % 4] : typeByte % 16;
    Payload* partition = nullptr;
    for (std::size_t i = 0; i < 4; ++i)
      if (kTypes[i] == type) partition = &model.partitions[i];

    switch (operation % 6) {
      case 0: {  // put
        const DWORD length = input.Take<std::uint16_t>() % 4200;
        const DWORD attribute = input.Take<DWORD>();
        static std::array<BYTE, 4200> buffer;
        const auto given = input.TakeBytes(std::min<std::size_t>(length, 64));
        for (DWORD i = 0; i < length; ++i)
          buffer[i] = given.empty() ? static_cast<BYTE>(i) : given[i % given.size()];
        const std::span<const BYTE> bytes(buffer.data(), length);
        const bool expected = partition != nullptr && Put(*partition, id, attribute, bytes);
        FUZZ_REQUIRE(SettingsStore::PutRecord(id, type, length ? bytes.data() : nullptr, length,
                                              attribute) == expected);
        break;
      }
      case 1: {  // get
        const DWORD capacity = input.Take<std::uint16_t>() % 4200;
        static std::array<BYTE, 4201> out;
        std::fill(out.begin(), out.begin() + capacity + 1, BYTE{0xA5});
        const std::optional<std::span<const BYTE>> record =
            partition ? Get(*partition, id) : std::nullopt;
        const bool expected = record && capacity > 0 && record->size() <= capacity;
        FUZZ_REQUIRE(SettingsStore::GetRecord(id, type, out.data(), capacity) == expected);
        if (expected) FUZZ_REQUIRE(std::equal(record->begin(), record->end(), out.begin()));
        FUZZ_REQUIRE(out[capacity] == 0xA5);
        break;
      }
      case 2: {  // remove
        const bool expected = partition != nullptr && Present(*partition, id);
        if (expected) Delete(*partition, id);
        FUZZ_REQUIRE(SettingsStore::RemoveRecord(id, type) == expected);
        break;
      }
      case 3: {  // the update request
        static constexpr BYTE kRequest[4] = {1, 0, 0, 0};
        const bool expected =
            Put(model.partitions[3], RecordId::UpdateRequest, kUpdateRequestAttribute, kRequest);
        FUZZ_REQUIRE(SettingsStore::RequestUpdate(1) == expected);
        break;
      }
      case 4: {  // flush, end the cycle, and load everything back in a new one
        // Writing a block costs thousands of chip commands: a few cycles per input suffice.
        if (++flushes > 1) break;
        FUZZ_REQUIRE(SettingsStore::Flush());
        flashed = model;
        EndCycle();
        BeginCycle();
        FUZZ_REQUIRE(SettingsStore::Load());
        break;
      }
      case 5: {  // the part number
        const DWORD capacity = input.Take<BYTE>() % 24;
        std::array<WCHAR, 25> out{};
        const std::optional<std::span<const BYTE>> record =
            Get(model.partitions[3], RecordId::PartNumber);
        const bool expected = capacity > 0 && record && record->size() <= 2 * capacity;
        FUZZ_REQUIRE(SettingsStore::ReadPartNumber(out.data(), capacity) == expected);
        if (expected) {
          FUZZ_REQUIRE(std::equal(record->begin(), record->end(),
                                  reinterpret_cast<const BYTE*>(out.data())));
        } else if (capacity > 0) {
          const std::u16string text(out.data());
          FUZZ_REQUIRE(text == std::u16string(kUnprogrammedPartNumber).substr(0, capacity - 1));
        }
        break;
      }
    }
    CheckBuffers(model);
  }
  // Ended without a flush (writing blocks costs most of an input's time): the part number comes
  // from what the last flush left.
  EndCycle();
  FUZZ_REQUIRE(GetDeviceVariant() == ModelVariant(flashed.partitions[3]));
  FUZZ_REQUIRE(memory_device::HeldMutexCount() == 0);
  return 0;
}

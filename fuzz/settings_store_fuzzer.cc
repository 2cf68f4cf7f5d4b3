// The settings store driven by a fuzzed sequence of record operations, checked against a plain
// model (per partition, a list of records in payload order), on the in-memory chip.
//
// Every input starts from four freshly formatted, empty partitions and runs one store cycle per
// "flush" operation. After every operation the store's buffer must be the model's list packed
// from offset 0 and padded with 0xFF; every result must be the model's; after each flush a new
// cycle must load exactly what was written; no mutex may stay held once a cycle is closed; and
// GetDeviceVariant must give the variant of the part number the model holds.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "fuzz/fuzz_input.h"
#include "settings/settings_store.h"
#include "testsupport/memory_device.h"

namespace {

struct Record {
  DWORD id;
  DWORD attribute;
  std::vector<BYTE> data;
};
using Partition = std::vector<Record>;

constexpr DWORD kIds[] = {1, RecordId::PartNumber, 3, 9, 10, RecordId::UpdateRequest, 0x12345678u,
                          0, kFreeSpaceId};
constexpr DWORD kTypes[] = {6, 7, 8, 4};

std::size_t Used(const Partition& partition) {
  std::size_t used = 0;
  for (const auto& record : partition) used += kRecordHeaderSize + record.data.size();
  return used;
}

std::array<BYTE, kSettingsPayloadCapacity> Packed(const Partition& partition) {
  std::array<BYTE, kSettingsPayloadCapacity> bytes;
  bytes.fill(0xFF);
  std::size_t p = 0;
  for (const auto& record : partition) {
    for (DWORD field : {record.id, record.attribute, static_cast<DWORD>(record.data.size())})
      for (int i = 0; i < 4; ++i) bytes[p++] = static_cast<BYTE>(field >> (8 * i));
    std::memcpy(bytes.data() + p, record.data.data(), record.data.size());
    p += record.data.size();
  }
  return bytes;
}

const Record* Find(const Partition& partition, DWORD id) {
  for (const auto& record : partition)
    if (record.id == id) return &record;
  return nullptr;
}

void RemoveAll(Partition& partition, DWORD id) {
  std::erase_if(partition, [id](const Record& r) { return r.id == id; });
}

struct Model {
  Partition partitions[4];
  Partition& Of(std::size_t index) { return partitions[index]; }
};

void CheckBuffers(Model& model) {
  for (std::size_t i = 0; i < 4; ++i) {
    const BYTE* payload = SettingsStore::Payload(kTypes[i]);
    FUZZ_REQUIRE(payload != nullptr);
    const auto packed = Packed(model.Of(i));
    FUZZ_REQUIRE(std::memcmp(payload, packed.data(), packed.size()) == 0);
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

bool Format() {
  static bool chipReady = false;
  if (!chipReady) {
    memory_device::Reset(memory_device::ChipConfig{});
    chipReady = true;
  }
  NorFlashMutex::Acquire();
  if (NorFlash::Open() != 1) return false;
  static const BYTE kNothing = 0;
  bool formatted = true;
  for (DWORD type : kTypes) {
    const INT block = NorFlash::FirstBlockOfType(type);
    formatted =
        formatted && block >= 0 && SettingsBlock::Write(static_cast<DWORD>(block), &kNothing, 0);
  }
  NorFlash::Close();
  NorFlashMutex::Release();
  return formatted;
}

DeviceVariant ModelVariant(const Partition& semiPermanent) {
  const Record* record = Find(semiPermanent, RecordId::PartNumber);
  if (record == nullptr || record->data.size() > 2 * kPartNumberCharacters) return 0;
  std::u16string text(kPartNumberCharacters + 1, u'\0');
  std::memcpy(text.data(), record->data.data(), record->data.size());
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
  FUZZ_REQUIRE(Format());
  fuzz::FuzzInput input(data, size);
  Model model;
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
    Partition* partition = nullptr;
    for (std::size_t i = 0; i < 4; ++i)
      if (kTypes[i] == type) partition = &model.Of(i);

    switch (operation % 6) {
      case 0: {  // put
        DWORD length = input.Take<std::uint16_t>() % 4200;
        const DWORD attribute = input.Take<DWORD>();
        std::vector<BYTE> bytes(length);
        const auto given = input.TakeBytes(std::min<std::size_t>(length, 64));
        for (DWORD i = 0; i < length; ++i)
          bytes[i] = given.empty() ? static_cast<BYTE>(i) : given[i % given.size()];
        bool expected = partition != nullptr && length > 0 && length <= kMaxRecordDataLength &&
                        id != kFreeSpaceId;
        if (expected) {
          Partition without = *partition;
          RemoveAll(without, id);
          expected = Used(without) + kRecordHeaderSize + length <= kSettingsPayloadCapacity;
          if (expected) {
            without.push_back({id, attribute, bytes});
            *partition = without;
          }
        }
        FUZZ_REQUIRE(SettingsStore::PutRecord(id, type, length ? bytes.data() : nullptr, length,
                                              attribute) == expected);
        break;
      }
      case 1: {  // get
        const DWORD capacity = input.Take<std::uint16_t>() % 4200;
        std::vector<BYTE> out(capacity + 1, 0xA5);
        const Record* record = partition ? Find(*partition, id) : nullptr;
        const bool expected = record != nullptr && capacity > 0 && record->data.size() <= capacity;
        FUZZ_REQUIRE(SettingsStore::GetRecord(id, type, out.data(), capacity) == expected);
        if (expected)
          FUZZ_REQUIRE(std::equal(record->data.begin(), record->data.end(), out.begin()));
        FUZZ_REQUIRE(out[capacity] == 0xA5);
        break;
      }
      case 2: {  // remove
        const bool expected = partition != nullptr && Find(*partition, id) != nullptr;
        if (expected) RemoveAll(*partition, id);
        FUZZ_REQUIRE(SettingsStore::RemoveRecord(id, type) == expected);
        break;
      }
      case 3: {  // the update request
        Partition semi = model.Of(3);
        RemoveAll(semi, RecordId::UpdateRequest);
        const bool expected = Used(semi) + kRecordHeaderSize + 4 <= kSettingsPayloadCapacity;
        if (expected) {
          semi.push_back({RecordId::UpdateRequest, kUpdateRequestAttribute, {1, 0, 0, 0}});
          model.Of(3) = semi;
        }
        FUZZ_REQUIRE(SettingsStore::RequestUpdate(1) == expected);
        break;
      }
      case 4: {  // flush, end the cycle, and load everything back in a new one
        // Writing a block costs thousands of chip commands: a few cycles per input suffice.
        if (++flushes > 1) break;
        FUZZ_REQUIRE(SettingsStore::Flush());
        EndCycle();
        BeginCycle();
        FUZZ_REQUIRE(SettingsStore::Load());
        break;
      }
      case 5: {  // the part number
        const DWORD capacity = input.Take<BYTE>() % 24;
        std::vector<WCHAR> out(capacity + 1, 0);
        const Record* record = Find(model.Of(3), RecordId::PartNumber);
        const bool expected = record != nullptr && record->data.size() <= 2 * capacity;
        FUZZ_REQUIRE(SettingsStore::ReadPartNumber(out.data(), capacity) == expected);
        if (expected) {
          FUZZ_REQUIRE(std::memcmp(out.data(), record->data.data(), record->data.size()) == 0);
        } else if (capacity > 0) {
          const std::u16string text(out.data());
          FUZZ_REQUIRE(text == std::u16string(kUnprogrammedPartNumber).substr(0, capacity - 1));
        }
        break;
      }
    }
    CheckBuffers(model);
  }
  FUZZ_REQUIRE(SettingsStore::Flush());
  EndCycle();
  FUZZ_REQUIRE(GetDeviceVariant() == ModelVariant(model.Of(3)));
  FUZZ_REQUIRE(memory_device::HeldMutexCount() == 0);
  return 0;
}

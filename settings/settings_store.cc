#include "settings/settings_store.h"

#include <cstring>

#include "common/byte_order.h"
#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "settings/settings_mutex.h"

namespace {

struct SettingsPartition {
  DWORD type;
  INT firstBlock;
  INT lastBlock;
  bool dirty;
  // Whether the last Load read the block; false until then. Only a buffer that loaded is the
  // source of a decision or of a write.
  bool loadedFromFlash;
  // Aligned so that every 256-byte chunk takes the word-wise ECC form.
  alignas(4) BYTE buffer[kSettingsPayloadCapacity];
};

// The process-wide store. Dirty flags start clear, so no flush can write a partition that was
// neither loaded nor changed; the buffers start erased, as Open leaves them.
struct StoreState {
  bool locked;
  // Whether Lock took NOR_SYN_OBJ as well (Unlock and Close give it back exactly once).
  bool flashLocked;
  bool opened;
  SettingsPartition partitions[kSettingsPartitionCount];
  // Where PutRecord prepares a change before it commits it to a partition's buffer.
  alignas(4) BYTE scratch[kSettingsPayloadCapacity];
};

constexpr StoreState InitialState() {
  StoreState state{false, false, false, {}, {}};
  for (DWORD i = 0; i < kSettingsPartitionCount; ++i) {
    SettingsPartition& partition = state.partitions[i];
    partition.type = kSettingsPartitionTypes[i];
    partition.firstBlock = -1;
    partition.lastBlock = -1;
    partition.dirty = false;
    partition.loadedFromFlash = false;
    for (BYTE& byte : partition.buffer) byte = 0xFF;
  }
  return state;
}

constinit StoreState store = InitialState();

SettingsPartition* PartitionOfType(DWORD type) {
  for (SettingsPartition& partition : store.partitions) {
    if (partition.type == type) return &partition;
  }
  return nullptr;
}

void ResetBuffers() {
  for (SettingsPartition& partition : store.partitions) {
    std::memset(partition.buffer, 0xFF, sizeof partition.buffer);
  }
}

}  // namespace

bool SettingsStore::Open() {
  store.locked = false;
  for (SettingsPartition& partition : store.partitions) {
    partition.dirty = false;
    partition.loadedFromFlash = false;
  }
  SettingsMutex::Create();
  NorFlashMutex::Create();
  NorFlashMutex::Acquire();
  store.opened = NorFlash::Open() != 0;
  if (store.opened) {
    // Every partition is looked up, also after one is missing.
    for (SettingsPartition& partition : store.partitions) {
      partition.firstBlock = NorFlash::FirstBlockOfType(partition.type);
      partition.lastBlock = NorFlash::LastBlockOfType(partition.type);
      if (partition.firstBlock == -1 || partition.lastBlock == -1) store.opened = false;
    }
  }
  NorFlashMutex::Release();
  ResetBuffers();
  return true;
}

DWORD SettingsStore::Lock() {
  // Both locks at once: the cycle's block reads and writes then never wait for NOR_SYN_OBJ
  // while CFG_SYN_OBJ is held, whatever order another process takes them in.
  const DWORD result = AcquireSettingsAndFlashMutexes(SettingsMutex::Create(),
                                                      NorFlashMutex::Create());
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
    // A second Lock in one cycle keeps a single hold on NOR_SYN_OBJ, as Unlock gives back one.
    if (store.flashLocked) NorFlashMutex::Release();
    store.flashLocked = true;
  }
  store.locked = true;
  return result;
}

bool SettingsStore::Load() {
  if (!store.locked || !store.opened) return false;
  bool allRead = true;
  for (SettingsPartition& partition : store.partitions) {
    partition.loadedFromFlash = SettingsBlock::Read(static_cast<DWORD>(partition.firstBlock),
                                                    partition.buffer, sizeof partition.buffer);
    partition.dirty = false;
    if (!partition.loadedFromFlash) allRead = false;
  }
  return allRead;
}

bool SettingsStore::GetRecord(DWORD id, DWORD type, BYTE* out, DWORD capacity) {
  const SettingsPartition* partition = PartitionOfType(type);
  if (out == nullptr || capacity == 0 || partition == nullptr) return false;
  return FindRecord(id, partition->buffer, sizeof partition->buffer, out, &capacity, nullptr);
}

bool SettingsStore::PutRecord(DWORD id, DWORD type, const BYTE* data, DWORD length,
                              DWORD attribute) {
  SettingsPartition* partition = PartitionOfType(type);
  if (data == nullptr || length == 0 || partition == nullptr) return false;
  // A buffer that did not load would be written back with fresh codes, its damage made valid.
  if (!partition->loadedFromFlash) return false;
  if (length > kMaxRecordDataLength) return false;
  // The free-space id marks the end of the list: a record under it could never be found and
  // would leave bytes after it that no longer read as free space.
  if (id == kFreeSpaceId) return false;
  // The delete runs on a copy: where free space starts once it has run depends on the records
  // it removes (a record that overran the payload where it stood may fit once moved down, and
  // is then removed too), so the append position is looked up in the result, and a put that
  // does not fit leaves the buffer as it was.
  std::memcpy(store.scratch, partition->buffer, sizeof store.scratch);
  DeleteRecord(id, store.scratch, sizeof store.scratch);
  DWORD position = 0;
  if (!FindAppendPosition(store.scratch, sizeof store.scratch, length, &position)) {
    return false;
  }
  std::memcpy(partition->buffer, store.scratch, sizeof partition->buffer);
  BYTE* record = partition->buffer + position;
  StoreLittleEndian32(record, id);
  StoreLittleEndian32(record + 4, attribute);
  StoreLittleEndian32(record + 8, length);
  std::memcpy(record + kRecordHeaderSize, data, length);
  partition->dirty = true;
  return true;
}

bool SettingsStore::RemoveRecord(DWORD id, DWORD type) {
  SettingsPartition* partition = PartitionOfType(type);
  if (partition == nullptr || !partition->loadedFromFlash) return false;
  // DeleteRecord removes exactly the records a walk of the list reaches.
  bool present = false;
  DWORD position = 0;
  SettingsRecord record;
  while (!present && NextRecord(partition->buffer, sizeof partition->buffer, &position, &record)) {
    present = record.id == id;
  }
  if (!present) return false;
  DeleteRecord(id, partition->buffer, sizeof partition->buffer);
  partition->dirty = true;
  return true;
}

bool SettingsStore::ReadPartNumber(WCHAR* out, DWORD capacity) {
  if (out == nullptr) return false;
  // 2 bytes a character; a capacity beyond the payload cannot matter, and must not wrap.
  const DWORD byteCapacity =
      capacity > kSettingsPayloadCapacity / 2 ? kSettingsPayloadCapacity : capacity * 2;
  const bool found = GetRecord(RecordId::PartNumber, kSemiPermanentSettingsType,
                               reinterpret_cast<BYTE*>(out), byteCapacity);
  if (!found && capacity > 0) {
    DWORD length = 0;
    for (; kUnprogrammedPartNumber[length] != 0 && length + 1 < capacity; ++length) {
      out[length] = kUnprogrammedPartNumber[length];
    }
    out[length] = 0;
  }
  return found;
}

bool SettingsStore::RequestUpdate(DWORD value) {
  BYTE bytes[4];
  StoreLittleEndian32(bytes, value);
  return PutRecord(RecordId::UpdateRequest, kSemiPermanentSettingsType, bytes, sizeof bytes,
                   kUpdateRequestAttribute);
}

bool SettingsStore::Flush() {
  if (!store.locked || !store.opened) return false;
  bool allWritten = true;
  for (SettingsPartition& partition : store.partitions) {
    if (!partition.dirty) continue;
    // Erase and program as one unit against other users of the flash.
    NorFlashMutex::Acquire();
    if (!SettingsBlock::Write(static_cast<DWORD>(partition.firstBlock), partition.buffer,
                              sizeof partition.buffer)) {
      allWritten = false;
    }
    NorFlashMutex::Release();
    partition.dirty = false;
  }
  return allWritten;
}

namespace {

// Gives back what Lock took: CFG_SYN_OBJ, and NOR_SYN_OBJ when Lock took it too.
void ReleaseCycleLocks() {
  store.locked = false;
  if (store.flashLocked) {
    store.flashLocked = false;
    NorFlashMutex::Release();
  }
  SettingsMutex::Release();
}

}  // namespace

void SettingsStore::Unlock() {
  ReleaseCycleLocks();
}

void SettingsStore::Close() {
  NorFlash::Close();
  if (store.locked) ReleaseCycleLocks();
  SettingsMutex::Close();
}

const BYTE* SettingsStore::Payload(DWORD type) {
  const SettingsPartition* partition = PartitionOfType(type);
  return partition == nullptr ? nullptr : partition->buffer;
}

bool SettingsStore::LoadedFromFlash(DWORD type) {
  const SettingsPartition* partition = PartitionOfType(type);
  return partition != nullptr && partition->loadedFromFlash;
}

bool SettingsStore::IsOpened() {
  return store.opened;
}

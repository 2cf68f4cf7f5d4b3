// The settings store: the process-wide RAM cache of the four settings partitions.
//
// Each partition (types 6 Serial, 7 UUID, 8 MAC, 4 Semi-Permanent Settings, in that order) keeps
// one SettingsBlock with a 4096-byte payload of records (settings/settings_record.h) in its
// first flash block. The store owns one static 4096-byte buffer per partition and allocates
// nothing. A store cycle is
//
//   Open, Lock, Load, record operations, Flush (when something changed), Unlock, Close
//
// CFG_SYN_OBJ (SettingsMutex) is held from Lock to Unlock (or Close) and serialises whole cycles
// between processes. NOR_SYN_OBJ is taken by Open around the flash open and the partition
// lookups, and Lock takes it together with CFG_SYN_OBJ and keeps it to Unlock, so that no block
// read or write of the cycle waits for it while CFG_SYN_OBJ is held: Lock never waits for one of
// the two while holding the other, whatever order other processes take them in. Both mutexes
// are recursive, so a caller that already holds them (the update procedure) may run a cycle.
//
// State: locked (set by Lock; cleared by Open, Unlock, Close), opened (set by Open when the
// flash opened and all four partitions were found), and per partition the first and last block
// (-1 when missing), a dirty flag (set by a successful put; cleared by Open, Load and Flush) and
// the buffer. Load and Flush act only when both locked and opened are set. The record
// operations work on the buffers and check neither flag; PutRecord and RemoveRecord refuse a
// partition whose block the last Load did not read, so damage that made a block unreadable is
// never written back as valid, and nothing is put before a Load. Opened and the buffers survive
// Close.
//
// For tools. Formatting a device's settings: NorFlashMutex::Acquire, NorFlash::Open, for each
// type in kSettingsPartitionTypes SettingsBlock::Write(NorFlash::FirstBlockOfType(type), any
// non-null pointer, 0), NorFlash::Close, NorFlashMutex::Release; then a store cycle that loads
// the empty payloads, puts the part number (RecordId::PartNumber in partition type 4, UTF-16LE
// without terminator, attribute 0) and flushes. Listing: a store cycle up to Load, then
// NextRecord over Payload(type) for each type; LoadedFromFlash(type) tells which blocks read.
#pragma once

#include "flash/partition_table.h"
#include "platform/types.h"
#include "settings/device_variant.h"
#include "settings/settings_block.h"
#include "settings/settings_record.h"

// Partition type codes of the four settings partitions, in the store's order.
inline constexpr DWORD kSerialSettingsType = static_cast<DWORD>(PartitionType::SerialSettings);
inline constexpr DWORD kUuidSettingsType = static_cast<DWORD>(PartitionType::UuidSettings);
inline constexpr DWORD kMacSettingsType = static_cast<DWORD>(PartitionType::MacSettings);
inline constexpr DWORD kSemiPermanentSettingsType =
    static_cast<DWORD>(PartitionType::SemiPermanentSettings);
inline constexpr DWORD kSettingsPartitionCount = 4;
inline constexpr DWORD kSettingsPartitionTypes[kSettingsPartitionCount] = {
    kSerialSettingsType, kUuidSettingsType, kMacSettingsType, kSemiPermanentSettingsType};
static_assert(kSerialSettingsType == 6 && kUuidSettingsType == 7 && kMacSettingsType == 8 &&
              kSemiPermanentSettingsType == 4);

// The largest record data that fits a payload.
inline constexpr DWORD kMaxRecordDataLength = kSettingsPayloadCapacity - kRecordHeaderSize;
static_assert(kMaxRecordDataLength == 4084);

// The part number the store reports when none is stored, and the room GetDeviceVariant gives.
inline constexpr WCHAR kUnprogrammedPartNumber[] = TEXT("Unprogrammed");
inline constexpr DWORD kPartNumberCharacters = 20;

class SettingsStore {
 public:
  // Starts a store cycle: clears locked and every dirty flag, creates CFG_SYN_OBJ and
  // NOR_SYN_OBJ, opens the flash under NOR_SYN_OBJ and looks up all four partitions (opened is
  // set only when the flash opened and every lookup found its type), then fills every buffer
  // with 0xFF. Always returns true; a missing flash or partition shows as a false Load/Flush.
  static bool Open();

  // Takes CFG_SYN_OBJ and NOR_SYN_OBJ together (AcquireSettingsAndFlashMutexes, without time
  // limit), then sets locked whatever the wait returned, and returns the wait's result. Both are
  // held until Unlock or Close; NOR_SYN_OBJ only when it was taken.
  static DWORD Lock();

  // Reads all four partitions into their buffers (SettingsBlock::Read with 4096 bytes), going on
  // after a failure, and clears every dirty flag. A failed partition's buffer holds what
  // SettingsBlock::Read leaves. Returns true only when all four read; false without touching
  // flash or buffers when not locked or not opened.
  static bool Load();

  // Copies the data of record `id` of partition `type` into out (up to capacity bytes). False
  // for a null out, capacity 0, a type that is not one of the four, a missing record or one
  // longer than capacity. The number of bytes copied is not reported.
  [[nodiscard]] static bool GetRecord(DWORD id, DWORD type, BYTE* out, DWORD capacity);

  // Replaces every record `id` of partition `type` by one holding the `length` bytes at data,
  // appended at the start of free space, and marks the partition dirty. Fails, changing
  // nothing (buffer byte-identical, dirty flag as before), for null data, length 0, a length
  // above 4084, the free-space id 0xFFFFFFFF, a type that is not one of the four, a partition
  // whose block the last Load did not read (LoadedFromFlash), and when the record does not fit.
  [[nodiscard]] static bool PutRecord(DWORD id, DWORD type, const BYTE* data, DWORD length,
                                      DWORD attribute);

  // Copies record 2 of partition type 4 as stored (no terminator added) into out, `capacity`
  // characters at most; the caller zero-fills a buffer one character larger. When the record is
  // missing or longer than 2 x capacity bytes, out receives "Unprogrammed" (cut to capacity - 1
  // characters if needed, always terminated) and the result is false.
  static bool ReadPartNumber(WCHAR* out, DWORD capacity);

  // Removes every record `id` of partition `type` (DeleteRecord on its buffer) and marks the
  // partition dirty when one was there. False, changing nothing, for a type that is not one of
  // the four, a partition that is not LoadedFromFlash, or when no record `id` was found.
  static bool RemoveRecord(DWORD id, DWORD type);

  // PutRecord(RecordId::UpdateRequest, 4, the 4 little-endian bytes of value, 4, attribute 2).
  static bool RequestUpdate(DWORD value);

  // Writes every dirty partition back with SettingsBlock::Write (erase and program, under
  // NOR_SYN_OBJ) and clears its dirty flag whatever the outcome. True when no write failed,
  // also when nothing was dirty (flash untouched); false without flash access when not locked
  // or not opened.
  [[nodiscard]] static bool Flush();

  // Clears locked and releases CFG_SYN_OBJ, and NOR_SYN_OBJ when Lock took it.
  static void Unlock();

  // Ends the cycle: closes the flash (reference-counted), releases what Lock took if still
  // locked, closes the CFG_SYN_OBJ handle. The NOR_SYN_OBJ handle stays open for the process.
  static void Close();

  // For listings and tests: the 4096-byte buffer of partition `type`, null for any other type.
  [[nodiscard]] static const BYTE* Payload(DWORD type);
  // Whether the last Load read partition `type` successfully (false before any Load): only then
  // may its buffer be used and written back.
  [[nodiscard]] static bool LoadedFromFlash(DWORD type);
  // Whether Open found the flash and all four partitions.
  [[nodiscard]] static bool IsOpened();
};

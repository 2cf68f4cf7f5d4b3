// The records inside a settings payload, and the scans over a payload buffer.
//
// Records follow each other from offset 0 with no padding (little-endian u32 fields):
//
//   0   4        id         0xFFFFFFFF marks the start of free space
//   4   4        attribute  stored with the record, not interpreted
//   8   4        length     data bytes that follow
//   12  length   data
//
// From the first header whose id is 0xFFFFFFFF to the end of the payload every byte is 0xFF.
// Every scan stops when fewer than 12 bytes remain, and treats a record whose declared length
// would carry it past the end of the buffer as the end of the list. Position arithmetic is done
// so that no length field, however large (0xFFFFFFF0), can wrap it or lead a read outside the
// buffer.
#pragma once

#include "platform/types.h"

inline constexpr DWORD kRecordHeaderSize = 12;
inline constexpr DWORD kFreeSpaceId = 0xFFFFFFFFu;

// Record ids that this system uses (both in the Semi-Permanent Settings partition).
struct RecordId {
  // The device's part number, UTF-16LE, with or without a terminating zero; attribute unused.
  static constexpr DWORD PartNumber = 2;
  // The update request for the bootloader; attribute 2, data a u32 (1: update).
  static constexpr DWORD UpdateRequest = 37;
};
inline constexpr DWORD kUpdateRequestAttribute = 2;

struct SettingsRecord {
  DWORD id = 0;
  DWORD attribute = 0;
  DWORD length = 0;
  const BYTE* data = nullptr;  // inside the scanned buffer
};

// Copies the data of the first record with `id` from buffer (length bytes) to out. *capacity
// gives the room at out and receives the record's length on success. When `attribute` is
// non-null it receives the record's attribute as soon as the record is found, even if the copy
// then fails. Fails when buffer, out or capacity is null, *capacity is 0, length < 12, the id is
// not found before free space or the end, the record's data does not lie wholly inside the
// buffer, or it is larger than *capacity.
[[nodiscard]] bool FindRecord(DWORD id, const BYTE* buffer, DWORD length, BYTE* out,
                              DWORD* capacity, DWORD* attribute);

// Removes every record with `id` from buffer (length bytes): the records after each one move
// down over it and the freed bytes at the end become 0xFF. Does nothing for a null buffer or a
// length below 12, and stops at free space or at a record that does not fit in the buffer.
void DeleteRecord(DWORD id, BYTE* buffer, DWORD length);

// Walks the records of buffer (length bytes) in order, for listings. Start with *position 0;
// each call that returns true fills `record` (its data points into buffer) and advances
// *position past it. Returns false at free space, when fewer than 12 bytes remain, and at a
// record whose data would reach past the end of the buffer.
[[nodiscard]] bool NextRecord(const BYTE* buffer, DWORD length, DWORD* position,
                              SettingsRecord* record);

// Where a record of `dataLength` data bytes would be appended to buffer (length bytes): the
// first header whose id is 0xFFFFFFFF, reached by walking the records as NextRecord does, when
// 12 + dataLength bytes remain from there. False when the walk ends without reaching free space
// (fewer than 12 bytes left, or a record that would reach past the end) or the record does not
// fit at it. Bytes after the free-space header are not examined.
[[nodiscard]] bool FindAppendPosition(const BYTE* buffer, DWORD length, DWORD dataLength,
                                      DWORD* position);

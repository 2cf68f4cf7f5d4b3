#include "settings/settings_record.h"

#include <cstring>

#include "common/byte_order.h"

namespace {

struct Header {
  DWORD id;
  DWORD attribute;
  DWORD length;
};

// The header at `position`; the caller has checked that 12 bytes remain.
Header ReadHeader(const BYTE* buffer, DWORD position) {
  return {LoadLittleEndian32(buffer + position), LoadLittleEndian32(buffer + position + 4),
          LoadLittleEndian32(buffer + position + 8)};
}

// Scans keep position <= length, so `length - position` never wraps; a record fits when its
// data length is at most the room left after its header.
bool HeaderFits(DWORD length, DWORD position) {
  return length - position >= kRecordHeaderSize;
}
DWORD RoomAfterHeader(DWORD length, DWORD position) {
  return length - position - kRecordHeaderSize;
}

}  // namespace

bool FindRecord(DWORD id, const BYTE* buffer, DWORD length, BYTE* out, DWORD* capacity,
                DWORD* attribute) {
  if (buffer == nullptr || out == nullptr || capacity == nullptr || *capacity == 0 ||
      length < kRecordHeaderSize) {
    return false;
  }
  DWORD position = 0;
  while (HeaderFits(length, position)) {
    const Header header = ReadHeader(buffer, position);
    const DWORD room = RoomAfterHeader(length, position);
    if (header.id == id) {
      if (attribute != nullptr) *attribute = header.attribute;
      if (header.length > room || header.length > *capacity) return false;
      std::memcpy(out, buffer + position + kRecordHeaderSize, header.length);
      *capacity = header.length;
      return true;
    }
    if (header.id == kFreeSpaceId || header.length > room) return false;
    position += kRecordHeaderSize + header.length;
  }
  return false;
}

void DeleteRecord(DWORD id, BYTE* buffer, DWORD length) {
  if (buffer == nullptr || length < kRecordHeaderSize) return;
  DWORD position = 0;
  while (HeaderFits(length, position)) {
    const Header header = ReadHeader(buffer, position);
    if (header.id == kFreeSpaceId || header.length > RoomAfterHeader(length, position)) return;
    const DWORD size = kRecordHeaderSize + header.length;
    if (header.id == id) {
      // Close the gap and free the bytes at the end; stay here for a following record.
      std::memmove(buffer + position, buffer + position + size, length - position - size);
      std::memset(buffer + length - size, 0xFF, size);
    } else {
      position += size;
    }
  }
}

bool NextRecord(const BYTE* buffer, DWORD length, DWORD* position, SettingsRecord* record) {
  if (buffer == nullptr || position == nullptr || record == nullptr || *position > length ||
      !HeaderFits(length, *position)) {
    return false;
  }
  const Header header = ReadHeader(buffer, *position);
  if (header.id == kFreeSpaceId || header.length > RoomAfterHeader(length, *position)) {
    return false;
  }
  record->id = header.id;
  record->attribute = header.attribute;
  record->length = header.length;
  record->data = buffer + *position + kRecordHeaderSize;
  *position += kRecordHeaderSize + header.length;
  return true;
}

bool FindAppendPosition(const BYTE* buffer, DWORD length, DWORD dataLength, DWORD* position) {
  if (buffer == nullptr || position == nullptr) return false;
  DWORD at = 0;
  while (HeaderFits(length, at)) {
    const Header header = ReadHeader(buffer, at);
    const DWORD room = RoomAfterHeader(length, at);
    if (header.id == kFreeSpaceId) {
      if (dataLength > room) return false;
      *position = at;
      return true;
    }
    if (header.length > room) return false;
    at += kRecordHeaderSize + header.length;
  }
  return false;
}

#include "settings/settings_record.h"

#include <cstring>

namespace {

DWORD ReadField(const BYTE* bytes) {
  return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
         static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

struct Header {
  DWORD id;
  DWORD attribute;
  DWORD length;
};

// The header at `position`; the caller has checked that 12 bytes remain.
Header ReadHeader(const BYTE* buffer, DWORD position) {
  return {ReadField(buffer + position), ReadField(buffer + position + 4),
          ReadField(buffer + position + 8)};
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

bool FindRoomAfterDelete(DWORD id, const BYTE* buffer, DWORD length, DWORD dataLength,
                         DWORD* position) {
  if (buffer == nullptr || position == nullptr || length < kRecordHeaderSize ||
      dataLength > length - kRecordHeaderSize) {
    return false;
  }
  // Walk as DeleteRecord does: `kept` is where the walk's stopping point will stand once the
  // records with `id` before it are gone, and `stop` is that point in the buffer as it is.
  DWORD stop = 0;
  DWORD kept = 0;
  while (HeaderFits(length, stop)) {
    const Header header = ReadHeader(buffer, stop);
    if (header.id == kFreeSpaceId || header.length > RoomAfterHeader(length, stop)) break;
    if (header.id != id) kept += kRecordHeaderSize + header.length;
    stop += kRecordHeaderSize + header.length;
  }
  // After the delete, the buffer holds the kept records, then the bytes from `stop` on, then
  // 0xFF for every byte removed. Scan that view for free space as the append does.
  const auto viewByte = [&](DWORD index) -> BYTE {
    const DWORD source = stop + (index - kept);
    return source < length ? buffer[source] : BYTE{0xFF};
  };
  const auto viewField = [&](DWORD index) {
    return static_cast<DWORD>(viewByte(index)) | static_cast<DWORD>(viewByte(index + 1)) << 8 |
           static_cast<DWORD>(viewByte(index + 2)) << 16 |
           static_cast<DWORD>(viewByte(index + 3)) << 24;
  };
  const DWORD needed = kRecordHeaderSize + dataLength;
  DWORD at = kept;
  for (;;) {
    // Every position reached past 0 must still leave room for the new record.
    if (at > 0 && length - at < needed) return false;
    if (viewField(at) == kFreeSpaceId) {
      *position = at;
      return true;
    }
    const DWORD recordLength = viewField(at + 8);
    if (recordLength > RoomAfterHeader(length, at)) return false;
    at += kRecordHeaderSize + recordLength;
  }
}

// A card file opened and mapped into memory, so that the image verifier can check it, and
// compact it, where it lies.
#pragma once

#include "platform/types.h"

// Every read-only mapping this program creates carries this name. Mapping names are shared by
// all processes of the device, and the platform hands out an existing object of the same name
// instead of a new one, so Open refuses a name that is already taken (see below). A read-write
// mapping has no name, so that no other process can reach it and write into the file.
inline constexpr WCHAR kMappingName[] = TEXT("_Corvelle_MMF_");

// States: Closed (no file), Open (file and mapping, no view), Viewed (file, mapping, view).
// Open passes through Closed first, MapView replaces any earlier view, Close and the destructor
// return to Closed from any state. The program keeps at most one MappedFile open at a time.
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  virtual ~MappedFile();

  // Closes whatever the object holds, then opens `path` without sharing (read-only, or read and
  // write) and maps the whole file, read-only under kMappingName, read-write without a name.
  // True when the file is open and its mapping exists. False, leaving the object Closed, for a
  // missing or locked file, one that cannot be mapped (an empty file cannot), a file of 4 GiB or
  // more (last error ERROR_FILE_INVALID), and when the mapping name already named a live object:
  // the object handed out would be another opener's, not this file.
  [[nodiscard]] bool Open(LPCWSTR path, BOOL readOnly);

  // Unmaps any earlier view, then maps `length` bytes from `offset` (length 0: to the end of
  // the file; a length reaching past the end is cut at the end) and returns the view's first
  // byte. Returns null with a view length of 0 when the map fails or `offset` lies at or beyond
  // the end of the file; the file and the mapping stay open. A read-write view's writes reach
  // the file.
  [[nodiscard]] BYTE* MapView(DWORD offset, DWORD length);

  // The length of the current view; 0 after a failed map.
  [[nodiscard]] DWORD ViewSize() const { return viewLength_; }

  // Unmaps the view, closes the mapping, closes the file, in that order; each only if present.
  void Close();

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
  DWORD fileSize_ = 0;
  HANDLE mapping_ = nullptr;
  BYTE* view_ = nullptr;
  DWORD viewLength_ = 0;
  BOOL readOnly_ = TRUE;
};

#include "update/mapped_file.h"

#include "platform/core_library.h"

namespace {

constexpr DWORD kReadOnlyProtection = PAGE_READONLY | SEC_COMMIT;
constexpr DWORD kReadWriteProtection = PAGE_READWRITE | SEC_COMMIT;
static_assert(kReadOnlyProtection == 0x08000002u);
static_assert(kReadWriteProtection == 0x08000004u);

}  // namespace

MappedFile::~MappedFile() {
  Close();
}

bool MappedFile::Open(LPCWSTR path, BOOL readOnly) {
  readOnly_ = readOnly;
  Close();

  const DWORD access = readOnly ? GENERIC_READ : (GENERIC_READ | GENERIC_WRITE);
  file_ = CreateFileW(path, access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD sizeHigh = 0;
  fileSize_ = GetFileSize(file_, &sizeHigh);
  // A view length and every offset of the verifier are 32-bit: a file of 4 GiB or more would be
  // seen as its size modulo 2^32, and whatever lies past that would go unchecked.
  if (sizeHigh != 0) {
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    fileSize_ = 0;
    SetLastError(ERROR_FILE_INVALID);
    return false;
  }

  // A read-write mapping is left unnamed: under the shared name any other process could be
  // handed this very object and write into the file through it, after its bytes were verified.
  // A read-only object handed out that way admits no writable view.
  SetLastError(ERROR_SUCCESS);
  mapping_ = CreateFileMappingW(file_, nullptr,
                                readOnly ? kReadOnlyProtection : kReadWriteProtection, 0, 0,
                                readOnly ? kMappingName : nullptr);
  // A name that already named a live object gives that object back, mapping someone else's
  // data instead of this file: refuse it rather than verify or program the wrong bytes.
  if (mapping_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mapping_);
    mapping_ = nullptr;
    SetLastError(ERROR_ALREADY_EXISTS);
  }
  if (mapping_ == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    SetLastError(error);
    return false;
  }
  return true;
}

BYTE* MappedFile::MapView(DWORD offset, DWORD length) {
  if (view_ != nullptr) {
    UnmapViewOfFile(view_);
    view_ = nullptr;
  }
  viewLength_ = 0;
  // An offset at or past the end leaves nothing to map; a view there would reach outside the
  // file.
  if (mapping_ == nullptr || offset >= fileSize_) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (length == 0 || length > fileSize_ - offset) {
    length = fileSize_ - offset;
  }
  const DWORD access = readOnly_ ? FILE_MAP_READ : FILE_MAP_ALL_ACCESS;
  view_ = static_cast<BYTE*>(MapViewOfFile(mapping_, access, 0, offset, length));
  if (view_ != nullptr) {
    viewLength_ = length;
  }
  return view_;
}

void MappedFile::Close() {
  if (view_ != nullptr) {
    UnmapViewOfFile(view_);
    view_ = nullptr;
  }
  if (mapping_ != nullptr) {
    CloseHandle(mapping_);
    mapping_ = nullptr;
  }
  if (file_ != INVALID_HANDLE_VALUE) {
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }
}

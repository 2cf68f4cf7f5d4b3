// File mappings over mmap, with the card's cache as the device's file system keeps it: a
// read-write view is a private copy of its part of the file (MAP_PRIVATE), written to the card
// file when the view is unmapped, so changes that were not unmapped by a restart or a power cut
// (both end the process) never reach the card. Only the pages whose bytes changed are written,
// so two views of one file do not undo each other's writes. Read-only views see the file as it
// is (pages not written to follow the file).
//
// A mapping holds its file (and so the file's sharing lock) for as long as a handle or a view of
// it exists; its name lives only as long as a handle does, as the platform's names do. A named
// object is entered in DIR/.kernel/mapping/ (see named_objects.h)
// with a description of what it maps; a second CreateFileMappingW of a name that a running
// process holds returns that object, in this process the very same one, in another process a
// mapping of the same file, with ERROR_ALREADY_EXISTS.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "host/core_library/card_path.h"
#include "host/core_library/files.h"
#include "host/core_library/named_objects.h"

namespace host {
namespace {

// Views start at multiples of the device's allocation granularity.
constexpr std::uint64_t kAllocationGranularity = 64 * 1024;

// What a mapping maps; its handles and its views keep it.
class MappedData {
 public:
  MappedData(std::shared_ptr<FileObject> file, std::uint64_t size, bool writable)
      : file_(std::move(file)), size_(size), writable_(writable) {}

  int Descriptor() const { return file_->Descriptor(); }
  std::uint64_t Size() const { return size_; }
  bool Writable() const { return writable_; }

 private:
  std::shared_ptr<FileObject> file_;
  std::uint64_t size_;
  bool writable_;
};

// The object behind the handles of a mapping: its data and, for a named mapping, this process's
// hold on the name, given up with the last handle.
class MappingObject : public KernelObject {
 public:
  MappingObject(std::shared_ptr<FileObject> file, std::uint64_t size, bool writable,
                std::filesystem::path holders)
      : KernelObject(ObjectKind::FileMapping),
        data_(std::make_shared<MappedData>(std::move(file), size, writable)),
        holders_(std::move(holders)) {}
  ~MappingObject() override {
    if (!holders_.empty()) Holders().Leave(holders_);
  }

  const std::shared_ptr<MappedData>& Data() const { return data_; }
  int Descriptor() const { return data_->Descriptor(); }
  std::uint64_t Size() const { return data_->Size(); }
  bool Writable() const { return data_->Writable(); }

 private:
  std::shared_ptr<MappedData> data_;
  std::filesystem::path holders_;  // empty for an unnamed object
};

struct View {
  std::size_t length;
  std::shared_ptr<MappedData> mapping;
  std::uint64_t offset = 0;
  std::vector<char> original;  // a read-write view's bytes when mapped; empty for read-only
};

constexpr std::size_t kWriteBackChunk = 4096;

// Writes the chunks of a read-write view that differ from what it was mapped with.
bool WriteBack(const char* view, const View& described) {
  const int descriptor = described.mapping->Descriptor();
  for (std::size_t at = 0; at < described.length; at += kWriteBackChunk) {
    const std::size_t chunk = std::min(kWriteBackChunk, described.length - at);
    if (std::memcmp(view + at, described.original.data() + at, chunk) == 0) continue;
    if (::pwrite(descriptor, view + at, chunk, static_cast<off_t>(described.offset + at)) !=
        static_cast<ssize_t>(chunk))
      return false;
  }
  return true;
}

struct MappingState {
  std::mutex lock;
  std::unordered_map<std::string, std::weak_ptr<MappingObject>> named;  // by holders path
  std::map<std::uintptr_t, View> views;                                 // by base address
};

MappingState& State() {
  static MappingState* state = new MappingState;
  return *state;
}

// What another process needs to map the same object: the file, the size, the protection.
bool WriteDescription(const std::filesystem::path& path, const FileObject& file, std::uint64_t size,
                      bool writable) {
  std::ofstream stream(path, std::ios::trunc);
  // Absolute, so that a process started from another folder finds the same file.
  std::error_code code;
  const std::filesystem::path mapped = std::filesystem::absolute(file.Path(), code);
  if (code) return false;
  stream << size << ' ' << (writable ? 1 : 0) << '\n' << mapped.string() << '\n';
  stream.flush();
  return static_cast<bool>(stream);
}

std::shared_ptr<MappingObject> OpenDescribed(const std::filesystem::path& path,
                                             const std::filesystem::path& holders) {
  std::ifstream stream(path);
  std::uint64_t size = 0;
  int writable = 0;
  std::string file;
  if (!(stream >> size >> writable) || !std::getline(stream >> std::ws, file) || file.empty())
    return nullptr;
  const int descriptor = ::open(file.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  auto object = std::make_shared<FileObject>(
      descriptor, file, writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ);
  return std::make_shared<MappingObject>(std::move(object), size, writable != 0, holders);
}

}  // namespace
}  // namespace host

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES /*attributes*/, DWORD protect,
                          DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name) {
  const DWORD protection = protect & ~SEC_COMMIT;
  if (protection != PAGE_READONLY && protection != PAGE_READWRITE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const bool writable = protection == PAGE_READWRITE;
  // Mappings of the paging file (INVALID_HANDLE_VALUE) are not provided.
  const auto fileObject = host::LookupHandleOf<host::FileObject>(file, host::ObjectKind::File);
  if (fileObject == nullptr) return nullptr;
  if (!fileObject->CanRead() || (writable && !fileObject->CanWrite())) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  struct stat status {};
  if (::fstat(fileObject->Descriptor(), &status) != 0) {
    SetLastError(ERROR_READ_FAULT);
    return nullptr;
  }
  const auto fileSize = static_cast<std::uint64_t>(status.st_size);
  std::uint64_t size = (std::uint64_t{maximumSizeHigh} << 32) | maximumSizeLow;
  if (size == 0) {
    if (fileSize == 0) {
      SetLastError(ERROR_FILE_INVALID);  // nothing to map
      return nullptr;
    }
    size = fileSize;
  }
  if (size > fileSize && !writable) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }

  std::shared_ptr<host::MappingObject> object;
  bool existed = false;
  if (name == nullptr) {
    object =
        std::make_shared<host::MappingObject>(fileObject, size, writable, std::filesystem::path());
  } else {
    const std::optional<std::string> stem = host::ObjectFileStem(host::ViewOf(name));
    if (!stem) {
      SetLastError(ERROR_INVALID_NAME);
      return nullptr;
    }
    const auto directory = host::ObjectDirectory(sim::CurrentDevice(), "mapping");
    if (!directory) return nullptr;
    const std::filesystem::path holders = *directory / (*stem + ".holders");
    const std::filesystem::path description = *directory / (*stem + ".mapping");

    host::MappingState& state = host::State();
    std::lock_guard guard(state.lock);
    object = state.named[holders.string()].lock();
    if (object != nullptr) {
      existed = true;
    } else {
      const std::optional<bool> entered = host::Holders().Enter(holders, [&](bool heldElsewhere) {
        existed = heldElsewhere;
        if (heldElsewhere) {
          object = host::OpenDescribed(description, holders);
          if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
        } else if (host::WriteDescription(description, *fileObject, size, writable)) {
          object = std::make_shared<host::MappingObject>(fileObject, size, writable, holders);
        } else {
          SetLastError(ERROR_ACCESS_DENIED);
        }
        return object != nullptr;
      });
      if (!entered) return nullptr;
      state.named[holders.string()] = object;
    }
  }
  // A read-write mapping larger than its file extends the file, as on the device.
  if (!existed && size > fileSize &&
      ::ftruncate(fileObject->Descriptor(), static_cast<off_t>(size)) != 0) {
    SetLastError(host::ErrorFromErrno(errno));
    return nullptr;
  }
  const HANDLE handle = host::OpenHandle(object);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

LPVOID WINAPI MapViewOfFile(HANDLE fileMapping, DWORD desiredAccess, DWORD fileOffsetHigh,
                            DWORD fileOffsetLow, std::size_t numberOfBytesToMap) {
  const auto mapping =
      host::LookupHandleOf<host::MappingObject>(fileMapping, host::ObjectKind::FileMapping);
  if (mapping == nullptr) return nullptr;
  const bool write = desiredAccess == FILE_MAP_ALL_ACCESS || (desiredAccess & FILE_MAP_WRITE) != 0;
  if (!write && (desiredAccess & FILE_MAP_READ) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (write && !mapping->Writable()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const std::uint64_t offset = (std::uint64_t{fileOffsetHigh} << 32) | fileOffsetLow;
  if (offset % host::kAllocationGranularity != 0) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  if (offset >= mapping->Size() || numberOfBytesToMap > mapping->Size() - offset) {
    SetLastError(ERROR_ACCESS_DENIED);  // the view would reach past the mapping's end
    return nullptr;
  }
  const std::uint64_t length =
      numberOfBytesToMap != 0 ? numberOfBytesToMap : mapping->Size() - offset;
  void* address =
      ::mmap(nullptr, static_cast<std::size_t>(length), write ? PROT_READ | PROT_WRITE : PROT_READ,
             write ? MAP_PRIVATE : MAP_SHARED, mapping->Descriptor(), static_cast<off_t>(offset));
  if (address == MAP_FAILED) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  host::View view{static_cast<std::size_t>(length), mapping->Data(), offset, {}};
  if (write) {
    const char* bytes = static_cast<const char*>(address);
    view.original.assign(bytes, bytes + length);
  }
  host::MappingState& state = host::State();
  std::lock_guard guard(state.lock);
  state.views.emplace(reinterpret_cast<std::uintptr_t>(address), std::move(view));
  return address;
}

BOOL UnmapViewOfFile(LPCVOID baseAddress) {
  std::shared_ptr<host::MappedData> mapping;  // released after the state lock
  host::MappingState& state = host::State();
  std::lock_guard guard(state.lock);
  const auto found = state.views.find(reinterpret_cast<std::uintptr_t>(baseAddress));
  if (found == state.views.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool written = found->second.original.empty() ||
                       host::WriteBack(static_cast<const char*>(baseAddress), found->second);
  const int failure = errno;
  ::munmap(const_cast<void*>(baseAddress), found->second.length);
  mapping = std::move(found->second.mapping);
  state.views.erase(found);
  if (!written) {
    SetLastError(host::ErrorFromErrno(failure));
    return FALSE;
  }
  return TRUE;
}

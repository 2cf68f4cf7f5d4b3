#include "sim/memory_array.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

// An unlinked temporary file rather than anonymous memory, so that the flash window can map the
// same bytes read-only (and hide them) while the chip writes them through its own mapping.
std::unique_ptr<MemoryArray> MemoryArray::Create(std::uint64_t bytes, std::string* error) {
  std::unique_ptr<MemoryArray> array(new MemoryArray);
  std::string pattern = (std::filesystem::temp_directory_path() / "orvanta-nor-XXXXXX").string();
  array->descriptor_ = ::mkstemp(pattern.data());
  if (array->descriptor_ >= 0) ::unlink(pattern.c_str());
  void* mapping = MAP_FAILED;
  if (array->descriptor_ >= 0 && ::ftruncate(array->descriptor_, static_cast<off_t>(bytes)) == 0)
    mapping = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, array->descriptor_, 0);
  if (mapping == MAP_FAILED) {
    if (error) *error = pattern + ": " + std::strerror(errno);
    return nullptr;
  }
  array->bytes_ = static_cast<std::uint8_t*>(mapping);
  array->size_ = bytes;
  return array;
}

std::unique_ptr<MemoryArray> MemoryArray::MapFile(const std::filesystem::path& file,
                                                  std::uint64_t bytes, std::string* error) {
  std::unique_ptr<MemoryArray> array(new MemoryArray);
  const auto fail = [&](const std::string& why) -> std::unique_ptr<MemoryArray> {
    if (error) *error = why;
    return nullptr;
  };
  array->descriptor_ = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (array->descriptor_ < 0) return fail(std::strerror(errno));
  struct stat info {};
  if (::fstat(array->descriptor_, &info) != 0) return fail(std::strerror(errno));
  if (static_cast<std::uint64_t>(info.st_size) != bytes)
    return fail("size " + std::to_string(info.st_size) + ", the geometry needs " +
                std::to_string(bytes));
  void* mapping =
      ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, array->descriptor_, 0);
  if (mapping == MAP_FAILED) return fail(std::strerror(errno));
  array->bytes_ = static_cast<std::uint8_t*>(mapping);
  array->size_ = bytes;
  return array;
}

MemoryArray::~MemoryArray() {
  if (bytes_ != nullptr) ::munmap(bytes_, size_);
  if (descriptor_ >= 0) ::close(descriptor_);
}

}  // namespace sim

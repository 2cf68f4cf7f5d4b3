#include "sim/memory_array.h"

namespace sim {

std::unique_ptr<MemoryArray> MemoryArray::Create(std::uint64_t bytes, std::string* error) {
  std::unique_ptr<MemoryArray> array(new MemoryArray);
  if (!system::CreatePrivateArray(bytes, array->shared_, error)) return nullptr;
  return array;
}

std::unique_ptr<MemoryArray> MemoryArray::MapFile(const std::filesystem::path& file,
                                                  std::uint64_t bytes, std::string* error) {
  std::unique_ptr<MemoryArray> array(new MemoryArray);
  if (!system::MapArrayFile(file, bytes, array->shared_, error)) return nullptr;
  return array;
}

MemoryArray::~MemoryArray() {
  system::ReleaseArray(shared_);
}

}  // namespace sim

// Helpers shared by the fuzz targets: a reader that takes typed values off the front of the
// fuzzer's input (zeros once it is used up), and a check that reports a broken property and
// aborts, so that the fuzzer keeps the input that broke it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

namespace fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  template <typename T>
  T Take() {
    T value{};
    const std::size_t n = std::min(sizeof(T), Remaining());
    if (n > 0) std::memcpy(&value, data_ + position_, n);
    position_ += n;
    return value;
  }

  // Up to `count` bytes (fewer when the input runs out).
  std::span<const std::uint8_t> TakeBytes(std::size_t count) {
    const std::size_t n = std::min(count, Remaining());
    std::span<const std::uint8_t> bytes(data_ + position_, n);
    position_ += n;
    return bytes;
  }

  std::span<const std::uint8_t> Rest() { return TakeBytes(Remaining()); }
  std::size_t Remaining() const { return size_ - position_; }
  bool Empty() const { return Remaining() == 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

[[noreturn]] inline void Fail(const char* property, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
  std::abort();
}

}  // namespace fuzz

#define FUZZ_REQUIRE(condition) \
  ((condition) ? static_cast<void>(0) : ::fuzz::Fail(#condition, __FILE__, __LINE__))

// SplitMix64: a small, well-mixed generator whose sequence is fully specified, so that a seed
// gives the same numbers on every host and build (a power cut's tear, a swarm run's plan).
#pragma once

#include <cstdint>

namespace sim {

class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

}  // namespace sim

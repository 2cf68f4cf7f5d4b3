// Whole files as bytes, and deterministic test data, for tests and benchmarks. Read and write
// failures throw std::runtime_error naming the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const Bytes& content);
void WriteFile(const std::filesystem::path& path, std::string_view text);
// Deterministic filler: `length` bytes of a simple generator seeded with `seed`.
Bytes PatternBytes(std::size_t length, std::uint32_t seed);

}  // namespace testsupport

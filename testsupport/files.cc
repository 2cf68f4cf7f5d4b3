#include "testsupport/files.h"

#include <fstream>
#include <stdexcept>

namespace testsupport {

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  Bytes content(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(content.size()));
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return content;
}

void WriteFile(const std::filesystem::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void WriteFile(const std::filesystem::path& path, const Bytes& content) {
  WriteFile(path, std::string_view(reinterpret_cast<const char*>(content.data()), content.size()));
}

Bytes PatternBytes(std::size_t length, std::uint32_t seed) {
  Bytes bytes(length);
  std::uint32_t state = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < length; i += 4) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    for (std::size_t k = 0; k < 4 && i + k < length; ++k) {
      bytes[i + k] = static_cast<std::uint8_t>(state >> (8 * k));
    }
  }
  return bytes;
}

}  // namespace testsupport

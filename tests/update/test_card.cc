// The card side of the temporary devices, and the file helpers: portable code, which the
// Windows build's card tests use with a device that is only its card.
#include <fstream>
#include <stdexcept>

#include "test_device.h"

namespace test {

std::filesystem::path TemporaryDevice::Card(const std::string& relative) const {
  return paths_.Card() / relative;
}

void TemporaryDevice::WriteCard(const std::string& relative, const Bytes& content) const {
  const std::filesystem::path path = Card(relative);
  std::filesystem::create_directories(path.parent_path());
  WriteFile(path, content);
}

Bytes TemporaryDevice::ReadCard(const std::string& relative) const {
  return ReadFile(Card(relative));
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    throw std::runtime_error("cannot read " + path.string());
  }
  Bytes content(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(content.data()), static_cast<std::streamsize>(content.size()));
  if (!in) {
    throw std::runtime_error("cannot read " + path.string());
  }
  return content;
}

void WriteFile(const std::filesystem::path& path, const Bytes& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path.string());
  }
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

}  // namespace test

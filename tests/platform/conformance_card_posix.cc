// The conformance suite's card on the host: the card of a temporary device.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "conformance.h"
#include "sim/device.h"

namespace conformance {

Card::Card() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "platform-conformance-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  sim::DevicePaths device{pattern};
  sim::DeviceConfig config;
  config.regions = {{4, 0x2000}};
  std::string error;
  if (!sim::CreateDevice(device, config, &error)) throw std::runtime_error(error);
  ::setenv("ORVANTA_DEVICE", pattern.c_str(), 1);
  root_ = device.Card();
}

Card::~Card() {
  std::error_code ignored;
  std::filesystem::remove_all(root_.parent_path(), ignored);
}

Text Card::Path(const std::string& name) const {
  return Widen("\\SD Card\\" + name);
}

void Card::Resize(const std::string& name, std::uint64_t size) const {
  std::ofstream(HostPath(name), std::ios::binary | std::ios::app).close();
  std::filesystem::resize_file(HostPath(name), size);
}

// Named objects are scoped to the device directory, which no other case shares.
Text Card::ObjectName(const std::string& base) const {
  return Widen(base);
}

bool OnWine() {
  return false;
}

}  // namespace conformance

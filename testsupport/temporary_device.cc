#include "testsupport/temporary_device.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

#include "sim/process_hardware.h"

namespace testsupport {

sim::DeviceConfig DeviceShape::Config() const {
  sim::DeviceConfig config;
  config.regions = regions;
  return config;
}

const std::vector<DeviceShape>& DeviceShapes() {
  static const std::vector<DeviceShape> shapes = {
      {"Default", sim::DeviceConfig().regions},
      {"Uniform", {{64, 0x8000}}},
      {"Smallest", {{5, 0x60000}, {5, 0x2000}}},
  };
  return shapes;
}

const DeviceShape& DefaultShape() {
  return DeviceShapes().front();
}

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  // An empty value removes the variable there.
  ::_putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
#endif
}

TemporaryDevice::TemporaryDevice(const sim::DeviceConfig& config) {
  // A new directory of a random name: create_directory is false when the name is taken.
  std::random_device entropy;
  const std::filesystem::path temporary = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100 && parent_.empty(); ++attempt) {
    const std::filesystem::path candidate =
        temporary / ("orvanta-device-" + std::to_string(entropy()));
    std::error_code code;
    if (std::filesystem::create_directory(candidate, code)) parent_ = candidate;
  }
  if (parent_.empty())
    throw std::runtime_error("cannot make a temporary directory in " + temporary.string());
  paths_.root = parent_ / "device";
  std::string error;
  if (!sim::CreateDevice(paths_, config, &error)) {
    std::error_code ignored;
    std::filesystem::remove_all(parent_, ignored);
    throw std::runtime_error("cannot create a device: " + error);
  }
  MakeCurrent();
}

TemporaryDevice::~TemporaryDevice() {
  // The process's chip keeps nor.bin mapped, and a mapped file cannot be removed on Windows
  // (where removing the directory then never ends).
  sim::ForgetDevice(paths_);
  std::error_code ignored;
  std::filesystem::remove_all(parent_, ignored);
}

void TemporaryDevice::MakeCurrent() const {
  SetVariable("ORVANTA_DEVICE", paths_.root.string().c_str());
}

sim::DeviceConfig TemporaryDevice::Config() const {
  sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(paths_);
  if (!loaded) throw std::runtime_error(loaded.error);
  return *loaded.value;
}

void TemporaryDevice::SaveConfig(const sim::DeviceConfig& config) const {
  std::string error;
  if (!sim::SaveDeviceConfig(paths_, config, &error))
    throw std::runtime_error("cannot save device.json: " + error);
}

void TemporaryDevice::SetFaults(const std::vector<sim::Fault>& faults) const {
  sim::DeviceConfig config = Config();
  config.faults = faults;
  SaveConfig(config);
}

sim::BlockLayout TemporaryDevice::Blocks() const {
  return sim::BlockLayout(Config().regions);
}

Bytes TemporaryDevice::ReadNor() const {
  return ReadFile(paths_.Nor());
}

Bytes TemporaryDevice::ReadNor(std::uint64_t offset, std::size_t count) const {
  std::ifstream nor(paths_.Nor(), std::ios::binary);
  nor.seekg(static_cast<std::streamoff>(offset));
  Bytes bytes(count);
  nor.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  if (!nor) throw std::runtime_error("cannot read nor.bin at " + std::to_string(offset));
  return bytes;
}

void TemporaryDevice::WriteNor(const Bytes& bytes) const {
  WriteFile(paths_.Nor(), bytes);
}

void TemporaryDevice::WriteNor(std::uint64_t offset, const Bytes& bytes) const {
  std::fstream nor(paths_.Nor(), std::ios::binary | std::ios::in | std::ios::out);
  nor.seekp(static_cast<std::streamoff>(offset));
  nor.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  nor.flush();
  if (!nor) throw std::runtime_error("cannot write nor.bin at " + std::to_string(offset));
}

void TemporaryDevice::FlipNorBit(std::uint64_t offset, unsigned bit) const {
  Bytes byte = ReadNor(offset, 1);
  byte[0] ^= static_cast<std::uint8_t>(1u << bit);
  WriteNor(offset, byte);
}

std::vector<std::string> TemporaryDevice::JournalLines() const {
  std::vector<std::string> lines;
  std::ifstream stream(paths_.Journal());
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

}  // namespace testsupport

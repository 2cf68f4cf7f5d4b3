#include "test_device.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

TestDevice::TestDevice(const sim::DeviceConfig& config) {
  const std::filesystem::path base =
      std::filesystem::temp_directory_path() / "orvanta-flash-XXXXXX";
  std::string pattern = base.string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a temporary directory";
    return;
  }
  parent_ = pattern;
  paths_.root = std::filesystem::path(parent_) / "device";
  std::string error;
  if (!sim::CreateDevice(paths_, config, &error)) ADD_FAILURE() << error;
  ::setenv("ORVANTA_DEVICE", paths_.root.c_str(), 1);
}

TestDevice::~TestDevice() {
  std::error_code ignored;
  if (!parent_.empty()) std::filesystem::remove_all(parent_, ignored);
}

std::vector<std::uint8_t> TestDevice::ReadNor() const {
  std::ifstream stream(paths_.Nor(), std::ios::binary);
  std::vector<std::uint8_t> bytes(std::filesystem::file_size(paths_.Nor()));
  stream.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void TestDevice::WriteNor(const std::vector<std::uint8_t>& bytes) const {
  std::ofstream stream(paths_.Nor(), std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> TestDevice::JournalLines() const {
  std::vector<std::string> lines;
  std::ifstream stream(paths_.Journal());
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

void TestDevice::Save(const sim::DeviceConfig& config) const {
  std::string error;
  if (!sim::SaveDeviceConfig(paths_, config, &error)) ADD_FAILURE() << error;
}

// A fresh simulated device in a temporary directory for the benchmarks, made the process's
// device ($ORVANTA_DEVICE) for as long as it lives, and removed afterwards.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "sim/device.h"

namespace bench {

class BenchDevice {
 public:
  explicit BenchDevice(const sim::DeviceConfig& config = sim::DeviceConfig()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "orvanta-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a directory");
    paths_.root = std::filesystem::path(pattern) / "device";
    std::string error;
    if (!sim::CreateDevice(paths_, config, &error)) throw std::runtime_error(error);
    setenv("ORVANTA_DEVICE", paths_.root.c_str(), 1);
  }
  ~BenchDevice() {
    std::error_code ignored;
    std::filesystem::remove_all(paths_.root.parent_path(), ignored);
  }
  BenchDevice(const BenchDevice&) = delete;
  BenchDevice& operator=(const BenchDevice&) = delete;
  const sim::DevicePaths& Paths() const { return paths_; }

 private:
  sim::DevicePaths paths_;
};

}  // namespace bench

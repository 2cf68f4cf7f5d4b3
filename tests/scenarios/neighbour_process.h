// A hostile neighbour process (tests/scenarios/neighbour) started beside a running updater on
// the same device; its one-line report goes to a file beside the device.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "scenario_bench.h"

namespace scenario {

class Neighbour {
 public:
  // Starts `orvanta_neighbour DEVICE ARGUMENT...` (CUE ACTION [ARGUMENT...]) on the bench's
  // device, through the emulator when the tests run under one; beside the Windows updater, the
  // Windows neighbour through the updater's launcher, on the device's drive.
  Neighbour(const Bench& bench, std::vector<std::string> arguments);
  // Kills a neighbour that is still running and removes its report.
  ~Neighbour();
  Neighbour(const Neighbour&) = delete;
  Neighbour& operator=(const Neighbour&) = delete;

  // Asks a looping neighbour to stop, waits for it (at most 30 s) and returns its report.
  std::string Stop();
  // The neighbour's report so far.
  std::string Report() const;
  // Waits (at most `limit`) until the neighbour's report contains `text`.
  bool WaitForReport(const std::string& text, std::chrono::seconds limit);

 private:
  static inline int count_ = 0;
  std::filesystem::path device_;
  std::string report_;
  pid_t pid_ = -1;
};

}  // namespace scenario

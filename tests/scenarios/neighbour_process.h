// A hostile neighbour process (tests/scenarios/neighbour) started beside a running updater on
// the same device; its one-line report goes to a file beside the device.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "scenario_bench.h"

namespace scenario {

class Neighbour {
 public:
  // Starts `orvanta_neighbour DEVICE ARGUMENT...` (CUE ACTION [ARGUMENT...]) on the bench's
  // device, through the emulator when the tests run under one.
  Neighbour(const Bench& bench, std::vector<std::string> arguments);
  // Kills a neighbour that is still running and removes its report.
  ~Neighbour();
  Neighbour(const Neighbour&) = delete;
  Neighbour& operator=(const Neighbour&) = delete;

  // Asks a looping neighbour to stop, waits for it (at most 30 s) and returns its report.
  std::string Stop();

 private:
  static inline int count_ = 0;
  std::filesystem::path device_;
  std::string report_;
  pid_t pid_ = -1;
};

}  // namespace scenario

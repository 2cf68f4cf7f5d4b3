#include "host/core_library/lifecycle.h"

#include <atomic>

#include "sim/device.h"

namespace host {
namespace {
std::atomic<RestartObserver> restartObserver{nullptr};
}  // namespace

bool StartPlatform(std::string* error) {
  const sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig(sim::CurrentDevice());
  if (!config) {
    if (error != nullptr) *error = config.error;
    return false;
  }
  return true;
}

void SetRestartObserver(RestartObserver observer) {
  restartObserver.store(observer);
}

RestartObserver CurrentRestartObserver() {
  return restartObserver.load();
}

}  // namespace host

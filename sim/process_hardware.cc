#include "sim/process_hardware.h"

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>

#include "sim/clock.h"
#include "sim/nor_chip.h"

namespace sim {
namespace {

struct ProcessHardware {
  Clock clock;
  std::unique_ptr<NorChip> chip;
};

ProcessHardware& Hardware() {
  static ProcessHardware hardware;
  return hardware;
}

}  // namespace

NorChip* AttachFlash(std::string* error) {
  ProcessHardware& hardware = Hardware();
  const DevicePaths device = CurrentDevice();
  Loaded<DeviceConfig> config = LoadDeviceConfig(device);
  if (!config) {
    if (error) *error = config.error;
    return nullptr;
  }
  hardware.clock.Configure(config.value->timing, config.value->virtualStep);
  if (hardware.chip && hardware.chip->SameHardware(device, *config.value)) {
    hardware.chip->Reconfigure(*config.value);
    return hardware.chip.get();
  }
  hardware.chip.reset();
  hardware.chip = NorChip::Start(device, *config.value, hardware.clock, error);
  return hardware.chip.get();
}

Clock* AttachTimer(std::string* error) {
  Loaded<DeviceConfig> config = LoadDeviceConfig(CurrentDevice());
  if (!config) {
    if (error) *error = config.error;
    return nullptr;
  }
  Hardware().clock.Configure(config.value->timing, config.value->virtualStep);
  return &Hardware().clock;
}

void DetachFlash() {
  const char* wanted = std::getenv("ORVANTA_FLASH_COMMAND_COUNT");
  NorChip* chip = Hardware().chip.get();
  if (chip != nullptr && wanted != nullptr && *wanted != '\0') {
    AppendJournal(
        chip->Device(),
        nlohmann::json{{"event", "flash_commands"}, {"count", chip->Probe().Commands()}}.dump());
  }
}

void ForgetDevice(const DevicePaths& device) {
  ProcessHardware& hardware = Hardware();
  if (hardware.chip && hardware.chip->Device().root == device.root) hardware.chip.reset();
}

NorChip* ProcessChip() {
  return Hardware().chip.get();
}

Clock& ProcessClock() {
  return Hardware().clock;
}

std::uint64_t FlashCommandCount() {
  NorChip* chip = Hardware().chip.get();
  return chip != nullptr ? chip->Probe().Commands() : 0;
}

}  // namespace sim

// The simulated device's shell: the shell type of its device.json (a Pocket PC shell when that
// cannot be read, as on the POSIX host).
#include "sim/device.h"
#include "windows/handheld/handheld.h"

namespace windows {

Shell CurrentShell() {
  const sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig(sim::CurrentDevice());
  switch (config ? config.value->shell : sim::Shell::PocketPC) {
    case sim::Shell::PocketPC:
      return Shell::PocketPC;
    case sim::Shell::Smartphone:
      return Shell::Smartphone;
    case sim::Shell::Other:
      return Shell::Other;
  }
  return Shell::PocketPC;
}

}  // namespace windows

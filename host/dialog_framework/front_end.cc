// Holding the front end, and what both front ends share.
#include "host/dialog_framework/front_end.h"

namespace host {
namespace {
std::unique_ptr<FrontEnd>& InstalledFrontEnd() {
  // Never destroyed: the worker may still report while the process exits.
  static auto* frontEnd = new std::unique_ptr<FrontEnd>();
  return *frontEnd;
}

}  // namespace

void InstallFrontEnd(std::unique_ptr<FrontEnd> frontEnd) {
  InstalledFrontEnd() = std::move(frontEnd);
}

FrontEnd* CurrentFrontEnd() {
  return InstalledFrontEnd().get();
}

std::optional<sim::AcLine> ReadAcLine() {
  const sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig(sim::CurrentDevice());
  if (!config) return std::nullopt;
  return config.value->acLine;
}

bool SetAcLine(sim::AcLine line, std::string* error) {
  return sim::SetAcLine(sim::CurrentDevice(), line, error);
}

}  // namespace host

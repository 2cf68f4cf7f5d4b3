// The program the application belongs to, and the shell's and the core library's calls without
// arguments.
#include <atomic>
#include <filesystem>
#include <system_error>

#include "host/dialog_framework/front_end.h"
#include "host/dialog_framework/message_loop.h"

namespace host {
namespace {

std::atomic<std::uint64_t> keepAwakeCalls{0};

}  // namespace

std::string ProgramPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.string();
}

std::u16string ApplicationName() {
  return DialogTextFromUtf8(std::filesystem::path(ProgramPath()).stem().string());
}

sim::Shell CurrentShell() {
  const sim::Loaded<sim::DeviceConfig> config = sim::LoadDeviceConfig(sim::CurrentDevice());
  return config ? config.value->shell : sim::Shell::PocketPC;
}

std::uint64_t KeepDeviceAwakeCalls() {
  return keepAwakeCalls.load();
}

}  // namespace host

BOOL InitializeShellControls() {
  return TRUE;
}

void KeepDeviceAwake() {
  host::keepAwakeCalls.fetch_add(1);
}

// The application object, the program it belongs to, and the shell's and the core library's
// calls without arguments.
#include <atomic>
#include <filesystem>
#include <system_error>

#include "host/dialog_framework/front_end.h"
#include "host/dialog_framework/message_loop.h"

namespace host {
namespace {

std::atomic<Application*> currentApplication{nullptr};
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

Application::Application() {
  host::currentApplication.store(this);
}

Application::~Application() {
  Application* self = this;
  host::currentApplication.compare_exchange_strong(self, nullptr);
}

BOOL Application::InitInstance() {
  return TRUE;
}

void Application::SetRegistryKey(LPCWSTR key) {
  registryKey_ = key;
}

Application* CurrentApplication() {
  return host::currentApplication.load();
}

BOOL InitializeShellControls() {
  return TRUE;
}

void KeepDeviceAwake() {
  host::keepAwakeCalls.fetch_add(1);
}

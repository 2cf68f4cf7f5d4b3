// The conformance suite's card on Windows: a temporary folder of the platform's file system.
#include <atomic>
#include <stdexcept>

#include "conformance.h"

namespace conformance {
namespace {

std::atomic<unsigned> cardCount{0};

}  // namespace

Card::Card() {
  root_ = std::filesystem::temp_directory_path() /
          ("platform-conformance-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++cardCount));
  std::filesystem::create_directories(root_);
}

Card::~Card() {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(root_, ignored)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(root_, ignored);
}

Text Card::Path(const std::string& name) const {
  return HostPath(name).wstring();
}

void Card::Resize(const std::string& name, std::uint64_t size) const {
  const HANDLE file = CreateFileW(Path(name).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  const bool resized = file != INVALID_HANDLE_VALUE &&
                       SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (!resized) throw std::runtime_error("cannot resize " + name);
}

// Kernel object names are shared by every process of the session.
Text Card::ObjectName(const std::string& base) const {
  return Widen(base + "-" + root_.filename().string());
}

bool OnWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace conformance

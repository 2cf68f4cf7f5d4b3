#include "tools/orvanta/installation.h"

#include "tools/orvanta/tool_support.h"

// The installed layout, relative to the directory of the installed orvanta (set by the build
// from its install directories), and the key directory of the build itself.
#ifndef ORVANTA_INSTALLED_UPDATER_DIR
#define ORVANTA_INSTALLED_UPDATER_DIR "../libexec/orvanta"
#endif
#ifndef ORVANTA_INSTALLED_KEY_DIR
#define ORVANTA_INSTALLED_KEY_DIR "../share/orvanta/development-keys"
#endif
#ifndef ORVANTA_WINDOWS_UPDATER
#define ORVANTA_WINDOWS_UPDATER "scripts/windows-updater"
#endif
#ifndef ORVANTA_BUILD_KEY_DIR
#define ORVANTA_BUILD_KEY_DIR "keys/dev"
#endif

namespace orvanta {
namespace {

constexpr char kUpdaterName[] = "OrvantaUpdate";

bool Exists(const std::filesystem::path& path) {
  std::error_code code;
  return std::filesystem::exists(path, code);
}

}  // namespace

std::filesystem::path UpdaterPath(std::string* error) {
  const std::filesystem::path here = ExecutableDirectory();
  // Never an updater that merely stands in the current directory.
  if (here.empty()) {
    *error = std::string(kUpdaterName) +
             " not found: cannot tell where orvanta is installed (/proc/self/exe cannot be read "
             "and its own name is not found through PATH); run it by its full path";
    return {};
  }
  const std::filesystem::path beside = here / kUpdaterName;
  if (Exists(beside)) return beside;
  const std::filesystem::path installed =
      (here / ORVANTA_INSTALLED_UPDATER_DIR / kUpdaterName).lexically_normal();
  if (Exists(installed)) return installed;
  *error = std::string(kUpdaterName) + " not found: neither " + beside.string() +
           " (build the OrvantaUpdate target) nor " + installed.string() + " (installed) exists";
  return {};
}

std::filesystem::path WindowsUpdaterPath(std::string* error) {
  const std::filesystem::path launcher = ORVANTA_WINDOWS_UPDATER;
  if (Exists(launcher)) return launcher;
  *error = launcher.string() + " not found: the Windows updater runs from the source tree";
  return {};
}

std::filesystem::path DevelopmentKeyDirectory() {
  const std::filesystem::path here = ExecutableDirectory();
  const std::filesystem::path installed = (here / ORVANTA_INSTALLED_KEY_DIR).lexically_normal();
  if (!here.empty() && Exists(installed)) return installed;
  return ORVANTA_BUILD_KEY_DIR;
}

}  // namespace orvanta

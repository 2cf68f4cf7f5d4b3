// main() of a program on the host bench: starts the platform and the front end, runs the
// framework's program entry and turns its outcome into the documented exit status:
//   0    the run ended in a restart request (the process ends inside KernelIoControl)
//   1    the dialog closed: every way the update returns is a failed update
//   255  another instance ran and was brought to the foreground
//   2    the host platform or the front end could not start (one line on standard error)
#include <cstdio>
#include <string>

#include "host/dialog_front_end.h"
#include "host/lifecycle.h"

namespace {

constexpr int kStatusFailedUpdate = 1;
constexpr int kStatusPlatformFailed = 2;
constexpr int kStatusSecondInstance = 255;

void RecordRestart() {
  if (host::FrontEnd* frontEnd = host::CurrentFrontEnd()) frontEnd->Restarting();
}

}  // namespace

int main() {
  std::string error;
  std::unique_ptr<host::FrontEnd> frontEnd = host::CreateFrontEndFromEnvironment(&error);
  if (!frontEnd) {
    std::fprintf(stderr, "OrvantaUpdate: %s\n", error.c_str());
    return kStatusPlatformFailed;
  }
  host::InstallFrontEnd(std::move(frontEnd));
  if (!host::StartPlatform(&error)) {
    std::fprintf(stderr, "OrvantaUpdate: %s\n", error.c_str());
    host::CurrentFrontEnd()->Exiting(kStatusPlatformFailed);
    return kStatusPlatformFailed;
  }
  host::SetRestartObserver(RecordRestart);

  const int code = host::RunApplication();
  const int status =
      code == host::kSecondInstanceExitCode ? kStatusSecondInstance : kStatusFailedUpdate;
  host::CurrentFrontEnd()->Exiting(status);
  return status;
}

// main() of a program on the host bench: starts the platform and the front end, runs the
// framework's program entry and turns its outcome into the documented exit status:
//   0    the run ended in a restart request (the process ends inside KernelIoControl)
//   1    the dialog closed: every way the update returns is a failed update
//   255  another instance ran and was brought to the foreground
//   2    the host platform or the front end could not start (one line on standard error)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/core_library/lifecycle.h"
#include "host/dialog_framework/front_end.h"
#include "host/headless_ui/headless_ui.h"
#include "host/terminal_ui/terminal_ui.h"

namespace {

constexpr int kStatusFailedUpdate = 1;
constexpr int kStatusPlatformFailed = 2;
constexpr int kStatusSecondInstance = 255;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

// The front end the environment asks for: ORVANTA_UI=headless or tui; unset means tui on a
// terminal and headless otherwise. ORVANTA_TRANSCRIPT names the transcript file (headless:
// standard output when unset; tui: none when unset). Null with a one-line reason when it cannot
// be made.
std::unique_ptr<host::FrontEnd> CreateFrontEndFromEnvironment(std::string* error) {
  std::string ui = Environment("ORVANTA_UI");
  if (ui.empty()) ui = isatty(STDOUT_FILENO) ? "tui" : "headless";
  if (ui == "headless") {
    return host::HeadlessUi::Create(Environment("ORVANTA_ANSWERS"),
                                    Environment("ORVANTA_TRANSCRIPT"), error);
  }
  if (ui == "tui") {
    // The terminal shows everything; a transcript is written only to a file asked for.
    const std::string transcriptPath = Environment("ORVANTA_TRANSCRIPT");
    if (transcriptPath.empty()) return std::make_unique<host::TerminalUi>();
    std::unique_ptr<host::TranscriptWriter> transcript =
        host::TranscriptWriter::Open(transcriptPath, error);
    if (!transcript) return nullptr;
    return std::make_unique<host::TerminalUi>(std::move(transcript));
  }
  if (error != nullptr) *error = "ORVANTA_UI: unknown front end '" + ui + "' (tui or headless)";
  return nullptr;
}

void RecordRestart() {
  if (host::FrontEnd* frontEnd = host::CurrentFrontEnd()) frontEnd->Restarting();
}

}  // namespace

int main() {
  std::string error;
  std::unique_ptr<host::FrontEnd> frontEnd = CreateFrontEndFromEnvironment(&error);
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

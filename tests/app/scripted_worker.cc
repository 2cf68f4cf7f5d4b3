// A worker body for whole-process tests: runs the comma-separated steps of ORVANTA_TEST_SCRIPT
//   advance            AdvanceOperation
//   reset              progress bar range 0..100, position 0
//   progress:N         progress bar position N
//   box:ID:TYPE        AppMessageBox(ID, TYPE); the answer is appended to ORVANTA_TEST_LOG
//   wait:PATH          waits until the file PATH exists
//   restart            KernelIoControl(IOCTL_HAL_REBOOT)
// and returns, so the dialog then reports the failure.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/core_library.h"
#include "platform/dialog_framework.h"
#include "update/update_procedure.h"

void UpdateProcedure(UpdateDialog* dialog) {
  const char* script = std::getenv("ORVANTA_TEST_SCRIPT");
  const char* logPath = std::getenv("ORVANTA_TEST_LOG");
  std::stringstream steps(script != nullptr ? script : "");
  std::string step;
  while (std::getline(steps, step, ',')) {
    if (step == "advance") {
      AdvanceOperation(dialog);
    } else if (step == "reset") {
      SendMessageW(DialogProgressBar(dialog), PBM_SETRANGE, 0, MAKELPARAM(0, 100));
      SendMessageW(DialogProgressBar(dialog), PBM_SETPOS, 0, 0);
    } else if (step.rfind("progress:", 0) == 0) {
      SendMessageW(DialogProgressBar(dialog), PBM_SETPOS, std::stoul(step.substr(9)), 0);
    } else if (step.rfind("box:", 0) == 0) {
      const std::size_t colon = step.find(':', 4);
      const UINT id = static_cast<UINT>(std::stoul(step.substr(4, colon - 4)));
      const UINT type = static_cast<UINT>(std::stoul(step.substr(colon + 1)));
      const int answer = AppMessageBox(id, type);
      if (logPath != nullptr) std::ofstream(logPath, std::ios::app) << id << '=' << answer << '\n';
    } else if (step.rfind("wait:", 0) == 0) {
      while (!std::filesystem::exists(step.substr(5))) Sleep(20);
    } else if (step == "restart") {
      DWORD returned = 0;
      KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, &returned);
    }
  }
}

// The registry of top-level windows of the device, for finding a running instance: a dialog
// publishes itself when it is shown and withdraws when it closes. EnumWindows and the window
// queries of the core library read it.
#pragma once

#include <string>

#include "host/dialog_framework/resources.h"
#include "platform/dialog_framework.h"

namespace host {

void PublishTopLevelWindow(const DialogTemplate& dialogTemplate);
void WithdrawTopLevelWindow();

// The program that another process's top-level window runs, as that process published it;
// empty for any other window.
std::string RegisteredProgram(HWND window);

}  // namespace host

// The update itself: the worker thread's body.
#pragma once

#include "signing/update_dialog_link.h"

// Runs the whole update on the worker thread. Either restarts the device and never returns, or
// returns, after which the dialog reports "Failed to complete upgrade.".
void UpdateProcedure(UpdateDialog* dialog);

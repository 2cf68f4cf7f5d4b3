// The update dialog as the worker side (signing/, update/) sees it.
//
// The dialog lives in app/, above the folders that report progress through it, so they know it
// only as an opaque type and reach it through these two calls, which app/ defines. Both run on
// the worker thread and return once the dialog's UI thread has handled the change.
#pragma once

#include "platform/dialog_framework.h"

class UpdateDialog;

// Adds 1 to the dialog's operation counter and shows the counter's text (string 131) with the
// new value and the constant total 6 in the counter label.
void AdvanceOperation(UpdateDialog* dialog);

// The dialog's progress bar (control 1001), for PBM_SETRANGE and PBM_SETPOS.
HWND DialogProgressBar(UpdateDialog* dialog);

#include "testsupport/stand_in_dialog.h"

void AdvanceOperation(UpdateDialog* dialog) {
  if (dialog == nullptr) return;
  ++dialog->operations;
}

HWND DialogProgressBar(UpdateDialog* dialog) {
  return dialog != nullptr ? dialog->progressBar : nullptr;
}

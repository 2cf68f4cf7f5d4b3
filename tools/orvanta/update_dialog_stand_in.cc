// The tool runs the verifier without an update dialog: there is no operation counter to
// advance, and the progress bar is the one the tool passes itself.
#include "signing/update_dialog_link.h"

void AdvanceOperation(UpdateDialog* /*dialog*/) {}

HWND DialogProgressBar(UpdateDialog* /*dialog*/) {
  return nullptr;
}

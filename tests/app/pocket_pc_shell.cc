// The handheld shell of the Windows tests' scripted program: a Pocket PC shell, on which the
// single-instance rule applies and the dialog covers the screen.
#include "windows/handheld/handheld.h"

namespace windows {

Shell CurrentShell() {
  return Shell::PocketPC;
}

}  // namespace windows

// The desktop's shell is neither a Pocket PC nor a Smartphone shell.
#include "windows/handheld/handheld.h"

namespace windows {

Shell CurrentShell() {
  return Shell::Other;
}

}  // namespace windows

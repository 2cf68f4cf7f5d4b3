// The update dialog of programs that run the worker side (signing/, update/) without the
// application: the tests of those folders, the benchmarks, the fuzz targets and the orvanta
// tool. It counts operations and hands out whatever progress bar it was given; a null dialog is
// no dialog at all (the tool and the fuzz targets pass null).
#pragma once

#include "signing/update_dialog_link.h"

class UpdateDialog {
 public:
  int operations = 0;
  HWND progressBar = nullptr;
};

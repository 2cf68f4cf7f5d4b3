// The two ways the update reports progress on the dialog's shared 0..100 bar.
#pragma once

#include "platform/dialog_framework.h"

inline constexpr WORD kProgressMaximum = 100;

// Range 0..100, position 0 (PBM_SETRANGE, then PBM_SETPOS).
inline void ResetProgressBar(HWND progressBar) {
  SendMessageW(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, kProgressMaximum));
  SendMessageW(progressBar, PBM_SETPOS, 0, 0);
}

// Position `percent` (PBM_SETPOS), a whole percentage.
inline void SetProgressPosition(HWND progressBar, DWORD percent) {
  SendMessageW(progressBar, PBM_SETPOS, percent, 0);
}

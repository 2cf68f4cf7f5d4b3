#include "update/copy_with_progress.h"

#include <limits>

#include "update/progress_bar.h"

DWORD ProgressPercent(ULONGLONG transferred, ULONGLONG total) {
  if (total == 0 || transferred >= total) {
    return 100;
  }
  // transferred < total here. Below this bound transferred x 100 fits 64 bits; above it a
  // hundredth of the total is large enough that dropping its remainder moves no whole percent.
  constexpr ULONGLONG kExactLimit = std::numeric_limits<ULONGLONG>::max() / 100;
  if (total <= kExactLimit) {
    return static_cast<DWORD>(transferred * 100 / total);
  }
  const ULONGLONG hundredth = total / 100;
  const ULONGLONG percent = transferred / hundredth;
  return static_cast<DWORD>(percent > 99 ? 99 : percent);
}

DWORD WINAPI CopyProgressRoutine(LARGE_INTEGER totalFileSize, LARGE_INTEGER totalBytesTransferred,
                                 LARGE_INTEGER /*streamSize*/,
                                 LARGE_INTEGER /*streamBytesTransferred*/, DWORD /*streamNumber*/,
                                 DWORD /*callbackReason*/, HANDLE /*sourceFile*/,
                                 HANDLE /*destinationFile*/, LPVOID data) {
  const LONGLONG total = totalFileSize.QuadPart;
  const LONGLONG transferred = totalBytesTransferred.QuadPart;
  const DWORD percent = ProgressPercent(transferred < 0 ? 0 : static_cast<ULONGLONG>(transferred),
                                        total < 0 ? 0 : static_cast<ULONGLONG>(total));
  SetProgressPosition(static_cast<HWND>(data), percent);
  return PROGRESS_CONTINUE;
}

BOOL CopyWithProgress(UpdateDialog* dialog, LPCWSTR source, LPCWSTR destination) {
  AdvanceOperation(dialog);
  HWND progressBar = DialogProgressBar(dialog);
  ResetProgressBar(progressBar);
  BOOL cancel = FALSE;
  return CopyFileExW(source, destination, CopyProgressRoutine, progressBar, &cancel, 0);
}

// A file copy on the card that counts as one operation of the update dialog and drives its
// progress bar.
#pragma once

#include "platform/core_library.h"
#include "signing/update_dialog_link.h"

// Advances the dialog's operation counter (every copy counts, whatever its outcome), resets the
// progress bar (range 0..100, position 0), then copies `source` over `destination` (an
// existing destination is replaced) with CopyProgressRoutine following the copy. Nonzero when
// the copy succeeded; on failure the bar keeps the last position reached and what is left of a
// partial destination is the platform's.
[[nodiscard]] BOOL CopyWithProgress(UpdateDialog* dialog, LPCWSTR source, LPCWSTR destination);

// The copy's progress routine; `data` is the progress bar (HWND). Sets the bar's position to
// transferred x 100 / total, in whole percent without overflow for any size, 100 for an empty
// file (total 0), and returns PROGRESS_CONTINUE. The other arguments are not used.
DWORD WINAPI CopyProgressRoutine(LARGE_INTEGER totalFileSize, LARGE_INTEGER totalBytesTransferred,
                                 LARGE_INTEGER streamSize, LARGE_INTEGER streamBytesTransferred,
                                 DWORD streamNumber, DWORD callbackReason, HANDLE sourceFile,
                                 HANDLE destinationFile, LPVOID data);

// transferred x 100 / total in whole percent, at most 100; 100 when total is 0.
[[nodiscard]] DWORD ProgressPercent(ULONGLONG transferred, ULONGLONG total);

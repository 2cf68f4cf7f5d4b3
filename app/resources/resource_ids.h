// Ids of the updater's resources and of its dialog's controls, shared by the resource script
// (orvanta_update.rc) and the code. The resource compiler reads the macros; code uses the typed
// constants.
#pragma once

#include "common/message_ids.h"  // the string table, ids 129 to 135

#define IDD_UPDATE_DIALOG 102
#define IDI_APPLICATION_ICON 128

#define IDC_PROGRESS_BAR 1001
#define IDC_COUNTER_LABEL 1002
#define IDC_WARNING_LABEL 1003

#ifndef RC_INVOKED
#include "platform/types.h"

inline constexpr UINT kUpdateDialogTemplateId = IDD_UPDATE_DIALOG;
inline constexpr UINT kApplicationIconId = IDI_APPLICATION_ICON;

inline constexpr WORD kProgressBarId = IDC_PROGRESS_BAR;
inline constexpr WORD kCounterLabelId = IDC_COUNTER_LABEL;
inline constexpr WORD kWarningLabelId = IDC_WARNING_LABEL;
#endif

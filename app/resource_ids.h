// Resource and control ids of the updater, as its resources and code use them.
#pragma once

#include "platform/types.h"

inline constexpr UINT kUpdateDialogTemplateId = 102;
inline constexpr UINT kApplicationIconId = 128;

inline constexpr WORD kProgressBarId = 1001;
inline constexpr WORD kCounterLabelId = 1002;
inline constexpr WORD kWarningLabelId = 1003;

// String table.
inline constexpr UINT kExternalPowerRequiredText = 129;
inline constexpr UINT kUpgradeFailedText = 130;
inline constexpr UINT kOperationCounterFormat = 131;
inline constexpr UINT kConfirmUpgradeText = 132;
inline constexpr UINT kNotEnoughSpaceText = 133;
inline constexpr UINT kCorruptFilesText = 134;
inline constexpr UINT kDoNotTurnOffText = 135;

inline constexpr UINT kUpdateTimerId = 1;
inline constexpr UINT kUpdateTimerPeriod = 1000;  // ms

// Resource and control ids of the updater, as its resources and code use them.
#pragma once

#include "common/message_ids.h"  // the string table's message ids, shared with update/
#include "platform/types.h"

inline constexpr UINT kUpdateDialogTemplateId = 102;
inline constexpr UINT kApplicationIconId = 128;

inline constexpr WORD kProgressBarId = 1001;
inline constexpr WORD kCounterLabelId = 1002;
inline constexpr WORD kWarningLabelId = 1003;

inline constexpr UINT kUpdateTimerId = 1;
inline constexpr UINT kUpdateTimerPeriod = 1000;  // ms

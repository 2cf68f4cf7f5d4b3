// The string ids of the messages the updater shows: entries of the program's string table
// (app/resources/orvanta_update.rc), which the update procedure passes to the message box and
// the dialog loads as its texts. The resource compiler reads the macros; code uses the typed
// constants.
#pragma once

#define IDS_EXTERNAL_POWER_REQUIRED 129
#define IDS_UPGRADE_FAILED 130
#define IDS_OPERATION_COUNTER 131
#define IDS_CONFIRM_UPGRADE 132
#define IDS_NOT_ENOUGH_SPACE 133
#define IDS_CORRUPT_FILES 134
#define IDS_DO_NOT_TURN_OFF 135

#ifndef RC_INVOKED
#include <cstdint>

inline constexpr std::uint32_t kExternalPowerRequiredText = IDS_EXTERNAL_POWER_REQUIRED;
inline constexpr std::uint32_t kUpgradeFailedText = IDS_UPGRADE_FAILED;
inline constexpr std::uint32_t kOperationCounterFormat = IDS_OPERATION_COUNTER;
inline constexpr std::uint32_t kConfirmUpgradeText = IDS_CONFIRM_UPGRADE;
inline constexpr std::uint32_t kNotEnoughSpaceText = IDS_NOT_ENOUGH_SPACE;
inline constexpr std::uint32_t kCorruptFilesText = IDS_CORRUPT_FILES;
inline constexpr std::uint32_t kDoNotTurnOffText = IDS_DO_NOT_TURN_OFF;
#endif

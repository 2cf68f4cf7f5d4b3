// The string ids of the messages the updater shows: entries of the dialog's string table, which
// the update procedure passes to the message box and the dialog loads as its texts.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t kExternalPowerRequiredText = 129;
inline constexpr std::uint32_t kUpgradeFailedText = 130;
inline constexpr std::uint32_t kOperationCounterFormat = 131;
inline constexpr std::uint32_t kConfirmUpgradeText = 132;
inline constexpr std::uint32_t kNotEnoughSpaceText = 133;
inline constexpr std::uint32_t kCorruptFilesText = 134;
inline constexpr std::uint32_t kDoNotTurnOffText = 135;

#include "app/resources.h"

#include <iterator>

namespace {

constexpr StringResource kStrings[] = {
    {kExternalPowerRequiredText, TEXT("The Orvanta must be connected to external power.")},
    {kUpgradeFailedText, TEXT("Failed to complete upgrade.")},
    {kOperationCounterFormat, TEXT("Operation %d of %d:")},
    {kConfirmUpgradeText,
     TEXT("Performing this upgrade will delete all programs and data on this device. Please make ")
         TEXT("sure that all data is backed up before proceeding. Continue?")},
    {kNotEnoughSpaceText,
     TEXT("There is not enough free space available on the SD Card to complete the operation.")},
    {kCorruptFilesText, TEXT("There are missing or corrupt installation files.")},
    {kDoNotTurnOffText, TEXT("Do not turn off the Orvanta or remove external power!")},
};

// Template 102: three controls, in creation order. Positions and sizes in dialog units.
constexpr DialogItemTemplate kUpdateDialogItems[] = {
    {kWarningLabelId, TEXT("static"), TEXT(""), 7, 7, 142, 27,
     WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP, 0},
    {kProgressBarId, TEXT("msctls_progress32"), TEXT(""), 7, 62, 142, 10,
     WS_CHILD | WS_VISIBLE | WS_BORDER, 0},
    {kCounterLabelId, TEXT("static"), TEXT(""), 7, 46, 102, 11,
     WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP, 0},
};

constexpr DialogTemplate kDialogs[] = {{
    static_cast<WORD>(kUpdateDialogTemplateId),
    WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_SETFONT,
    WS_EX_CAPTIONOKBTN | WS_EX_APPWINDOW,
    0,
    0,
    156,
    129,
    TEXT("OrvantaUpdate"),
    TEXT("MS Sans Serif"),
    8,
    kUpdateDialogItems,
    static_cast<UINT>(std::size(kUpdateDialogItems)),
}};

const IconGroup kIcons[] = {
    {static_cast<WORD>(kApplicationIconId), kApplicationIconData, kApplicationIconSize},
};

// Shows the dialog at the display's native resolution instead of scaling it: the 16-bit value 1.
constexpr BYTE kHighResolutionAware[] = {0x01, 0x00};
constexpr CustomResource kCustoms[] = {
    {TEXT("CEUX"), TEXT("HI_RES_AWARE"), kHighResolutionAware, sizeof kHighResolutionAware},
};

}  // namespace

static_assert(std::size(kStrings) == 7, "string ids 129 to 135");

const VersionInfo kVersionInfo = {
    {1, 0, 0, 1},
    {1, 0, 0, 1},
    TEXT("OrvantaUpdate"),
    TEXT("OrvantaUpdate.exe"),
};

const ResourceTable kUpdaterResources = {
    kStrings,
    static_cast<UINT>(std::size(kStrings)),
    kDialogs,
    static_cast<UINT>(std::size(kDialogs)),
    kIcons,
    static_cast<UINT>(std::size(kIcons)),
    &kVersionInfo,
    kCustoms,
    static_cast<UINT>(std::size(kCustoms)),
};

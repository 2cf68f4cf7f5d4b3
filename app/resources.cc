#include "app/resources.h"

#include <iterator>

namespace {

constexpr StringResource kStrings[] = {
    {kExternalPowerRequiredText, u"The Orvanta must be connected to external power."},
    {kUpgradeFailedText, u"Failed to complete upgrade."},
    {kOperationCounterFormat, u"Operation %d of %d:"},
    {kConfirmUpgradeText,
     u"Performing this upgrade will delete all programs and data on this device. Please make "
     u"sure that all data is backed up before proceeding. Continue?"},
    {kNotEnoughSpaceText,
     u"There is not enough free space available on the SD Card to complete the operation."},
    {kCorruptFilesText, u"There are missing or corrupt installation files."},
    {kDoNotTurnOffText, u"Do not turn off the Orvanta or remove external power!"},
};

// Template 102: three controls, in creation order. Positions and sizes in dialog units.
constexpr DialogItemTemplate kUpdateDialogItems[] = {
    {kWarningLabelId, u"static", u"", 7, 7, 142, 27, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP, 0},
    {kProgressBarId, u"msctls_progress32", u"", 7, 62, 142, 10, WS_CHILD | WS_VISIBLE | WS_BORDER,
     0},
    {kCounterLabelId, u"static", u"", 7, 46, 102, 11, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP,
     0},
};

constexpr DialogTemplate kDialogs[] = {{
    static_cast<WORD>(kUpdateDialogTemplateId),
    WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_SETFONT,
    WS_EX_CAPTIONOKBTN | WS_EX_APPWINDOW,
    0,
    0,
    156,
    129,
    u"OrvantaUpdate",
    u"MS Sans Serif",
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
    {u"CEUX", u"HI_RES_AWARE", kHighResolutionAware, sizeof kHighResolutionAware},
};

}  // namespace

static_assert(std::size(kStrings) == 7, "string ids 129 to 135");

const VersionInfo kVersionInfo = {
    {1, 0, 0, 1},
    {1, 0, 0, 1},
    u"OrvantaUpdate",
    u"OrvantaUpdate.exe",
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

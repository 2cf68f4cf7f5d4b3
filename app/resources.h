// The updater's resources: string table, dialog template 102, icon 128, the version block and
// the "CEUX"/"HI_RES_AWARE" value. Registered with the framework at program start.
#pragma once

#include "app/resource_ids.h"
#include "platform/dialog_framework.h"

extern const VersionInfo kVersionInfo;
extern const ResourceTable kUpdaterResources;

// The bytes of icon 128 as an icon file (generated into the build from
// app/resources/updater_icon.ico).
extern const BYTE kApplicationIconData[];
extern const DWORD kApplicationIconSize;

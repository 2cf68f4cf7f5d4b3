// Whether the device runs on external power.
#pragma once

#include "platform/types.h"

// Asks the platform for a fresh power status. True only when the query succeeds and the AC line
// is online; offline, backup power, an undetermined line and a failed query give false.
[[nodiscard]] bool HasExternalPower();

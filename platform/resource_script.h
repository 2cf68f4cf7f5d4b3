// What the program's resource script takes from the platform: the window, control and
// version-block constants of its headers, and the handheld's own caption-bar OK button, which
// desktop headers lack. Read only by the resource compiler (windres, preprocessed by the mingw
// compiler), on every host.
#pragma once

#include <windows.h>

#ifndef WS_EX_CAPTIONOKBTN
#define WS_EX_CAPTIONOKBTN 0x80000000L
#endif

// The host's resource loader: the program's resources, read as the platform's loader reads them
// from a program file. The build compiles the program's resource script with `windres -O res`
// and links the bytes into the program (cmake/resources.cmake); a program without a script has
// no resources.
//
// The compiled resources are a sequence of entries, each starting at a multiple of 4 bytes, all
// integers little-endian:
//
//   DWORD data size, DWORD header size
//   type, name      each 0xFFFF and a WORD ordinal, or UTF-16 text ending in a 0 unit
//   (padding to a multiple of 4)
//   DWORD data version, WORD memory flags, WORD language, DWORD version, DWORD characteristics
//   data            data size bytes
//
// The calls are the platform's, with its signatures; every module handle names the program.
// Names and types compare as the platform compares them: ordinals by value, texts without
// regard to the case of ASCII letters.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dialog_framework.h"

struct HRSRC__;
using HRSRC = HRSRC__*;
using HMODULE = HINSTANCE;
using HGLOBAL = void*;

#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)
#define RT_VERSION MAKEINTRESOURCEW(16)
#define VS_VERSION_INFO 1

// The resource `name` of `type`, null when there is none.
HRSRC WINAPI FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource);
HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource);
// The resource's bytes, read-only and aligned to 4 bytes, for the life of the process.
LPVOID WINAPI LockResource(HGLOBAL data);

// The fixed part of a version block.
struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // 0xFEEF04BD
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};

// Looks up `subBlock` in the version block `block` (a VS_VERSION_INFO resource): "\" is its
// VS_FIXEDFILEINFO, "\StringFileInfo\040904b0\ProductName" a text (`length` in units, with the
// terminator), "\VarFileInfo\Translation" the language and code page words. Keys compare without
// regard to case. FALSE when there is no such value.
BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length);

namespace host {

// A dialog template of the program's resources, as the platform reads one: the classic layout
// that the resource compiler writes for a DIALOG statement (the extended one is not read).
// Positions and sizes are in dialog units.
struct DialogItemTemplate {
  WORD id = 0;
  // The window class: a name, or for a predefined class its name ("Static", "Button" ...).
  std::u16string className;
  std::u16string text;
  short x = 0, y = 0, width = 0, height = 0;
  DWORD style = 0;
  DWORD exStyle = 0;
};

struct DialogTemplate {
  DWORD style = 0;
  DWORD exStyle = 0;
  short x = 0, y = 0, width = 0, height = 0;
  std::u16string title;
  std::u16string fontName;  // with DS_SETFONT only
  WORD pointSize = 0;
  std::vector<DialogItemTemplate> items;  // in creation order
};

// Dialog template `id` of the program's resources; nullopt when there is none or it does not
// read.
std::optional<DialogTemplate> LoadDialogTemplate(UINT id);

// Whether two window class names name the same class: the platform compares them without regard
// to case (the resource compiler stores them upper-cased).
bool SameClassName(std::u16string_view left, std::u16string_view right);

}  // namespace host

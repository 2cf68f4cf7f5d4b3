// Device paths of the storage card and their place in the device directory.
//
// "\SD Card\EA1\syaffs.bc" names DIR/SD Card/EA1/syaffs.bc. A device path is absolute (it starts
// with '\'; '/' is accepted as a separator too) and its first component is "SD Card" (in any
// letter case, as the device's file system compares names). Empty and "." components are
// skipped. Refused with ERROR_PATH_NOT_FOUND: a null or empty path, a relative path, a path
// whose first component is not the card, a ".." component, an embedded NUL, a drive or host
// prefix ("C:", "//host"), and a path longer than MAX_PATH. Refused with ERROR_INVALID_NAME: a
// component with a character the device's file system does not allow (< > : " | ? * or a
// control character) or a lone UTF-16 surrogate. Refused with ERROR_ACCESS_DENIED: a path
// through a symbolic link inside the card folder (the card folder itself may be one).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "host/text/text_encoding.h"
#include "platform/types.h"
#include "sim/device.h"

namespace host {

inline constexpr std::size_t kMaxPath = 260;  // code units, with the terminating NUL

// The code units of a NUL-terminated string (empty for null).
std::u16string_view ViewOf(LPCWSTR text);

// The host path of `devicePath` on `device`, or nullopt with `*error` set as described above.
// "\SD Card" itself gives the card's root directory.
std::optional<std::filesystem::path> CardPath(const sim::DevicePaths& device,
                                              std::u16string_view devicePath, DWORD* error);

// CardPath on this process's device; on failure sets the last error.
std::optional<std::filesystem::path> CardPath(LPCWSTR devicePath);

}  // namespace host

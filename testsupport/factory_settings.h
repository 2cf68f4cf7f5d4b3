// The settings of the process's device written by the system's own code, as the factory and
// the tests that damage them need: each partition's settings block, and the part number.
// Each call opens the flash under NOR_SYN_OBJ and closes it again, and closes the named
// objects it made, so the next device gets handles of its own. An empty string on success,
// otherwise what failed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "testsupport/files.h"

namespace testsupport {

// Every settings partition gets an empty settings block; with a part number, a store cycle
// then stores it as record 2 of the Semi-Permanent Settings (UTF-8 ASCII here, stored as
// UTF-16LE without terminator).
std::string FormatSettings(const std::optional<std::string>& partNumber);

// A settings block holding `payload` in flash block `block`, as it stands (records damaged or
// not).
std::string WriteSettingsBlock(std::uint32_t block, const Bytes& payload);

}  // namespace testsupport

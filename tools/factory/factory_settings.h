// The settings a factory writes into a device's flash, through the system's own code (the flash
// driver, the settings block format, the settings store) on whichever platform the program
// links: the host's simulated device (the orvanta tool, the tests, the benchmarks, the
// campaigns) or the in-memory device.
//
// Each settings partition named gets a settings block with an empty payload; with a part
// number, a store cycle then stores it as record 2 of the Semi-Permanent Settings (UTF-16LE
// without terminator). A Semi-Permanent block written anew so is also how a service technician
// restores a block that a power cut inside its own write left unreadable.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "platform/types.h"

namespace factory {

// Writes the blocks under NOR_SYN_OBJ and stores the part number in a store cycle; an empty
// string on success, otherwise what failed. The flash is closed again either way; the named
// objects stay open (a caller that moves to another device closes them).
std::string WriteSettings(std::span<const DWORD> partitionTypes,
                          const std::optional<std::u16string>& partNumber);

}  // namespace factory

// The storage card's space.
//
// With a card capacity in device.json the card holds that many bytes, and its files take the
// sum of their sizes (every regular file below DIR/SD Card, hidden ones included, so that a
// copy in progress counts once, as the bytes it has written so far). Without one the card is
// the host file system that holds DIR/SD Card.
#pragma once

#include <cstdint>
#include <optional>

#include "sim/device.h"

namespace host {

struct CardSpace {
  std::uint64_t total = 0;
  std::uint64_t free = 0;       // free to the caller
  std::uint64_t totalFree = 0;  // free on the whole volume
};

// The card's space now, or nullopt with the last error set (ERROR_NOT_READY when device.json
// cannot be read, ERROR_PATH_NOT_FOUND when the card's folder is missing).
std::optional<CardSpace> CurrentCardSpace(const sim::DevicePaths& device);

// The sum of the sizes of the regular files below `directory`.
std::uint64_t UsedBytes(const std::filesystem::path& directory);

}  // namespace host

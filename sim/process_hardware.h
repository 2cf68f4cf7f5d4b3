// The simulated hardware of this process, behind the physical-memory windows of
// host/physical_memory.cc: one clock and at most one chip, over the device directory of
// CurrentDevice().
#pragma once

#include <cstdint>
#include <string>

namespace sim {

class Clock;
struct DevicePaths;
class NorChip;

// AttachFlash loads device.json of CurrentDevice() and starts the chip (again only when the
// device directory or geometry changed; otherwise it takes up the new timing and fault plan);
// AttachTimer only the timing. Both return null with a one-line reason on failure.
NorChip* AttachFlash(std::string* error);
Clock* AttachTimer(std::string* error);
// Called when the flash window is released. With the environment variable
// ORVANTA_FLASH_COMMAND_COUNT set to a non-empty value it journals
// {"event":"flash_commands","count":N}; the last such line of a run is the run's total, which
// a power-cut campaign uses to cut at each command in turn.
void DetachFlash();
// Stops the process's chip when it runs on `device`, which is going away: its nor.bin is no
// longer mapped. No flash window may be mapped then.
void ForgetDevice(const DevicePaths& device);
NorChip* ProcessChip();
Clock& ProcessClock();
// Flash commands this process has written (0 before the chip started).
std::uint64_t FlashCommandCount();

}  // namespace sim

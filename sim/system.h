// The few operating-system services the simulated device uses, one side per host family
// (system_posix.cc, system_windows.cc): the chip's array shared between a read-write mapping
// and the read-only flash window, the fault handler behind that window, durable small writes
// (the journal, the lock bits), and ending the process at a power cut. Everything else of sim/
// is portable C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace sim::system {

// What a second mapping of an array is made from: a file descriptor on POSIX, a file-mapping
// handle on Windows.
using ArrayHandle = std::intptr_t;
inline constexpr ArrayHandle kNoArray = -1;

// An array as the chip writes it: `bytes` mapped read-write, and the handle the flash window
// maps a second time.
struct SharedArray {
  std::uint8_t* bytes = nullptr;
  std::uint64_t size = 0;
  ArrayHandle handle = kNoArray;
  ArrayHandle file = kNoArray;  // the file behind it, where that is a second handle
};

// A new array of `bytes` zero bytes that no other process sees. False with the reason.
bool CreatePrivateArray(std::uint64_t bytes, SharedArray& array, std::string* error);
// `file`, which must hold exactly `bytes` bytes, mapped read-write. False with the reason
// (without the file name).
bool MapArrayFile(const std::filesystem::path& file, std::uint64_t bytes, SharedArray& array,
                  std::string* error);
void ReleaseArray(SharedArray& array);

// The flash window's memory: `windowBytes` read-only bytes whose start shows the array of
// `handle` (`arrayBytes` bytes, the rest of its last page 0) and whose rest reads 0xFF. Null
// on failure, with a one-line reason.
std::uint8_t* MapWindow(ArrayHandle handle, std::uint64_t arrayBytes, std::size_t windowBytes,
                        std::string* error);
void UnmapWindow(std::uint8_t* base, std::uint64_t arrayBytes, std::size_t windowBytes);
// Makes the whole window readable, or no longer accessible at all. False when that failed.
bool ProtectWindow(std::uint8_t* base, std::uint64_t arrayBytes, std::size_t windowBytes,
                   bool readable);

// What the fault handler decides about an access that faulted.
enum class FaultAnswer {
  NotOurs,  // outside the window: whoever handled such faults before decides
  Retry,    // the window is readable again: the access runs once more
  Fatal,    // the process ends (the answer has said why on standard error)
};
using FaultRoutine = FaultAnswer (*)(const void* address);
// Installs `routine` as the process's handler of memory-access faults, once.
void InstallFaultHandler(FaultRoutine routine);
// One line on standard error, safe inside the fault handler (no allocation).
void SayFromHandler(const char* text);

// Appends `line` with one write that lands whole among other processes' lines, flushed to the
// disk before it returns. False with the reason.
bool AppendDurably(const std::filesystem::path& file, const std::string& line,
                   std::string* error);
// Replaces the contents of `file` with `bytes` in one write.
bool WriteInOnePiece(const std::filesystem::path& file, const std::string& bytes);

std::uint64_t ProcessId();
// Ends the process at once, as power going away would: no exit handlers, no flushing.
[[noreturn]] void EndAbruptly(int status);
// The host's monotonic clock in nanoseconds; `coarse` allows a cheaper clock of a few
// milliseconds a tick.
std::uint64_t MonotonicNanoseconds(bool coarse);

}  // namespace sim::system

// The orvanta subcommands. Each Add...Commands registers its subcommands on the program's
// CLI11 application; the callback of the subcommand that runs stores its exit status in *status.
// The functions below them are the subcommands' work, also used by `demo`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "sim/device.h"

namespace orvanta {

void AddDeviceCommands(CLI::App& app, int* status);     // device create|show|set|fault
void AddImageCommands(CLI::App& app, int* status);      // keygen, sign, verify, package
void AddSignatureCommands(CLI::App& app, int* status);  // digest, check-signature
void AddRunCommands(CLI::App& app, int* status);        // run, demo

// The part number a new device gets unless told otherwise.
inline constexpr char kDefaultPartNumber[] = "52614-01";

struct DeviceCreateOptions {
  std::filesystem::path directory;
  sim::DeviceConfig config;
  std::string partNumber = kDefaultPartNumber;  // empty: no part-number record
  bool blank = false;                           // nor.bin erased, nothing formatted
};

// Creates the device directory and, unless blank, formats it through the system's own code:
// the flash open writes the partition table, the four settings blocks get empty payloads, and
// a store cycle stores the part number. On failure the directory is removed again (it was
// absent or empty before). Returns an exit status, having reported any error.
int CreateDevice(const DeviceCreateOptions& options);

// Prints the device report (text, or JSON with `asJson`). Returns an exit status.
int ShowDevice(const std::filesystem::path& directory, bool asJson);

struct PackageOptions {
  std::filesystem::path keys;  // key0.pem .. key3.pem
  std::filesystem::path card;
  std::filesystem::path bootloader, sdisk, imageEa1, imageEa2, imageEb;
  std::uint64_t recordSize = 65536;
};

// Signs the five package files onto the card directory. Returns an exit status.
int BuildPackage(const PackageOptions& options);

struct RunOptions {
  std::filesystem::path directory;
  bool headless = false;
  std::optional<std::string> answers;
  std::optional<std::filesystem::path> transcript;
};

// Runs OrvantaUpdate (beside this executable) on the device and returns its exit status, or
// kExitError when it cannot be started.
int RunUpdater(const RunOptions& options);

}  // namespace orvanta

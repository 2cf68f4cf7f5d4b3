// The orvanta subcommands. Each Add...Commands registers its subcommands on the program's
// CLI11 application; the callback of the subcommand that runs stores its exit status in *status.
// The functions below them are the subcommands' work, also used by `demo`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "sim/device.h"
#include "tools/orvanta/tool_support.h"

namespace orvanta {

void AddDeviceCommands(CLI::App& app, int* status);     // device create|show|set|fault
void AddImageCommands(CLI::App& app, int* status);      // keygen, sign, verify, package
void AddSignatureCommands(CLI::App& app, int* status);  // digest, check-signature
void AddRunCommands(CLI::App& app, int* status);        // run, demo
void AddInspectCommand(CLI::App& app, int* status);     // inspect
// completion bash, and manual-page (not listed: the build writes orvanta(1) with it)
void AddCompletionCommands(CLI::App& app, int* status);

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
  std::string keys;  // a directory with key0.pem .. key3.pem, or a pkcs11: URI of a token
  std::filesystem::path card;
  std::filesystem::path bootloader, sdisk, imageEa1, imageEa2, imageEb;
  std::uint64_t recordSize = 65536;
  bool foreignKeys = false;               // sign with keys the device's key table lacks
  Existing existing = Existing::Keep;     // whether card files may be replaced
  std::optional<std::string> passphrase;  // --passin of encrypted PEM keys
};

// Loads the DER public key file into the verifier's key cache in place of built-in key 0, so
// that verifying with key index 0 uses it. False with a one-line reason.
bool UsePublicKeyFile(const std::string& file, std::string* error);

// One file a package wrote.
struct PackagedFile {
  std::filesystem::path path;  // where it was written
  std::string cardPath;        // relative to the card directory, with '/'
  std::uint64_t size = 0;
  unsigned keyIndex = 0;
  std::string key;  // the key file, or the key's URI without its PIN
};

// Signs the five package files onto the card directory and lists them in *written (when
// given). Returns an exit status.
int BuildPackage(const PackageOptions& options, std::vector<PackagedFile>* written = nullptr);

// The updater a run starts: the host's OrvantaUpdate, or the Windows OrvantaUpdate.exe under
// Wine (scripts/windows-updater, headless only).
enum class UpdaterPlatform { Host, Windows };

struct RunOptions {
  std::filesystem::path directory;
  UpdaterPlatform platform = UpdaterPlatform::Host;
  bool headless = false;
  std::optional<std::string> answers;
  std::optional<std::filesystem::path> transcript;
  // With `headless` and no `transcript`: the transcript the updater writes on standard output
  // is passed on to this process's standard output and copied into this file as well.
  std::optional<std::filesystem::path> copyOfOutput;
};

// Runs OrvantaUpdate (UpdaterPath) on the device and returns its exit status (128 + N when a
// signal N ended it), or kExitError when it cannot be started.
int RunUpdater(const RunOptions& options);

}  // namespace orvanta

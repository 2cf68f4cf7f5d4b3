// The simulated Orvanta: what a device directory holds and how it is read and written.
//
//   DIR/device.json     the simulated hardware and environment (DeviceConfig below)
//   DIR/nor.bin         the NOR array, raw, TotalBytes() long, erased bytes 0xFF
//   DIR/SD Card/        the storage card's root
//   DIR/journal.jsonl   one JSON object a line, appended by the simulated hardware
//
// device.json is read again by whoever needs a fresh value (the AC line on every power query),
// so a tester can change it while a program runs. Every field is optional; a missing field
// takes the default shown. A field of the wrong type or out of range is an error that names it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sim/fault_plan.h"

namespace sim {

// One erase-block region: `count` blocks of `size` bytes.
struct FlashRegion {
  std::uint32_t count = 0;
  std::uint32_t size = 0;
  bool operator==(const FlashRegion&) const = default;
};

enum class TimingMode { Instant, Virtual, Realistic };
enum class AcLine { Online, Offline, Backup, Unknown };
enum class Shell { PocketPC, Smartphone, Other };
// How the part's block locks behave. PerBlock: each unlock clears one block's lock bit, and every
// block powers up locked (volatile lock bits). UnlockAll: one unlock command clears the lock bit
// of every block, and lock bits are non-volatile, kept across restarts and power cuts.
enum class LockVariant { PerBlock, UnlockAll };

// The lock variant a device gets when its device.json does not name one: $ORVANTA_LOCK_VARIANT
// ("per_block" or "unlock_all"), so that a whole test suite can run on either variant; per_block
// when the variable is unset or empty.
LockVariant DefaultLockVariant();

struct DeviceConfig {
  // Flash geometry and identification ("flash" object of device.json).
  std::vector<FlashRegion> regions = {{8, 0x2000}, {62, 0x8000}};
  std::optional<std::uint32_t> sizeExponent;  // CFI word 0x27; default: log2 of the total size
  std::uint16_t manufacturer = 0x0089;
  std::uint16_t deviceCode = 0x88C5;
  // CFI time exponents: typical word program 2^n us, typical block erase 2^n ms, and the
  // maximum multipliers 2^n x typical.
  std::uint8_t wordProgramTypicalExponent = 4;
  std::uint8_t wordProgramMaxExponent = 4;
  std::uint8_t blockEraseTypicalExponent = 10;
  std::uint8_t blockEraseMaxExponent = 2;
  // Block locking. Lock and unlock take their typical times in virtual and realistic timing.
  // The defaults are the typical set-lock-bit time of this command-set family (64 us) and its
  // typical clear time: 64 us for a part that clears one block, 0.5 s for one that clears the
  // lock bits of every block at once.
  LockVariant lockVariant = DefaultLockVariant();
  std::uint32_t lockTimeUs = kDefaultLockTimeUs;
  std::optional<std::uint32_t> unlockTimeUs;  // default by variant: UnlockTimeUs()

  TimingMode timing = TimingMode::Instant;
  // Virtual timing: counter steps added by every read of the counter (3 steps = 1 us); at least
  // 1, since a counter that never advances would make every time limit wait for ever.
  std::uint32_t virtualStep = 3000;

  AcLine acLine = AcLine::Online;
  std::optional<std::uint64_t> cardCapacity;  // bytes; none: the host file system's free space
  Shell shell = Shell::PocketPC;

  std::vector<Fault> faults;

  static constexpr std::uint32_t kDefaultLockTimeUs = 64;
  static constexpr std::uint32_t kDefaultBlockUnlockTimeUs = 64;
  static constexpr std::uint32_t kDefaultUnlockAllTimeUs = 500000;
  std::uint32_t UnlockTimeUs() const;

  std::uint64_t TotalBytes() const;
  std::uint32_t TotalBlocks() const;
  bool operator==(const DeviceConfig&) const = default;
};

std::string ToString(TimingMode mode);
std::string ToString(AcLine line);
std::string ToString(Shell shell);
std::string ToString(LockVariant variant);
std::optional<TimingMode> ParseTimingMode(const std::string& text);
std::optional<AcLine> ParseAcLine(const std::string& text);
std::optional<Shell> ParseShell(const std::string& text);
std::optional<LockVariant> ParseLockVariant(const std::string& text);

// A result or a one-line reason ("DIR/device.json: field flash.regions[1].size: ...").
template <typename T>
struct Loaded {
  std::optional<T> value;
  std::string error;
  explicit operator bool() const { return value.has_value(); }
};

struct DevicePaths {
  std::filesystem::path root;
  std::filesystem::path Config() const { return root / "device.json"; }
  std::filesystem::path Nor() const { return root / "nor.bin"; }
  std::filesystem::path Card() const { return root / "SD Card"; }
  std::filesystem::path Journal() const { return root / "journal.jsonl"; }
  // The non-volatile lock bits of an unlock_all part, one byte a block (1 locked).
  std::filesystem::path LockBits() const { return root / "lock_bits.bin"; }
};

// The device directory of this process: $ORVANTA_DEVICE, or ./device.
DevicePaths CurrentDevice();

// Reads DIR/device.json. A missing directory or file, malformed JSON or a bad field gives an
// error naming the file and the field.
Loaded<DeviceConfig> LoadDeviceConfig(const DevicePaths& device);

// Writes device.json atomically (a temporary file renamed over the old one). Refuses, writing
// nothing, a configuration that reading would refuse: a virtual step of 0 (a stopped counter).
bool SaveDeviceConfig(const DevicePaths& device, const DeviceConfig& config, std::string* error);
// Sets the device's AC line in its device.json; false with a one-line reason.
bool SetAcLine(const DevicePaths& device, AcLine line, std::string* error);

// Creates DIR with device.json, an erased nor.bin of the geometry's size, an empty card and an
// empty journal. Fails, changing nothing, when DIR exists and is not empty.
bool CreateDevice(const DevicePaths& device, const DeviceConfig& config, std::string* error);

// Appends one JSON object (given as its serialised text) and a newline to the journal, flushed
// to the file before returning. A journal that cannot be appended to is reported on standard
// error, naming the file and the line.
void AppendJournal(const DevicePaths& device, const std::string& jsonObject);

// The device's answer to a restart request, journalled: false ("restart_refused") when its
// fault plan refuses restarts, as a device whose kernel cannot restart does; otherwise true
// ("restart"), and the caller ends the process, as the device stops running it. A device.json
// that cannot be read refuses nothing.
bool JournalRestart(const DevicePaths& device);

}  // namespace sim

// device create | show | set | fault.
#include <unistd.h>

#include <array>
#include <iostream>
#include <memory>
#include <span>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "flash/partition_table.h"
#include "settings/settings_block.h"
#include "settings/settings_record.h"
#include "settings/settings_store.h"
#include "sim/device.h"
#include "sim/block_layout.h"
#include "sim/fault_plan.h"
#include "tools/orvanta/commands.h"
#include "tools/orvanta/device_report.h"
#include "tools/orvanta/tool_support.h"

namespace orvanta {
namespace {

// A region list such as "8x8K,62x32K": one or two COUNTxSIZE items, sizes multiples of 256.
bool ParseRegions(const std::string& text, std::vector<sim::FlashRegion>* regions,
                  std::string* error) {
  regions->clear();
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const std::size_t times = item.find_first_of("xX");
    const std::optional<std::uint64_t> count =
        times == std::string::npos ? std::nullopt : ParseNumber(item.substr(0, times));
    const std::optional<std::uint64_t> size =
        times == std::string::npos ? std::nullopt : ParseNumber(item.substr(times + 1));
    if (!count || !size) {
      *error = "--regions: \"" + item + "\" is not COUNTxSIZE (for example 62x32K)";
      return false;
    }
    if (*count == 0 || *count > 0xFFFF) {
      *error = "--regions: \"" + item + "\": the block count must be 1..65535";
      return false;
    }
    if (*size == 0 || *size % 256 != 0 || *size > 0x1000000) {
      *error = "--regions: \"" + item + "\": the block size must be a multiple of 256 up to 16M";
      return false;
    }
    regions->push_back({static_cast<std::uint32_t>(*count), static_cast<std::uint32_t>(*size)});
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (regions->empty() || regions->size() > 2) {
    *error = "--regions: give one or two regions";
    return false;
  }
  return true;
}

std::string DescribeRegions(const std::vector<sim::FlashRegion>& regions) {
  std::string text;
  for (const sim::FlashRegion& region : regions) {
    if (!text.empty()) text += ",";
    text += std::to_string(region.count) + "x" +
            (region.size % 1024 == 0 ? std::to_string(region.size / 1024) + "K"
                                     : std::to_string(region.size));
  }
  return text;
}

// Whether the system can format a flash of this geometry: the partition table's default layout
// must fit, and every settings block must hold a full settings block. The block sizes are the
// ones the flash driver will see (a size exponent of 23 or more makes the chip report halved
// sizes, which the driver doubles).
bool CheckFormattable(const sim::DeviceConfig& config, std::string* error) {
  const std::string name = "flash geometry " + DescribeRegions(config.regions);
  DWORD sizes[2] = {0, 0};
  DWORD counts[2] = {0, 0};
  for (std::size_t i = 0; i < config.regions.size() && i < 2; ++i) {
    sizes[i] = config.regions[i].size;
    counts[i] = config.regions[i].count;
  }
  std::array<BYTE, kPartitionTableSize> table{};
  if (PartitionTable::BuildDefault(table.data(), sizes, counts) != 1) {
    *error = name +
             ": the partition table cannot be built for it (it needs at least 10 blocks, and "
             "1 MiB of bootloader and 768 KiB of bitmap below the settings blocks)";
    return false;
  }
  if (config.TotalBytes() > 0x200000) {
    *error = name + ": " + std::to_string(config.TotalBytes()) +
             " bytes do not fit the 2 MiB flash window";
    return false;
  }
  for (const DWORD type : kSettingsPartitionTypes) {
    const INT block = PartitionTable::FirstBlockOfType(type, table.data());
    const DWORD size = block < static_cast<INT>(counts[0]) ? sizes[0] : sizes[1];
    if (size < kSettingsBlockOverhead + kSettingsPayloadCapacity) {
      *error = name + ": settings block " + std::to_string(block) + " has " + std::to_string(size) +
               " bytes, a settings block needs " +
               std::to_string(kSettingsBlockOverhead + kSettingsPayloadCapacity);
      return false;
    }
  }
  return true;
}

// Whether a Semi-Permanent Settings block that does not read may be written anew.
enum class UnreadableBlock { Keep, Overwrite };

// Gives each settings partition of `types` a settings block with an empty payload. Returns false
// with `error` set when a block cannot be written, or set to `notOpened` when the flash does not
// open.
bool WriteEmptySettingsBlocks(std::span<const DWORD> types, const std::string& notOpened,
                              std::string* error) {
  NorFlashMutex::Acquire();
  if (NorFlash::Open() != 1) {
    NorFlashMutex::Release();
    *error = notOpened;
    return false;
  }
  bool written = true;
  const BYTE emptyPayload = 0xFF;
  for (const DWORD type : types) {
    const INT block = NorFlash::FirstBlockOfType(type);
    if (block < 0 || !SettingsBlock::Write(static_cast<DWORD>(block), &emptyPayload, 0)) {
      *error = "writing the settings block of partition type " + std::to_string(type) + " failed";
      written = false;
      break;
    }
  }
  NorFlash::Close();
  NorFlashMutex::Release();
  return written;
}

// Stores (or, for an empty text, removes) the part-number record through a store cycle. A
// Semi-Permanent Settings block that does not read is left alone unless `unreadable` says
// Overwrite; it is then first written anew with an empty payload. (A power cut between the
// block's erase and the end of its first record leaves such a block: the records after the
// cut were never programmed, and the first one is cut short.)
bool StorePartNumber(const std::string& partNumber, std::string* error,
                     UnreadableBlock unreadable = UnreadableBlock::Keep) {
  const std::optional<Bytes> text = Utf8ToUtf16Le(partNumber);
  if (!text) {
    *error = "--part-number: not valid UTF-8";
    return false;
  }
  if (text->size() > kMaxRecordDataLength) {
    *error = "--part-number: longer than a settings record can hold";
    return false;
  }
  SettingsStore::Open();
  SettingsStore::Lock();
  (void)SettingsStore::Load();
  bool stored = false;
  bool blank = false;
  if (!SettingsStore::IsOpened()) {
    *error = "the flash did not open, or its partition table lacks a settings partition";
  } else if (!SettingsStore::LoadedFromFlash(kSemiPermanentSettingsType)) {
    // Writing back a block that did not read would replace whatever it held.
    blank = unreadable == UnreadableBlock::Overwrite;
    if (!blank)
      *error =
          "the Semi-Permanent Settings block does not read; nothing was changed "
          "(--overwrite-unreadable writes it anew)";
  } else if (text->empty()) {
    SettingsStore::RemoveRecord(RecordId::PartNumber, kSemiPermanentSettingsType);
    stored = SettingsStore::Flush();
    if (!stored) *error = "writing the Semi-Permanent Settings block failed";
  } else if (!SettingsStore::PutRecord(RecordId::PartNumber, kSemiPermanentSettingsType,
                                       text->data(), static_cast<DWORD>(text->size()), 0)) {
    *error = "the part number does not fit the Semi-Permanent Settings block";
  } else {
    stored = SettingsStore::Flush();
    if (!stored) *error = "writing the Semi-Permanent Settings block failed";
  }
  SettingsStore::Unlock();
  SettingsStore::Close();
  if (!blank) return stored;
  const DWORD semiPermanent[] = {kSemiPermanentSettingsType};
  return WriteEmptySettingsBlocks(semiPermanent, "the flash driver does not open the flash",
                                  error) &&
         StorePartNumber(partNumber, error, UnreadableBlock::Keep);
}

// Formats a new device: the flash open writes the partition table, then every settings
// partition gets a settings block with an empty payload, then the part number is stored.
bool FormatDevice(const sim::DeviceConfig& config, const std::string& partNumber,
                  std::string* error) {
  const std::string notOpened =
      "flash geometry " + DescribeRegions(config.regions) + ": the flash driver does not open it";
  if (!WriteEmptySettingsBlocks(kSettingsPartitionTypes, notOpened, error)) return false;
  if (partNumber.empty()) return true;
  return StorePartNumber(partNumber, error);
}

const std::vector<std::string> kPowerNames = {"online", "offline", "backup", "unknown"};
const std::vector<std::string> kTimingNames = {"instant", "virtual", "realistic"};
const std::vector<std::string> kShellNames = {"PocketPC", "Smartphone", "Other"};
const std::vector<std::string> kLockVariantNames = {"per_block", "unlock_all"};

struct CreateArguments {
  std::string directory;
  std::string regions = "8x8K,62x32K";
  std::optional<std::string> sizeExponent, manufacturer, cardCapacity, power, timing, shell,
      lockVariant;
  std::string partNumber = kDefaultPartNumber;
  bool blank = false;
};

int RunCreate(const CreateArguments& arguments) {
  DeviceCreateOptions options;
  options.directory = arguments.directory;
  options.partNumber = arguments.partNumber;
  options.blank = arguments.blank;
  std::string error;
  if (!ParseRegions(arguments.regions, &options.config.regions, &error)) return ReportError(error);
  if (arguments.sizeExponent) {
    const std::optional<std::uint64_t> value = ParseNumber(*arguments.sizeExponent);
    if (!value || *value > 255)
      return ReportError("--size-exponent: \"" + *arguments.sizeExponent + "\" is not 0..255");
    options.config.sizeExponent = static_cast<std::uint32_t>(*value);
  }
  if (arguments.manufacturer) {
    const std::optional<std::uint64_t> value = ParseNumber(*arguments.manufacturer);
    if (!value || *value > 0xFFFF)
      return ReportError("--manufacturer: \"" + *arguments.manufacturer +
                         "\" is not a 16-bit number");
    options.config.manufacturer = static_cast<std::uint16_t>(*value);
  }
  if (arguments.cardCapacity) {
    const std::optional<std::uint64_t> value = ParseNumber(*arguments.cardCapacity);
    if (!value)
      return ReportError("--card-capacity: \"" + *arguments.cardCapacity +
                         "\" is not a number of bytes");
    options.config.cardCapacity = *value;
  }
  if (arguments.power) options.config.acLine = *sim::ParseAcLine(*arguments.power);
  if (arguments.timing) options.config.timing = *sim::ParseTimingMode(*arguments.timing);
  if (arguments.shell) options.config.shell = *sim::ParseShell(*arguments.shell);
  if (arguments.lockVariant)
    options.config.lockVariant = *sim::ParseLockVariant(*arguments.lockVariant);
  return CreateDevice(options);
}

struct SetArguments {
  std::string directory;
  std::optional<std::string> power, partNumber, cardCapacity, timing;
  bool overwriteUnreadable = false;
};

int RunSet(const SetArguments& arguments) {
  if (!arguments.power && !arguments.partNumber && !arguments.cardCapacity && !arguments.timing)
    return ReportError(
        "device set: nothing to change (give --power, --part-number, --card-capacity or "
        "--timing)");
  const sim::DevicePaths paths{UseDevice(arguments.directory)};
  sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(paths);
  if (!loaded) return ReportError(loaded.error);
  sim::DeviceConfig config = *loaded.value;
  if (arguments.cardCapacity) {
    if (*arguments.cardCapacity == "none") {
      config.cardCapacity.reset();
    } else {
      const std::optional<std::uint64_t> value = ParseNumber(*arguments.cardCapacity);
      if (!value)
        return ReportError("--card-capacity: \"" + *arguments.cardCapacity +
                           "\" is neither a number of bytes nor none");
      config.cardCapacity = *value;
    }
  }
  if (arguments.power) config.acLine = *sim::ParseAcLine(*arguments.power);
  if (arguments.timing) config.timing = *sim::ParseTimingMode(*arguments.timing);
  std::string error;
  if (!(config == *loaded.value) && !sim::SaveDeviceConfig(paths, config, &error))
    return ReportError(error);
  const UnreadableBlock unreadable =
      arguments.overwriteUnreadable ? UnreadableBlock::Overwrite : UnreadableBlock::Keep;
  if (arguments.partNumber && !StorePartNumber(*arguments.partNumber, &error, unreadable))
    return ReportError(error);
  return kExitSuccess;
}

struct FaultArguments {
  std::string directory;
  std::optional<std::string> eraseError, programError, neverReady, powerCutAfter, flipBit;
  bool vppError = false;
  bool restartFails = false;
  bool clear = false;
};

// A block number of the device's geometry, or nothing (reported) for anything else.
std::optional<std::uint32_t> BlockArgument(const sim::DeviceConfig& config,
                                           const std::string& option, const std::string& text) {
  const std::optional<std::uint64_t> value = ParseNumber(text);
  if (!value || *value >= config.TotalBlocks()) {
    ReportError(option + ": \"" + text + "\" is not a block number below " +
                std::to_string(config.TotalBlocks()));
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*value);
}

// --program-error BLOCK[:WORD], the word index inside the block.
std::optional<sim::Fault> ProgramErrorArgument(const sim::DeviceConfig& config,
                                               const std::string& text) {
  const std::size_t colon = text.find(':');
  const auto block = BlockArgument(config, "--program-error", text.substr(0, colon));
  if (!block) return std::nullopt;
  if (colon == std::string::npos) return sim::Fault::ProgramError(*block);
  const std::uint64_t words = sim::BlockLayout(config.regions).Size(*block) / 2;
  const std::optional<std::uint64_t> word = ParseNumber(text.substr(colon + 1));
  if (!word || *word >= words) {
    ReportError("--program-error: word \"" + text.substr(colon + 1) +
                "\" is not a word index below " + std::to_string(words));
    return std::nullopt;
  }
  return sim::Fault::ProgramError(*block, static_cast<std::uint32_t>(*word));
}

// --flip-bit OFFSET:BIT, applied to nor.bin at once.
std::optional<sim::Fault> FlipBitArgument(const sim::DeviceConfig& config,
                                          const sim::DevicePaths& paths, const std::string& text) {
  const std::size_t colon = text.find(':');
  const std::optional<std::uint64_t> offset =
      colon == std::string::npos ? std::nullopt : ParseNumber(text.substr(0, colon));
  const std::optional<std::uint64_t> bit =
      colon == std::string::npos ? std::nullopt : ParseNumber(text.substr(colon + 1));
  if (!offset || !bit || *offset >= config.TotalBytes() || *bit > 7) {
    ReportError("--flip-bit: \"" + text + "\" is not OFFSET:BIT with OFFSET below " +
                std::to_string(config.TotalBytes()) + " and BIT 0..7");
    return std::nullopt;
  }
  const sim::Fault fault = sim::Fault::FlipBit(*offset, static_cast<std::uint32_t>(*bit));
  std::string error;
  if (!sim::FlipBit(paths, fault.offset, fault.bit, &error)) {
    ReportError(error);
    return std::nullopt;
  }
  return fault;
}

// The one fault the arguments name, or nothing (reported) when it does not fit the device.
std::optional<sim::Fault> FaultArgument(const FaultArguments& arguments,
                                        const sim::DeviceConfig& config,
                                        const sim::DevicePaths& paths) {
  if (arguments.eraseError) {
    const auto block = BlockArgument(config, "--erase-error", *arguments.eraseError);
    return block ? std::optional(sim::Fault::EraseError(*block)) : std::nullopt;
  }
  if (arguments.neverReady) {
    const auto block = BlockArgument(config, "--never-ready", *arguments.neverReady);
    return block ? std::optional(sim::Fault::NeverReady(*block)) : std::nullopt;
  }
  if (arguments.programError) return ProgramErrorArgument(config, *arguments.programError);
  if (arguments.vppError) return sim::Fault::VppError();
  if (arguments.restartFails) return sim::Fault::RestartFails();
  if (arguments.powerCutAfter) {
    const std::optional<std::uint64_t> count = ParseNumber(*arguments.powerCutAfter);
    if (!count) {
      ReportError("--power-cut-after: \"" + *arguments.powerCutAfter +
                  "\" is not a number of flash commands");
      return std::nullopt;
    }
    return sim::Fault::PowerCutAfter(*count);
  }
  return FlipBitArgument(config, paths, *arguments.flipBit);
}

int RunFault(const FaultArguments& arguments) {
  const int given = arguments.eraseError.has_value() + arguments.programError.has_value() +
                    arguments.neverReady.has_value() + arguments.powerCutAfter.has_value() +
                    arguments.flipBit.has_value() + arguments.vppError + arguments.restartFails +
                    arguments.clear;
  if (given != 1)
    return ReportError(
        "device fault: give exactly one of --erase-error, --program-error, --never-ready, "
        "--vpp-error, --power-cut-after, --flip-bit, --restart-fails, --clear");
  const sim::DevicePaths paths{UseDevice(arguments.directory)};
  sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(paths);
  if (!loaded) return ReportError(loaded.error);
  sim::DeviceConfig config = *loaded.value;
  if (arguments.clear) {
    config.faults.clear();
  } else {
    const std::optional<sim::Fault> fault = FaultArgument(arguments, config, paths);
    if (!fault) return kExitError;
    config.faults.push_back(*fault);
  }
  std::string error;
  if (!sim::SaveDeviceConfig(paths, config, &error)) return ReportError(error);
  return kExitSuccess;
}

}  // namespace

int CreateDevice(const DeviceCreateOptions& options) {
  std::string error;
  if (!options.blank && !CheckFormattable(options.config, &error)) return ReportError(error);
  std::error_code code;
  const bool existed = std::filesystem::exists(options.directory, code);
  const sim::DevicePaths paths{UseDevice(options.directory)};
  if (!sim::CreateDevice(paths, options.config, &error)) return ReportError(error);
  if (options.blank) return kExitSuccess;
  if (!FormatDevice(options.config, options.partNumber, &error)) {
    // Leave nothing half made: the directory was absent or empty before.
    if (existed) {
      for (const auto& entry : std::filesystem::directory_iterator(paths.root, code))
        std::filesystem::remove_all(entry.path(), code);
    } else {
      std::filesystem::remove_all(paths.root, code);
    }
    return ReportError(error);
  }
  return kExitSuccess;
}

int ShowDevice(const std::filesystem::path& directory, bool asJson) {
  nlohmann::json report;
  std::string error;
  if (!DescribeDevice(directory, &report, &error)) return ReportError(error);
  if (asJson) {
    std::cout << report.dump(2) << "\n";
  } else {
    PrintDeviceReport(report, isatty(STDOUT_FILENO) == 1);
  }
  return kExitSuccess;
}

void AddDeviceCommands(CLI::App& app, int* status) {
  CLI::App* device = app.add_subcommand("device", "create, inspect and change simulated devices");
  device->require_subcommand(1);
  device->footer("Example:\n  orvanta device create ./device && orvanta device show ./device\n");

  auto create = std::make_shared<CreateArguments>();
  CLI::App* createCommand = device->add_subcommand(
      "create", "a new device directory, formatted through the system's own code");
  createCommand->add_option("DIR", create->directory, "the new device directory")->required();
  createCommand->add_option("--regions", create->regions,
                            "erase-block regions, COUNTxSIZE[,COUNTxSIZE] (default 8x8K,62x32K)");
  createCommand->add_option("--size-exponent", create->sizeExponent,
                            "CFI device size exponent (default: log2 of the total size)");
  createCommand->add_option("--manufacturer", create->manufacturer,
                            "manufacturer identifier (default 0x89)");
  createCommand->add_option("--part-number", create->partNumber,
                            "part number to store (default 52614-01; '' stores none)");
  createCommand->add_option("--power", create->power, "AC line (default online)")
      ->check(CLI::IsMember(kPowerNames));
  createCommand->add_option("--card-capacity", create->cardCapacity,
                            "card size in bytes (default: the host's free space)");
  createCommand->add_option("--timing", create->timing, "flash timing (default instant)")
      ->check(CLI::IsMember(kTimingNames));
  createCommand->add_option("--shell", create->shell, "shell type (default PocketPC)")
      ->check(CLI::IsMember(kShellNames));
  createCommand
      ->add_option("--lock-variant", create->lockVariant,
                   "block locks: per_block (volatile, one block an unlock) or unlock_all "
                   "(one unlock clears every lock, locks kept across restarts); default "
                   "$ORVANTA_LOCK_VARIANT or per_block")
      ->check(CLI::IsMember(kLockVariantNames));
  createCommand->add_flag("--blank", create->blank,
                          "leave the flash erased: no partition table, no settings");
  createCommand->footer(
      "Examples:\n  orvanta device create ./device\n"
      "  orvanta device create ./device2 --part-number 52614-12 --power offline\n"
      "  orvanta device create ./big --regions 64x32K --blank\n");
  createCommand->callback([create, status] { *status = RunCreate(*create); });

  auto show = std::make_shared<std::pair<std::string, bool>>();
  CLI::App* showCommand =
      device->add_subcommand("show", "what the device holds: flash, settings, card, faults");
  showCommand->add_option("DIR", show->first, "the device directory")->required();
  showCommand->add_flag("--json", show->second, "print one JSON object");
  showCommand->footer(
      "Examples:\n  orvanta device show ./device\n"
      "  orvanta device show ./device --json | jq .update_request\n");
  showCommand->callback([show, status] { *status = ShowDevice(show->first, show->second); });

  auto set = std::make_shared<SetArguments>();
  CLI::App* setCommand = device->add_subcommand("set", "change the simulated device");
  setCommand->add_option("DIR", set->directory, "the device directory")->required();
  setCommand->add_option("--power", set->power, "AC line")->check(CLI::IsMember(kPowerNames));
  setCommand->add_option("--part-number", set->partNumber,
                         "store this part number through a store cycle ('' removes it)");
  setCommand
      ->add_flag("--overwrite-unreadable", set->overwriteUnreadable,
                 "with --part-number: write the Semi-Permanent Settings block even when it does "
                 "not read (after a power cut inside its write)")
      ->needs(setCommand->get_option("--part-number"));
  setCommand->add_option("--card-capacity", set->cardCapacity, "card size in bytes, or none");
  setCommand->add_option("--timing", set->timing, "flash timing")
      ->check(CLI::IsMember(kTimingNames));
  setCommand->footer(
      "Examples:\n  orvanta device set ./device --power offline\n"
      "  orvanta device set ./device --part-number 52614-03 --card-capacity 8M\n"
      "  orvanta device set ./device --part-number 52614-01 --overwrite-unreadable\n");
  setCommand->callback([set, status] { *status = RunSet(*set); });

  auto fault = std::make_shared<FaultArguments>();
  CLI::App* faultCommand =
      device->add_subcommand("fault", "add to the fault plan of later runs (one fault a call)");
  faultCommand->add_option("DIR", fault->directory, "the device directory")->required();
  faultCommand->add_option("--erase-error", fault->eraseError, "an erase of BLOCK fails");
  faultCommand->add_option("--program-error", fault->programError,
                           "a program in BLOCK (at word WORD) fails: BLOCK[:WORD]");
  faultCommand->add_option("--never-ready", fault->neverReady, "BLOCK never becomes ready");
  faultCommand->add_flag("--vpp-error", fault->vppError, "every erase and program fails");
  faultCommand->add_option("--power-cut-after", fault->powerCutAfter,
                           "the power goes after N flash commands");
  faultCommand->add_option("--flip-bit", fault->flipBit,
                           "flip bit BIT of byte OFFSET of nor.bin now: OFFSET:BIT");
  faultCommand->add_flag("--restart-fails", fault->restartFails,
                         "the restart request is refused and the updater goes on");
  faultCommand->add_flag("--clear", fault->clear, "empty the fault plan");
  faultCommand->footer(
      "Examples:\n  orvanta device fault ./device --erase-error 3\n"
      "  orvanta device fault ./device --flip-bit 0x1F8010:2\n"
      "  orvanta device fault ./device --clear\n");
  faultCommand->callback([fault, status] { *status = RunFault(*fault); });
}

}  // namespace orvanta

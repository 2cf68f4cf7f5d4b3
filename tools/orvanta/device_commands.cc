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
#include "sim/block_layout.h"
#include "sim/device.h"
#include "sim/fault_plan.h"
#include "tools/factory/factory_settings.h"
#include "tools/orvanta/commands.h"
#include "tools/orvanta/device_report.h"
#include "tools/orvanta/option_types.h"
#include "tools/orvanta/tool_support.h"

namespace orvanta {
namespace {

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

// The UTF-16 units of UTF-16LE bytes.
std::optional<std::u16string> PartNumberUnits(const Bytes& utf16le) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < utf16le.size(); i += 2)
    units.push_back(static_cast<char16_t>(utf16le[i] | utf16le[i + 1] << 8));
  return units;
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
  // Written anew, as the factory writes it.
  const DWORD semiPermanent[] = {kSemiPermanentSettingsType};
  *error = factory::WriteSettings(semiPermanent, PartNumberUnits(*text));
  return error->empty();
}

// Formats a new device as the factory does: the flash open writes the partition table, then
// every settings partition gets a settings block with an empty payload, then the part number
// is stored.
bool FormatDevice(const sim::DeviceConfig& config, const std::string& partNumber,
                  std::string* error) {
  const std::optional<Bytes> text = Utf8ToUtf16Le(partNumber);
  if (!text) {
    *error = "--part-number: not valid UTF-8";
    return false;
  }
  if (text->size() > kMaxRecordDataLength) {
    *error = "--part-number: longer than a settings record can hold";
    return false;
  }
  *error = factory::WriteSettings(kSettingsPartitionTypes,
                                  text->empty() ? std::nullopt : PartNumberUnits(*text));
  if (!error->empty()) *error = "flash geometry " + DescribeRegions(config.regions) + ": " + *error;
  return error->empty();
}

// The names of the device's environment settings, as device.json spells them.
const std::vector<std::pair<std::string, sim::AcLine>> kPowerNames = {
    {"online", sim::AcLine::Online},
    {"offline", sim::AcLine::Offline},
    {"backup", sim::AcLine::Backup},
    {"unknown", sim::AcLine::Unknown}};
const std::vector<std::pair<std::string, sim::TimingMode>> kTimingNames = {
    {"instant", sim::TimingMode::Instant},
    {"virtual", sim::TimingMode::Virtual},
    {"realistic", sim::TimingMode::Realistic}};
const std::vector<std::pair<std::string, sim::Shell>> kShellNames = {
    {"PocketPC", sim::Shell::PocketPC},
    {"Smartphone", sim::Shell::Smartphone},
    {"Other", sim::Shell::Other}};
const std::vector<std::pair<std::string, sim::LockVariant>> kLockVariantNames = {
    {"per_block", sim::LockVariant::PerBlock}, {"unlock_all", sim::LockVariant::UnlockAll}};

// What a command that changed a device prints: one line of its state, or that state as JSON.
int PrintDeviceState(const std::filesystem::path& directory, const std::string& what, bool asJson) {
  nlohmann::json report;
  std::string error;
  if (!DescribeDevice(directory, &report, &error)) return ReportError(error);
  const nlohmann::json state = {{"directory", directory.string()},
                                {"geometry", report["geometry"]},
                                {"part_number", report["part_number"]},
                                {"variant", report["variant"]},
                                {"ac_line", report["ac_line"]},
                                {"timing", report["timing"]},
                                {"card", report["card"]},
                                {"faults", report["faults"]}};
  if (asJson) {
    std::cout << state.dump() << "\n";
    return kExitSuccess;
  }
  std::cout << directory.string() << ": " << what << "; part number "
            << (report["part_number"].is_null()
                    ? std::string("none")
                    : "\"" + report["part_number"].get<std::string>() + "\"")
            << " (variant " << report["variant"].dump() << "), AC line "
            << report["ac_line"].get<std::string>() << ", "
            << (report["faults"].empty() ? std::string("no faults planned")
                                         : std::to_string(report["faults"].size()) +
                                               " faults planned " + report["faults"].dump())
            << "\n";
  return kExitSuccess;
}

struct CreateArguments {
  std::string directory;
  std::vector<RegionArgument> regions = {{8, 8 * 1024}, {62, 32 * 1024}};
  std::optional<std::uint32_t> sizeExponent;
  std::optional<std::uint16_t> manufacturer;
  std::optional<std::uint64_t> cardCapacity;
  std::optional<sim::AcLine> power;
  std::optional<sim::TimingMode> timing;
  std::optional<sim::Shell> shell;
  std::optional<sim::LockVariant> lockVariant;
  std::string partNumber = kDefaultPartNumber;
  bool blank = false, json = false;
};

int RunCreate(const CreateArguments& arguments) {
  DeviceCreateOptions options;
  options.directory = arguments.directory;
  options.partNumber = arguments.partNumber;
  options.blank = arguments.blank;
  options.config.regions.clear();
  for (const RegionArgument& region : arguments.regions)
    options.config.regions.push_back({region.count, region.size});
  if (arguments.sizeExponent) options.config.sizeExponent = *arguments.sizeExponent;
  if (arguments.manufacturer) options.config.manufacturer = *arguments.manufacturer;
  if (arguments.cardCapacity) options.config.cardCapacity = *arguments.cardCapacity;
  if (arguments.power) options.config.acLine = *arguments.power;
  if (arguments.timing) options.config.timing = *arguments.timing;
  if (arguments.shell) options.config.shell = *arguments.shell;
  if (arguments.lockVariant) options.config.lockVariant = *arguments.lockVariant;
  if (const int status = CreateDevice(options); status != kExitSuccess) return status;
  return PrintDeviceState(options.directory,
                          "a new device, flash " + DescribeRegions(options.config.regions) +
                              (options.blank ? " (blank)" : ""),
                          arguments.json);
}

// --card-capacity of device set: a size, or none (the host's free space).
struct CardCapacityArgument {
  std::optional<std::uint64_t> bytes;
};
std::istream& operator>>(std::istream& input, CardCapacityArgument& capacity) {
  std::string text;
  input >> text;
  if (text == "none") {
    capacity.bytes.reset();
    return input;
  }
  capacity.bytes = NumberOf(text, true);
  if (!capacity.bytes) input.setstate(std::ios::failbit);
  return input;
}

struct SetArguments {
  std::string directory;
  std::optional<sim::AcLine> power;
  std::optional<sim::TimingMode> timing;
  std::optional<std::string> partNumber;
  std::optional<CardCapacityArgument> cardCapacity;  // given when set
  bool overwriteUnreadable = false, json = false;
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
  if (arguments.cardCapacity) config.cardCapacity = arguments.cardCapacity->bytes;
  if (arguments.power) config.acLine = *arguments.power;
  if (arguments.timing) config.timing = *arguments.timing;
  std::string error;
  if (!(config == *loaded.value) && !sim::SaveDeviceConfig(paths, config, &error))
    return ReportError(error);
  const UnreadableBlock unreadable =
      arguments.overwriteUnreadable ? UnreadableBlock::Overwrite : UnreadableBlock::Keep;
  if (arguments.partNumber && !StorePartNumber(*arguments.partNumber, &error, unreadable))
    return ReportError(error);
  return PrintDeviceState(arguments.directory, "changed", arguments.json);
}

// BLOCK[:WORD] and OFFSET:BIT: a number, and another after a colon.
struct NumberPairArgument {
  std::uint64_t first = 0;
  std::optional<std::uint64_t> second;
};
std::istream& operator>>(std::istream& input, NumberPairArgument& pair) {
  std::string text;
  input >> text;
  const std::size_t colon = text.find(':');
  const std::optional<std::uint64_t> first = NumberOf(text.substr(0, colon), false);
  if (colon != std::string::npos) pair.second = NumberOf(text.substr(colon + 1), false);
  if (!first || (colon != std::string::npos && !pair.second)) input.setstate(std::ios::failbit);
  pair.first = first.value_or(0);
  return input;
}

struct FaultArguments {
  std::string directory;
  std::optional<std::uint32_t> eraseError, neverReady;
  std::optional<NumberPairArgument> programError, flipBit;
  std::optional<std::uint64_t> powerCutAfter;
  bool vppError = false, restartFails = false, clear = false, json = false;
};

// A block number of the device's geometry, or nothing (reported) for anything else.
std::optional<std::uint32_t> BlockArgument(const sim::DeviceConfig& config,
                                           const std::string& option, std::uint64_t block) {
  if (block >= config.TotalBlocks()) {
    ReportError(option + ": block " + std::to_string(block) + " is not below the device's " +
                std::to_string(config.TotalBlocks()) + " blocks");
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(block);
}

// --program-error BLOCK[:WORD], the word index inside the block.
std::optional<sim::Fault> ProgramErrorArgument(const sim::DeviceConfig& config,
                                               const NumberPairArgument& argument) {
  const auto block = BlockArgument(config, "--program-error", argument.first);
  if (!block) return std::nullopt;
  if (!argument.second) return sim::Fault::ProgramError(*block);
  const std::uint64_t words = sim::BlockLayout(config.regions).Size(*block) / 2;
  if (*argument.second >= words) {
    ReportError("--program-error: word " + std::to_string(*argument.second) +
                " is not a word index below " + std::to_string(words));
    return std::nullopt;
  }
  return sim::Fault::ProgramError(*block, static_cast<std::uint32_t>(*argument.second));
}

// --flip-bit OFFSET:BIT, applied to nor.bin at once.
std::optional<sim::Fault> FlipBitArgument(const sim::DeviceConfig& config,
                                          const sim::DevicePaths& paths,
                                          const NumberPairArgument& argument) {
  if (!argument.second || argument.first >= config.TotalBytes() || *argument.second > 7) {
    ReportError("--flip-bit: give OFFSET:BIT with OFFSET below " +
                std::to_string(config.TotalBytes()) + " and BIT 0..7");
    return std::nullopt;
  }
  const sim::Fault fault =
      sim::Fault::FlipBit(argument.first, static_cast<std::uint32_t>(*argument.second));
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
  if (arguments.powerCutAfter) return sim::Fault::PowerCutAfter(*arguments.powerCutAfter);
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
  return PrintDeviceState(arguments.directory,
                          arguments.clear ? "fault plan cleared" : "fault added", arguments.json);
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
  createCommand->add_option("DIR", create->directory, "the new device directory")
      ->type_name("DIR")
      ->required();
  createCommand
      ->add_option("--regions", create->regions,
                   "one or two erase-block regions, COUNTxSIZE[,COUNTxSIZE]: 1..65535 blocks of "
                   "a multiple of 256 bytes up to 16M (default 8x8K,62x32K)")
      ->type_name("REGIONS")
      ->delimiter(',')
      ->expected(1, 2)
      ->check(Readable<RegionArgument>("COUNTxSIZE with 1..65535 blocks of a multiple of 256 "
                                       "bytes up to 16M"));
  createCommand
      ->add_option("--size-exponent", create->sizeExponent,
                   "CFI device size exponent, 0..255 (default: log2 of the total size)")
      ->type_name("N")
      ->transform(NumberValue())
      ->check(Bounded(0, 255));
  createCommand
      ->add_option("--manufacturer", create->manufacturer,
                   "manufacturer identifier, 16 bits (default 0x89)")
      ->type_name("ID")
      ->transform(NumberValue())
      ->check(Bounded(0, 0xFFFF));
  createCommand
      ->add_option("--part-number", create->partNumber,
                   "part number to store (default 52614-01; '' stores none)")
      ->type_name("PART_NUMBER");
  createCommand->add_option("--power", create->power, "AC line (default online)")
      ->transform(Choice(kPowerNames));
  createCommand
      ->add_option("--card-capacity", create->cardCapacity,
                   "card size in bytes (default: the host's free space)")
      ->type_name("SIZE")
      ->transform(SizeValue());
  createCommand->add_option("--timing", create->timing, "flash timing (default instant)")
      ->transform(Choice(kTimingNames));
  createCommand->add_option("--shell", create->shell, "shell type (default PocketPC)")
      ->transform(Choice(kShellNames));
  createCommand
      ->add_option("--lock-variant", create->lockVariant,
                   "block locks: per_block (volatile, one block an unlock) or unlock_all "
                   "(one unlock clears every lock, locks kept across restarts); default "
                   "$ORVANTA_LOCK_VARIANT or per_block")
      ->transform(Choice(kLockVariantNames));
  createCommand->add_flag("--blank", create->blank,
                          "leave the flash erased: no partition table, no settings");
  createCommand->add_flag("--json", create->json, "describe the new device as JSON");
  createCommand->footer(
      "Examples:\n  orvanta device create ./device\n"
      "  orvanta device create ./device2 --part-number 52614-12 --power offline\n"
      "  orvanta device create ./big --regions 64x32K --blank\n");
  createCommand->callback([create, status] { *status = RunCreate(*create); });

  auto show = std::make_shared<std::pair<std::string, bool>>();
  CLI::App* showCommand =
      device->add_subcommand("show", "what the device holds: flash, settings, card, faults");
  showCommand->add_option("DIR", show->first, "the device directory")->type_name("DIR")->required();
  showCommand->add_flag("--json", show->second, "print one JSON object");
  showCommand->footer(
      "Examples:\n  orvanta device show ./device\n"
      "  orvanta device show ./device --json | jq .update_request\n");
  showCommand->callback([show, status] { *status = ShowDevice(show->first, show->second); });

  auto set = std::make_shared<SetArguments>();
  CLI::App* setCommand = device->add_subcommand("set", "change the simulated device");
  setCommand->add_option("DIR", set->directory, "the device directory")
      ->type_name("DIR")
      ->required();
  setCommand->add_option("--power", set->power, "AC line")->transform(Choice(kPowerNames));
  setCommand
      ->add_option("--part-number", set->partNumber,
                   "store this part number through a store cycle ('' removes it)")
      ->type_name("PART_NUMBER");
  setCommand
      ->add_flag("--overwrite-unreadable", set->overwriteUnreadable,
                 "with --part-number: write the Semi-Permanent Settings block even when it does "
                 "not read (after a power cut inside its write)")
      ->needs(setCommand->get_option("--part-number"));
  setCommand
      ->add_option("--card-capacity", set->cardCapacity,
                   "card size in bytes, or none for the host's free space")
      ->type_name("SIZE")
      ->check(Readable<CardCapacityArgument>("a size or none"));
  setCommand->add_option("--timing", set->timing, "flash timing")->transform(Choice(kTimingNames));
  setCommand->add_flag("--json", set->json, "describe the device after the change as JSON");
  setCommand->footer(
      "Examples:\n  orvanta device set ./device --power offline\n"
      "  orvanta device set ./device --part-number 52614-03 --card-capacity 8M\n"
      "  orvanta device set ./device --part-number 52614-01 --overwrite-unreadable\n");
  setCommand->callback([set, status] { *status = RunSet(*set); });

  auto fault = std::make_shared<FaultArguments>();
  CLI::App* faultCommand =
      device->add_subcommand("fault", "add to the fault plan of later runs (one fault a call)");
  faultCommand->add_option("DIR", fault->directory, "the device directory")
      ->type_name("DIR")
      ->required();
  faultCommand->add_option("--erase-error", fault->eraseError, "an erase of BLOCK fails")
      ->type_name("BLOCK")
      ->transform(NumberValue());
  faultCommand
      ->add_option("--program-error", fault->programError,
                   "a program in BLOCK (at word WORD) fails")
      ->type_name("BLOCK[:WORD]")
      ->check(Readable<NumberPairArgument>("BLOCK or BLOCK:WORD"));
  faultCommand->add_option("--never-ready", fault->neverReady, "BLOCK never becomes ready")
      ->type_name("BLOCK")
      ->transform(NumberValue());
  faultCommand->add_flag("--vpp-error", fault->vppError, "every erase and program fails");
  faultCommand
      ->add_option("--power-cut-after", fault->powerCutAfter,
                   "the power goes after N flash commands")
      ->type_name("N")
      ->transform(NumberValue());
  faultCommand
      ->add_option("--flip-bit", fault->flipBit, "flip bit BIT of byte OFFSET of nor.bin now")
      ->type_name("OFFSET:BIT")
      ->check(Readable<NumberPairArgument>("OFFSET:BIT"));
  faultCommand->add_flag("--restart-fails", fault->restartFails,
                         "the restart request is refused and the updater goes on");
  faultCommand->add_flag("--clear", fault->clear, "empty the fault plan");
  faultCommand->add_flag("--json", fault->json, "describe the device after the change as JSON");
  faultCommand->footer(
      "Examples:\n  orvanta device fault ./device --erase-error 3\n"
      "  orvanta device fault ./device --flip-bit 0x1F8010:2\n"
      "  orvanta device fault ./device --clear\n");
  faultCommand->callback([fault, status] { *status = RunFault(*fault); });
}

}  // namespace orvanta

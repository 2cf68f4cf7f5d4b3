#include "sim/device.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

#include "sim/system.h"

namespace sim {
namespace {

using nlohmann::json;

// Field-aware reading: every accessor knows the path of what it reads, so an error names the
// field exactly ("flash.regions[1].size: expected an unsigned integer").
struct FieldError {
  std::string message;
};

class Reader {
 public:
  Reader(const json& value, std::string path) : value_(value), path_(std::move(path)) {}

  bool Has(const char* key) const { return value_.is_object() && value_.contains(key); }
  // A required field that is absent is named like any other bad field, not left to the JSON
  // library's message (which names only the key).
  Reader Child(const char* key) const {
    const std::string path = path_.empty() ? key : path_ + "." + key;
    if (!Has(key)) throw FieldError{"field " + path + ": missing"};
    return Reader(value_.at(key), path);
  }
  Reader Element(std::size_t index) const {
    return Reader(value_.at(index), path_ + "[" + std::to_string(index) + "]");
  }
  std::size_t ArraySize() const {
    if (!value_.is_array()) Fail("expected an array");
    return value_.size();
  }
  void RequireObject() const {
    if (!value_.is_object()) Fail("expected an object");
  }
  std::uint64_t Unsigned(std::uint64_t max) const {
    std::uint64_t number = 0;
    if (value_.is_number_unsigned()) {
      number = value_.get<std::uint64_t>();
    } else if (value_.is_number_integer() && value_.get<std::int64_t>() >= 0) {
      number = static_cast<std::uint64_t>(value_.get<std::int64_t>());
    } else if (value_.is_string()) {
      // Hexadecimal codes may be written as "0x89".
      const std::string text = value_.get<std::string>();
      char* end = nullptr;
      errno = 0;
      number = std::strtoull(text.c_str(), &end, 0);
      if (text.empty() || *end != '\0' || errno != 0 || text[0] == '-')
        Fail("expected an unsigned integer, got \"" + text + "\"");
    } else {
      Fail("expected an unsigned integer");
    }
    if (number > max) Fail("value " + std::to_string(number) + " is above " + std::to_string(max));
    return number;
  }
  std::string String() const {
    if (!value_.is_string()) Fail("expected a string");
    return value_.get<std::string>();
  }
  [[noreturn]] void Fail(const std::string& what) const {
    throw FieldError{"field " + path_ + ": " + what};
  }

 private:
  const json& value_;
  std::string path_;
};

// Virtual timing advances the counter only by this step: at 0 it never advances, and every time
// limit of the flash driver would be waited for without end.
constexpr char kStoppedCounter[] =
    "field virtual_step: 0 stops the counter, so no time limit would ever pass (at least 1)";

template <typename Enum>
Enum ParseEnum(const Reader& reader, std::optional<Enum> (*parse)(const std::string&),
               const char* choices) {
  const std::string text = reader.String();
  const std::optional<Enum> value = parse(text);
  if (!value) reader.Fail("\"" + text + "\" is not one of " + choices);
  return *value;
}

Fault ReadFault(const Reader& reader) {
  reader.RequireObject();
  const std::string kind = reader.Child("kind").String();
  Fault fault;
  if (kind == "erase_error" || kind == "never_ready") {
    fault.kind = kind == "erase_error" ? FaultKind::EraseError : FaultKind::NeverReady;
    fault.block = static_cast<std::uint32_t>(reader.Child("block").Unsigned(UINT32_MAX));
  } else if (kind == "program_error") {
    fault.kind = FaultKind::ProgramError;
    fault.block = static_cast<std::uint32_t>(reader.Child("block").Unsigned(UINT32_MAX));
    if (reader.Has("word"))
      fault.word = static_cast<std::uint32_t>(reader.Child("word").Unsigned(UINT32_MAX));
  } else if (kind == "vpp_error") {
    fault.kind = FaultKind::VppError;
  } else if (kind == "power_cut_after") {
    fault.kind = FaultKind::PowerCutAfter;
    fault.count = reader.Child("count").Unsigned(UINT64_MAX);
    if (reader.Has("seed")) fault.seed = reader.Child("seed").Unsigned(UINT64_MAX);
  } else if (kind == "flip_bit") {
    fault.kind = FaultKind::FlipBit;
    fault.offset = reader.Child("offset").Unsigned(UINT64_MAX);
    fault.bit = static_cast<std::uint32_t>(reader.Child("bit").Unsigned(7));
  } else if (kind == "restart_fails") {
    fault.kind = FaultKind::RestartFails;
  } else {
    reader.Child("kind").Fail("\"" + kind +
                              "\" is not one of erase_error, program_error, never_ready, "
                              "vpp_error, power_cut_after, flip_bit, restart_fails");
  }
  return fault;
}

DeviceConfig ReadConfig(const json& document) {
  const Reader root(document, "");
  root.RequireObject();
  DeviceConfig config;
  if (root.Has("flash")) {
    const Reader flash = root.Child("flash");
    flash.RequireObject();
    if (flash.Has("regions")) {
      const Reader regions = flash.Child("regions");
      config.regions.clear();
      const std::size_t count = regions.ArraySize();
      if (count == 0 || count > 2) regions.Fail("expected one or two regions");
      for (std::size_t i = 0; i < count; ++i) {
        const Reader region = regions.Element(i);
        region.RequireObject();
        FlashRegion entry;
        entry.count = static_cast<std::uint32_t>(region.Child("count").Unsigned(0x10000));
        entry.size = static_cast<std::uint32_t>(region.Child("size").Unsigned(0x1000000));
        if (entry.count == 0) region.Child("count").Fail("a region has at least one block");
        if (entry.size == 0 || entry.size % 256 != 0)
          region.Child("size").Fail("a block size is a non-zero multiple of 256");
        config.regions.push_back(entry);
      }
    }
    if (flash.Has("size_exponent"))
      config.sizeExponent = static_cast<std::uint32_t>(flash.Child("size_exponent").Unsigned(31));
    if (flash.Has("manufacturer"))
      config.manufacturer =
          static_cast<std::uint16_t>(flash.Child("manufacturer").Unsigned(0xFFFF));
    if (flash.Has("device_code"))
      config.deviceCode = static_cast<std::uint16_t>(flash.Child("device_code").Unsigned(0xFFFF));
    auto exponent = [&](const char* key, std::uint8_t& field) {
      if (flash.Has(key)) field = static_cast<std::uint8_t>(flash.Child(key).Unsigned(0xFF));
    };
    exponent("word_program_typical_exponent", config.wordProgramTypicalExponent);
    exponent("word_program_max_exponent", config.wordProgramMaxExponent);
    exponent("block_erase_typical_exponent", config.blockEraseTypicalExponent);
    exponent("block_erase_max_exponent", config.blockEraseMaxExponent);
    if (flash.Has("lock_variant"))
      config.lockVariant =
          ParseEnum(flash.Child("lock_variant"), ParseLockVariant, "per_block, unlock_all");
    if (flash.Has("lock_time_us"))
      config.lockTimeUs = static_cast<std::uint32_t>(flash.Child("lock_time_us").Unsigned(10000000));
    if (flash.Has("unlock_time_us"))
      config.unlockTimeUs =
          static_cast<std::uint32_t>(flash.Child("unlock_time_us").Unsigned(10000000));
  }
  if (root.Has("timing"))
    config.timing = ParseEnum(root.Child("timing"), ParseTimingMode, "instant, virtual, realistic");
  if (root.Has("virtual_step")) {
    config.virtualStep =
        static_cast<std::uint32_t>(root.Child("virtual_step").Unsigned(UINT32_MAX));
    if (config.virtualStep == 0) throw FieldError{kStoppedCounter};
  }
  if (root.Has("ac_line"))
    config.acLine =
        ParseEnum(root.Child("ac_line"), ParseAcLine, "online, offline, backup, unknown");
  if (root.Has("card_capacity") && !document.at("card_capacity").is_null())
    config.cardCapacity = root.Child("card_capacity").Unsigned(UINT64_MAX);
  if (root.Has("shell"))
    config.shell = ParseEnum(root.Child("shell"), ParseShell, "PocketPC, Smartphone, Other");
  if (root.Has("faults")) {
    const Reader faults = root.Child("faults");
    const std::size_t count = faults.ArraySize();
    for (std::size_t i = 0; i < count; ++i) config.faults.push_back(ReadFault(faults.Element(i)));
  }
  return config;
}

json WriteConfig(const DeviceConfig& config) {
  json flash;
  flash["regions"] = json::array();
  for (const FlashRegion& region : config.regions)
    flash["regions"].push_back({{"count", region.count}, {"size", region.size}});
  if (config.sizeExponent) flash["size_exponent"] = *config.sizeExponent;
  flash["manufacturer"] = config.manufacturer;
  flash["device_code"] = config.deviceCode;
  flash["word_program_typical_exponent"] = config.wordProgramTypicalExponent;
  flash["word_program_max_exponent"] = config.wordProgramMaxExponent;
  flash["block_erase_typical_exponent"] = config.blockEraseTypicalExponent;
  flash["block_erase_max_exponent"] = config.blockEraseMaxExponent;
  flash["lock_variant"] = ToString(config.lockVariant);
  flash["lock_time_us"] = config.lockTimeUs;
  if (config.unlockTimeUs) flash["unlock_time_us"] = *config.unlockTimeUs;
  json document;
  document["flash"] = flash;
  document["timing"] = ToString(config.timing);
  document["virtual_step"] = config.virtualStep;
  document["ac_line"] = ToString(config.acLine);
  document["card_capacity"] = config.cardCapacity ? json(*config.cardCapacity) : json(nullptr);
  document["shell"] = ToString(config.shell);
  document["faults"] = json::array();
  for (const Fault& fault : config.faults) {
    json entry{{"kind", FaultName(fault.kind)}};
    switch (fault.kind) {
      case FaultKind::EraseError:
      case FaultKind::NeverReady:
        entry["block"] = fault.block;
        break;
      case FaultKind::ProgramError:
        entry["block"] = fault.block;
        if (fault.word) entry["word"] = *fault.word;
        break;
      case FaultKind::VppError:
      case FaultKind::RestartFails:
        break;
      case FaultKind::PowerCutAfter:
        entry["count"] = fault.count;
        if (fault.seed) entry["seed"] = *fault.seed;
        break;
      case FaultKind::FlipBit:
        entry["offset"] = fault.offset;
        entry["bit"] = fault.bit;
        break;
    }
    document["faults"].push_back(entry);
  }
  return document;
}

}  // namespace

std::uint64_t DeviceConfig::TotalBytes() const {
  std::uint64_t total = 0;
  for (const FlashRegion& region : regions) total += std::uint64_t{region.count} * region.size;
  return total;
}

std::uint32_t DeviceConfig::UnlockTimeUs() const {
  if (unlockTimeUs) return *unlockTimeUs;
  return lockVariant == LockVariant::UnlockAll ? kDefaultUnlockAllTimeUs
                                               : kDefaultBlockUnlockTimeUs;
}

LockVariant DefaultLockVariant() {
  const char* variable = std::getenv("ORVANTA_LOCK_VARIANT");
  if (variable == nullptr || *variable == '\0') return LockVariant::PerBlock;
  const std::optional<LockVariant> variant = ParseLockVariant(variable);
  if (!variant) {
    std::fprintf(stderr, "orvanta: ORVANTA_LOCK_VARIANT: %s not in {per_block,unlock_all}\n",
                 variable);
    std::exit(2);
  }
  return *variant;
}

std::uint32_t DeviceConfig::TotalBlocks() const {
  std::uint32_t total = 0;
  for (const FlashRegion& region : regions) total += region.count;
  return total;
}

std::string ToString(TimingMode mode) {
  switch (mode) {
    case TimingMode::Instant:
      return "instant";
    case TimingMode::Virtual:
      return "virtual";
    case TimingMode::Realistic:
      return "realistic";
  }
  return "instant";
}

std::string ToString(AcLine line) {
  switch (line) {
    case AcLine::Online:
      return "online";
    case AcLine::Offline:
      return "offline";
    case AcLine::Backup:
      return "backup";
    case AcLine::Unknown:
      return "unknown";
  }
  return "unknown";
}

std::string ToString(Shell shell) {
  switch (shell) {
    case Shell::PocketPC:
      return "PocketPC";
    case Shell::Smartphone:
      return "Smartphone";
    case Shell::Other:
      return "Other";
  }
  return "Other";
}

std::string ToString(LockVariant variant) {
  return variant == LockVariant::UnlockAll ? "unlock_all" : "per_block";
}

std::optional<LockVariant> ParseLockVariant(const std::string& text) {
  if (text == "per_block") return LockVariant::PerBlock;
  if (text == "unlock_all") return LockVariant::UnlockAll;
  return std::nullopt;
}

std::optional<TimingMode> ParseTimingMode(const std::string& text) {
  if (text == "instant") return TimingMode::Instant;
  if (text == "virtual") return TimingMode::Virtual;
  if (text == "realistic") return TimingMode::Realistic;
  return std::nullopt;
}

std::optional<AcLine> ParseAcLine(const std::string& text) {
  if (text == "online") return AcLine::Online;
  if (text == "offline") return AcLine::Offline;
  if (text == "backup") return AcLine::Backup;
  if (text == "unknown") return AcLine::Unknown;
  return std::nullopt;
}

std::optional<Shell> ParseShell(const std::string& text) {
  if (text == "PocketPC") return Shell::PocketPC;
  if (text == "Smartphone") return Shell::Smartphone;
  if (text == "Other") return Shell::Other;
  return std::nullopt;
}

DevicePaths CurrentDevice() {
  const char* variable = std::getenv("ORVANTA_DEVICE");
  return DevicePaths{variable != nullptr && *variable != '\0' ? variable : "./device"};
}

bool SetAcLine(const DevicePaths& device, AcLine line, std::string* error) {
  Loaded<DeviceConfig> config = LoadDeviceConfig(device);
  if (!config) {
    if (error != nullptr) *error = config.error;
    return false;
  }
  config.value->acLine = line;
  return SaveDeviceConfig(device, *config.value, error);
}

Loaded<DeviceConfig> LoadDeviceConfig(const DevicePaths& device) {
  Loaded<DeviceConfig> result;
  const std::string file = device.Config().string();
  std::error_code error;
  if (!std::filesystem::is_directory(device.root, error)) {
    result.error = device.root.string() + ": no such device directory";
    return result;
  }
  std::ifstream stream(device.Config());
  if (!stream) {
    result.error = file + ": cannot be read";
    return result;
  }
  json document;
  try {
    document = json::parse(stream);
  } catch (const json::parse_error& parse) {
    result.error = file + ": not valid JSON (" + parse.what() + ")";
    return result;
  }
  try {
    result.value = ReadConfig(document);
  } catch (const FieldError& field) {
    result.error = file + ": " + field.message;
  } catch (const json::exception& other) {
    result.error = file + ": " + other.what();
  }
  return result;
}

bool SaveDeviceConfig(const DevicePaths& device, const DeviceConfig& config, std::string* error) {
  if (config.virtualStep == 0) {
    if (error) *error = device.Config().string() + ": " + kStoppedCounter;
    return false;
  }
  // Named by process and by call, so that two savers (processes or threads) never share one.
  static std::atomic<std::uint64_t> saves{0};
  const std::filesystem::path temporary =
      device.root / (".device.json." + std::to_string(system::ProcessId()) + "-" +
                     std::to_string(saves.fetch_add(1, std::memory_order_relaxed)));
  std::error_code code;
  {
    std::ofstream stream(temporary, std::ios::trunc);
    stream << WriteConfig(config).dump(2) << '\n';
    stream.flush();
    if (!stream) {
      if (error) *error = temporary.string() + ": cannot be written";
      std::filesystem::remove(temporary, code);
      return false;
    }
  }
  std::filesystem::rename(temporary, device.Config(), code);
  if (code) {
    if (error) *error = device.Config().string() + ": " + code.message();
    std::filesystem::remove(temporary, code);
    return false;
  }
  return true;
}

bool CreateDevice(const DevicePaths& device, const DeviceConfig& config, std::string* error) {
  std::error_code code;
  if (std::filesystem::exists(device.root, code) && !std::filesystem::is_empty(device.root, code)) {
    if (error) *error = device.root.string() + ": exists and is not empty";
    return false;
  }
  if (config.regions.empty() || config.regions.size() > 2) {
    if (error) *error = "flash geometry: expected one or two regions";
    return false;
  }
  std::filesystem::create_directories(device.Card(), code);
  if (code) {
    if (error) *error = device.Card().string() + ": " + code.message();
    return false;
  }
  {
    std::ofstream nor(device.Nor(), std::ios::binary | std::ios::trunc);
    const std::string erased(64 * 1024, '\xFF');
    std::uint64_t remaining = config.TotalBytes();
    while (remaining > 0 && nor) {
      const std::size_t piece = remaining < erased.size() ? remaining : erased.size();
      nor.write(erased.data(), static_cast<std::streamsize>(piece));
      remaining -= piece;
    }
    if (!nor) {
      if (error) *error = device.Nor().string() + ": cannot be written";
      return false;
    }
  }
  std::ofstream(device.Journal(), std::ios::app);
  return SaveDeviceConfig(device, config, error);
}

void AppendJournal(const DevicePaths& device, const std::string& jsonObject) {
  // One write per line, so lines from several processes never mix, flushed to the disk so that
  // a simulated power cut right after still finds the line.
  std::string why;
  // The simulated hardware goes on either way; the tester learns what the journal misses.
  if (!system::AppendDurably(device.Journal(), jsonObject + "\n", &why))
    std::fprintf(stderr, "orvanta: %s: cannot append %s: %s\n",
                 device.Journal().string().c_str(), jsonObject.c_str(), why.c_str());
}

bool JournalRestart(const DevicePaths& device) {
  if (const Loaded<DeviceConfig> config = LoadDeviceConfig(device)) {
    const std::vector<Fault>& faults = config.value->faults;
    if (std::any_of(faults.begin(), faults.end(),
                    [](const Fault& fault) { return fault.kind == FaultKind::RestartFails; })) {
      AppendJournal(device, R"({"event":"restart_refused"})");
      return false;
    }
  }
  AppendJournal(device, R"({"event":"restart"})");
  return true;
}

}  // namespace sim

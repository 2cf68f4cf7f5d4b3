#include "tools/orvanta/device_report.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>

#include "common/byte_order.h"
#include "flash/partition_table.h"
#include "host/core_library/disk_space.h"
#include "settings/device_variant.h"
#include "settings/ecc_code.h"
#include "settings/settings_block.h"
#include "settings/settings_record.h"
#include "settings/settings_store.h"
#include "sim/block_layout.h"
#include "sim/device.h"
#include "tools/orvanta/tool_support.h"

namespace orvanta {
namespace {

using json = nlohmann::json;

// A settings block decoded by the device's own block decoding: `buffer` ends up holding exactly
// what the device's read leaves in a 4096-byte buffer, so the records, part number and variant
// below are the ones the device would see.
struct SettingsReading {
  bool readable = false;
  std::string reason;
  int corrected = 0;  // single-bit errors the ECC code repaired (in the copy, not in flash)
  Bytes buffer = Bytes(kSettingsPayloadCapacity, 0xFF);
};

std::string StopReason(const SettingsBlockDecoding& decoding) {
  const std::string value = std::to_string(decoding.value);
  switch (decoding.stop) {
    case SettingsReadStop::kNone:
      return "";
    case SettingsReadStop::kBlockTooSmall:
      return "the block is smaller than a settings header";
    case SettingsReadStop::kHeaderCode:
      return "header code uncorrectable";
    case SettingsReadStop::kMagic: {
      char text[64];
      std::snprintf(text, sizeof text, "no settings block (header magic 0x%08X)",
                    static_cast<unsigned>(decoding.value));
      return text;
    }
    case SettingsReadStop::kVersion:
      return "format version " + value + ", expected 1";
    case SettingsReadStop::kLength:
      return "payload length " + value +
             (decoding.value > kSettingsPayloadCapacity ? " above 4096" : " does not fit the block");
    case SettingsReadStop::kTrailerMagic:
      return "trailer magic not intact (a write or an erase that did not finish)";
    case SettingsReadStop::kChunkCode:
      return "chunk " + value + " uncorrectable";
  }
  return "";
}

SettingsReading ReadSettingsBlock(std::span<const std::uint8_t> block) {
  SettingsReading reading;
  const SettingsBlockDecoding decoding =
      SettingsBlock::Decode(block.data(), static_cast<DWORD>(block.size()), reading.buffer.data(),
                            static_cast<DWORD>(reading.buffer.size()));
  reading.readable = decoding.Read();
  reading.reason = StopReason(decoding);
  reading.corrected = static_cast<int>(decoding.correctedBits);
  return reading;
}

const char* SettingsName(DWORD type) {
  switch (type) {
    case kSerialSettingsType:
      return "Permanent Settings - Serial";
    case kUuidSettingsType:
      return "Permanent Settings - UUID";
    case kMacSettingsType:
      return "Permanent Settings - MAC";
    case kSemiPermanentSettingsType:
      return "Semi-Permanent Settings";
    default:
      return "?";
  }
}

json RecordsOf(const Bytes& buffer) {
  json records = json::array();
  DWORD position = 0;
  SettingsRecord record;
  while (NextRecord(buffer.data(), static_cast<DWORD>(buffer.size()), &position, &record)) {
    const std::span<const std::uint8_t> data(record.data, record.length);
    json entry{{"id", record.id},
               {"attribute", record.attribute},
               {"length", record.length},
               {"data", ToHex(data)}};
    // Text when the data is UTF-16 text, with or without a terminating zero.
    std::span<const std::uint8_t> textBytes = data;
    if (textBytes.size() >= 2 && textBytes[textBytes.size() - 1] == 0 &&
        textBytes[textBytes.size() - 2] == 0)
      textBytes = textBytes.first(textBytes.size() - 2);
    if (!textBytes.empty()) {
      const std::optional<std::string> text = Utf16LeToUtf8(textBytes);
      bool printable = text.has_value();
      if (printable)
        for (const char character : *text)
          if (static_cast<unsigned char>(character) < 0x20) printable = false;
      if (printable) entry["text"] = *text;
    }
    records.push_back(entry);
  }
  return records;
}

// The card as the updater sees it (the host platform's own figures): with a capacity in
// device.json, that capacity less the bytes of the files on the card; without one, the host
// file system's.
json CardOf(const sim::DevicePaths& paths) {
  const std::optional<host::CardSpace> space = host::CurrentCardSpace(paths);
  if (!space) return {{"capacity", nullptr}, {"free", nullptr}};
  return {{"capacity", space->total}, {"free", space->free}};
}

json FaultsOf(const std::filesystem::path& configFile) {
  std::ifstream input(configFile);
  const json document = json::parse(input, nullptr, false);
  if (document.is_object() && document.contains("faults") && document["faults"].is_array())
    return document["faults"];
  return json::array();
}

json JournalOf(const sim::DevicePaths& paths) {
  json entries = json::array();
  std::ifstream input(paths.Journal());
  std::string line;
  while (std::getline(input, line)) {
    json entry = json::parse(line, nullptr, false);
    if (!entry.is_discarded()) entries.push_back(entry);
  }
  return entries;
}

std::string PartitionLetter(DWORD type) {
  switch (type) {
    case 2:
      return "B";
    case 9:
      return "M";
    case 4:
      return "P";
    case 6:
      return "S";
    case 7:
      return "U";
    case 8:
      return "A";
    default:
      return "?";
  }
}

// One used entry of a partition table.
struct PartitionEntry {
  DWORD type;
  std::string name;
  DWORD firstBlock;
  DWORD lastBlock;
  DWORD blockSize;
};

// The entries of `table` that are not empty, in table order.
std::vector<PartitionEntry> UsedEntries(const BYTE* table) {
  std::vector<PartitionEntry> entries;
  for (std::size_t i = 0; i < kPartitionEntryCount; ++i) {
    const BYTE* entry = table + kPartitionEntriesOffset + i * kPartitionEntrySize;
    const DWORD type = LoadLittleEndian32(entry + kPartitionTypeOffset);
    if (type == static_cast<DWORD>(PartitionType::Empty)) continue;
    const char* name = reinterpret_cast<const char*>(entry + kPartitionNameOffset);
    entries.push_back({type, std::string(name, strnlen(name, kPartitionNameSize)),
                       LoadLittleEndian32(entry + kPartitionFirstBlockOffset),
                       LoadLittleEndian32(entry + kPartitionLastBlockOffset),
                       LoadLittleEndian32(entry + kPartitionBlockSizeOffset)});
  }
  return entries;
}

json GeometryOf(const sim::DeviceConfig& config) {
  json geometry;
  geometry["regions"] = json::array();
  for (const sim::FlashRegion& region : config.regions)
    geometry["regions"].push_back({{"count", region.count}, {"size", region.size}});
  geometry["blocks"] = config.TotalBlocks();
  geometry["bytes"] = config.TotalBytes();
  geometry["size_exponent"] = config.sizeExponent ? json(*config.sizeExponent) : json(nullptr);
  geometry["manufacturer"] = config.manufacturer;
  geometry["device_code"] = config.deviceCode;
  return geometry;
}

// The partition table as the next flash open finds it: the stored one when it is valid,
// otherwise the default layout that the open writes (when the geometry has one).
struct TableReading {
  json report;
  bool valid = false;   // the stored table is valid
  bool usable = false;  // `table` holds a table to find the settings in
  std::array<BYTE, kPartitionTableSize> table{};
  std::vector<PartitionEntry> entries;  // the used entries of `table` when it is usable
};

TableReading ReadPartitionTable(const sim::DeviceConfig& config, const sim::BlockLayout& layout,
                                const Bytes& nor) {
  TableReading reading;
  reading.report = {{"valid", false}, {"block", nullptr}, {"entries", json::array()}};
  // The partition table stands at the start of the last block.
  const std::uint32_t blockCount = layout.Count();
  if (blockCount > 0 && layout.Size(blockCount - 1) >= kPartitionTableSize) {
    std::memcpy(reading.table.data(), nor.data() + layout.Start(blockCount - 1),
                reading.table.size());
    reading.report["block"] = blockCount - 1;
    reading.valid = PartitionTable::IsValid(reading.table.data()) != 0;
    reading.report["valid"] = reading.valid;
  }
  if (reading.valid) {
    reading.usable = true;
    reading.entries = UsedEntries(reading.table.data());
    for (const PartitionEntry& entry : reading.entries)
      reading.report["entries"].push_back({{"type", entry.type},
                                           {"name", entry.name},
                                           {"first_block", entry.firstBlock},
                                           {"last_block", entry.lastBlock},
                                           {"block_size", entry.blockSize}});
  } else if (blockCount >= 2) {
    // The next flash open replaces an invalid table by the default layout; the settings are
    // read where that layout puts them, as the device would.
    DWORD sizes[2] = {0, 0};
    DWORD counts[2] = {0, 0};
    for (std::size_t i = 0; i < config.regions.size() && i < 2; ++i) {
      sizes[i] = config.regions[i].size;
      counts[i] = config.regions[i].count;
    }
    reading.usable = PartitionTable::BuildDefault(reading.table.data(), sizes, counts) == 1;
    if (reading.usable) reading.entries = UsedEntries(reading.table.data());
    reading.report["settings_from"] =
        reading.usable ? "the default layout, which the next flash open writes"
                       : "none: the default layout cannot be built for this geometry";
  }
  return reading;
}

// Each settings partition's block as the device reads it. `semiPermanent` receives the
// Semi-Permanent Settings payload when its block can be trusted (it stays erased otherwise).
json SettingsOf(const TableReading& table, const sim::BlockLayout& layout, const Bytes& nor,
                Bytes* semiPermanent) {
  json settings = json::array();
  for (const DWORD type : kSettingsPartitionTypes) {
    json entry{{"type", type}, {"name", SettingsName(type)}};
    const BYTE* stored = table.table.data();
    const INT first = table.usable ? PartitionTable::FirstBlockOfType(type, stored) : -1;
    const INT last = table.usable ? PartitionTable::LastBlockOfType(type, stored) : -1;
    if (first < 0 || last < 0 || static_cast<std::uint32_t>(first) >= layout.Count()) {
      entry["block"] = nullptr;
      entry["readable"] = false;
      entry["reason"] = table.usable ? "no partition of this type" : "no partition table";
      entry["records"] = json::array();
      settings.push_back(entry);
      continue;
    }
    const auto block = static_cast<std::uint32_t>(first);
    const SettingsReading reading = ReadSettingsBlock(
        std::span<const std::uint8_t>(nor.data() + layout.Start(block), layout.Size(block)));
    entry["block"] = block;
    entry["readable"] = reading.readable;
    entry["reason"] = reading.readable ? json(nullptr) : json(reading.reason);
    entry["corrected_bits"] = reading.corrected;
    entry["records"] = RecordsOf(reading.buffer);
    // The device takes its part number and update request only from a block that reads.
    if (type == kSemiPermanentSettingsType && reading.readable) *semiPermanent = reading.buffer;
    settings.push_back(entry);
  }
  return settings;
}

// The part number as the store reads it: the record as text (or hex), null when missing.
// `variant` receives the variant of the part number as the device takes it: the record copied
// as stored into a zeroed 21-character buffer, "Unprogrammed" when it is missing or longer than
// 40 bytes.
json PartNumberOf(const Bytes& semiPermanent, DeviceVariant* variant) {
  json partNumber = nullptr;
  std::array<WCHAR, kPartNumberCharacters + 1> partNumberText{};
  Bytes data(kSettingsPayloadCapacity);
  DWORD capacity = static_cast<DWORD>(data.size());
  if (FindRecord(RecordId::PartNumber, semiPermanent.data(),
                 static_cast<DWORD>(semiPermanent.size()), data.data(), &capacity, nullptr)) {
    data.resize(capacity);
    std::span<const std::uint8_t> textBytes(data);
    while (textBytes.size() >= 2 && textBytes[textBytes.size() - 1] == 0 &&
           textBytes[textBytes.size() - 2] == 0)
      textBytes = textBytes.first(textBytes.size() - 2);
    const std::optional<std::string> text = Utf16LeToUtf8(textBytes);
    partNumber = text ? json(*text) : json("0x" + ToHex(data));
    if (capacity <= 2 * kPartNumberCharacters)
      std::memcpy(partNumberText.data(), data.data(), capacity);
  }
  if (partNumberText[0] == 0 && partNumber.is_null())
    std::copy(std::begin(kUnprogrammedPartNumber), std::end(kUnprogrammedPartNumber),
              partNumberText.begin());
  *variant = VariantOfPartNumber(partNumberText.data());
  return partNumber;
}

json UpdateRequestOf(const Bytes& semiPermanent) {
  BYTE value[4];
  DWORD capacity = sizeof value;
  if (FindRecord(RecordId::UpdateRequest, semiPermanent.data(),
                 static_cast<DWORD>(semiPermanent.size()), value, &capacity, nullptr) &&
      capacity == sizeof value)
    return LoadLittleEndian32(value);
  return nullptr;
}

// The flash map: the partition of every block and whether it holds data.
std::string FlashMapOf(const TableReading& table, const sim::BlockLayout& layout,
                       const Bytes& nor) {
  std::string map;
  for (std::uint32_t block = 0; block < layout.Count(); ++block) {
    std::string cell = ".";
    if (block == layout.Count() - 1 && table.valid) cell = "T";
    for (const PartitionEntry& entry : table.entries) {
      if (block >= entry.firstBlock && block <= entry.lastBlock) {
        cell = PartitionLetter(entry.type);
        break;
      }
    }
    const auto begin = nor.begin() + static_cast<std::ptrdiff_t>(layout.Start(block));
    const auto end = nor.begin() + static_cast<std::ptrdiff_t>(layout.Start(block + 1));
    const bool erased = std::all_of(begin, end, [](std::uint8_t byte) { return byte == 0xFF; });
    if (erased && cell != ".")
      cell[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(cell[0])));
    if (!erased && cell == ".") cell = "#";
    map += cell;
  }
  return map;
}

}  // namespace

bool DescribeDevice(const std::filesystem::path& directory, json* report, std::string* error) {
  const sim::DevicePaths paths{directory};
  const sim::Loaded<sim::DeviceConfig> loaded = sim::LoadDeviceConfig(paths);
  if (!loaded) {
    *error = loaded.error;
    return false;
  }
  const sim::DeviceConfig& config = *loaded.value;
  Bytes nor;
  if (!ReadWholeFile(paths.Nor(), &nor, error)) return false;
  if (nor.size() != config.TotalBytes()) {
    *error = paths.Nor().string() + ": " + std::to_string(nor.size()) +
             " bytes, the geometry has " + std::to_string(config.TotalBytes());
    return false;
  }
  const sim::BlockLayout layout(config.regions);
  const TableReading table = ReadPartitionTable(config, layout, nor);
  Bytes semiPermanent(kSettingsPayloadCapacity, 0xFF);
  const json settings = SettingsOf(table, layout, nor, &semiPermanent);
  DeviceVariant variant{};
  const json partNumber = PartNumberOf(semiPermanent, &variant);

  json result;
  result["device"] = std::filesystem::absolute(directory).lexically_normal().string();
  result["geometry"] = GeometryOf(config);
  result["partition_table"] = table.report;
  result["settings"] = settings;
  result["part_number"] = partNumber;
  result["variant"] = variant;
  result["update_request"] = UpdateRequestOf(semiPermanent);
  result["ac_line"] = sim::ToString(config.acLine);
  result["card"] = CardOf(paths);
  result["faults"] = FaultsOf(paths.Config());
  result["timing"] = sim::ToString(config.timing);
  result["shell"] = sim::ToString(config.shell);
  result["flash_map"] = FlashMapOf(table, layout, nor);
  result["journal"] = JournalOf(paths);
  *report = result;
  return true;
}

namespace {

void PrintSettings(const json& settings, std::ostream& out) {
  out << "settings\n";
  for (const json& partition : settings) {
    out << "  " << partition["type"].get<unsigned>() << " " << partition["name"].get<std::string>();
    if (partition["block"].is_null()) {
      out << ": " << partition["reason"].get<std::string>() << "\n";
      continue;
    }
    out << ", block " << partition["block"].get<unsigned>() << ": ";
    if (partition["readable"].get<bool>())
      out << "readable";
    else
      out << "not readable (" << partition["reason"].get<std::string>() << ")";
    if (partition.value("corrected_bits", 0) > 0)
      out << ", " << partition["corrected_bits"].get<int>() << " bit(s) corrected";
    out << ", " << partition["records"].size() << " record(s)\n";
    for (const json& record : partition["records"]) {
      std::string data = record["data"].get<std::string>();
      if (data.size() > 64) data = data.substr(0, 64) + "...";
      out << "    id " << record["id"].get<unsigned>() << " attribute "
          << record["attribute"].get<unsigned>() << " length " << record["length"].get<unsigned>()
          << ": " << data;
      if (record.contains("text")) out << " \"" << record["text"].get<std::string>() << "\"";
      out << "\n";
    }
  }
}

void PrintFlashMap(const std::string& map, std::ostream& out) {
  out << "flash map (one cell per block; upper case holds data, lower case is erased)\n";
  constexpr std::size_t kCellsPerRow = 32;
  for (std::size_t start = 0; start < map.size(); start += kCellsPerRow) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "  %4zu  ", start);
    out << prefix << map.substr(start, kCellsPerRow) << "\n";
  }
  out << "  B Bootloader  M Bitmap  P Semi-Permanent  S Serial  U UUID  A MAC  T table  "
         ". none  # data outside partitions\n";
}

}  // namespace

void PrintDeviceReport(const json& report, bool flashMap) {
  std::ostream& out = std::cout;
  out << "device " << report["device"].get<std::string>() << "\n";
  const json& geometry = report["geometry"];
  out << "  flash      ";
  bool firstRegion = true;
  for (const json& region : geometry["regions"]) {
    out << (firstRegion ? "" : " + ") << region["count"].get<std::uint64_t>() << " x "
        << region["size"].get<std::uint64_t>() << " bytes";
    firstRegion = false;
  }
  char identifiers[96];
  std::snprintf(identifiers, sizeof identifiers, ", %llu blocks, %llu bytes, id 0x%04X/0x%04X",
                static_cast<unsigned long long>(geometry["blocks"].get<std::uint64_t>()),
                static_cast<unsigned long long>(geometry["bytes"].get<std::uint64_t>()),
                geometry["manufacturer"].get<unsigned>(), geometry["device_code"].get<unsigned>());
  out << identifiers << "\n";
  out << "  timing     " << report["timing"].get<std::string>() << ", shell "
      << report["shell"].get<std::string>() << "\n";
  out << "  AC line    " << report["ac_line"].get<std::string>() << "\n";
  const json& card = report["card"];
  out << "  card       ";
  if (card["capacity"].is_null())
    out << "unknown\n";
  else
    out << card["capacity"].get<std::uint64_t>() << " bytes, " << card["free"].get<std::uint64_t>()
        << " free\n";

  const json& table = report["partition_table"];
  out << "partition table ";
  if (table["valid"].get<bool>()) {
    out << "valid (block " << table["block"].get<std::uint64_t>() << ")\n";
    for (const json& entry : table["entries"]) {
      char line[160];
      std::snprintf(line, sizeof line, "  %u %-28s blocks %4u..%-4u block size %u\n",
                    entry["type"].get<unsigned>(), entry["name"].get<std::string>().c_str(),
                    entry["first_block"].get<unsigned>(), entry["last_block"].get<unsigned>(),
                    entry["block_size"].get<unsigned>());
      out << line;
    }
  } else {
    out << "not valid; settings read from " << table.value("settings_from", std::string("nowhere"))
        << "\n";
  }

  PrintSettings(report["settings"], out);
  out << "part number "
      << (report["part_number"].is_null() ? std::string("none")
                                          : "\"" + report["part_number"].get<std::string>() + "\"")
      << ", variant " << report["variant"].get<int>() << "\n";
  out << "update request "
      << (report["update_request"].is_null()
              ? std::string("none")
              : std::to_string(report["update_request"].get<std::uint64_t>()) +
                    " (record 37 in Semi-Permanent Settings)")
      << "\n";
  out << "faults pending: "
      << (report["faults"].empty() ? std::string("none") : report["faults"].dump()) << "\n";

  if (flashMap) PrintFlashMap(report["flash_map"].get<std::string>(), out);
}

}  // namespace orvanta

// The swarm's plans: one whole headless update, and everything that goes wrong around it, drawn
// from a seed alone. The same seed always gives the same plan, on every build and host: the
// draws come from SplitMix64 and plain arithmetic, never from a library distribution.
//
// A plan holds the device (geometry, lock variant, timing, AC line), what it stores before the
// run (part number, settings records, an old bootloader), the package (sizes and record sizes of
// the bootloader and the variant's image), the answers given at the prompts, and a list of
// events, each of one kind:
//
//   settings_damage   bits flipped at rest in a settings block (one or two)
//   table_damage      bits flipped at rest in the partition table
//   bootloader_damage bits flipped at rest in the old bootloader
//   package_damage    one card package file missing, empty, a directory, unreadable, truncated,
//                     with a flipped bit, signed with another key, without its magic, without
//                     data records, two bytes long, or grown past 4 GiB
//   ac_line           the AC line set in device.json once the run reaches an operation
//   card_full         the card's free space set just around what the run needs, before it or
//                     once the run reaches an operation
//   restart_refused   the restart request comes back refused
//   power_cut         the power fails after the Nth flash command, tearing the operation it
//                     interrupts in the pattern of its seed
//   kill              the updater killed a number of milliseconds after it reached an operation
//   neighbour         another process on the device, from the hostile neighbour's repertoire
//
// After a power cut or a kill, a second run with power follows.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/device.h"

namespace swarm {

enum class EventKind {
  SettingsDamage,
  TableDamage,
  BootloaderDamage,
  PackageDamage,
  AcLine,
  CardFull,
  RestartRefused,
  PowerCut,
  Kill,
  Neighbour,
};
inline constexpr int kEventKindCount = 10;

// A bit of nor.bin: byte offset and bit number.
struct BitFlip {
  std::uint64_t offset = 0;
  unsigned bit = 0;
};

struct Event {
  EventKind kind = EventKind::SettingsDamage;
  // settings_damage: the partition type and what the flips aim at ("header", "part number",
  // "record", "free space", "trailer"); package_damage: how the file is damaged; neighbour: the
  // action and its arguments.
  std::uint32_t partition = 0;
  std::string target;
  std::vector<BitFlip> flips;
  std::string file;  // package_damage: the card path
  // The operation whose counter text the event waits for (0: the start of the run).
  int operation = 0;
  // power_cut: the command count; kill: milliseconds after the operation; card_full: the
  // bytes by which free space exceeds what the run needs (may be negative); package_damage
  // (truncated, bit flip): the byte offset; neighbour hold: milliseconds.
  std::int64_t amount = 0;
  std::uint64_t seed = 0;                // power_cut: the tear pattern
  sim::AcLine line = sim::AcLine::Online;  // ac_line
  std::vector<std::string> arguments;    // neighbour: ACTION [ARGUMENT...]
};

struct Plan {
  std::uint64_t seed = 0;
  std::string shape;  // "default", "uniform", "smallest" or "mixed"
  sim::DeviceConfig config;
  std::string partNumber;
  int variant = 0;  // the variant that partNumber names, 0 for none
  // Records stored before the run besides the part number: (partition type, id, data).
  struct Record {
    std::uint32_t partition = 0;
    std::uint32_t id = 0;
    std::uint32_t attribute = 0;
    std::vector<std::uint8_t> data;
  };
  std::vector<Record> records;
  std::uint64_t oldBootloaderSize = 0;  // bytes of an earlier image at rest from block 0
  std::uint64_t bootloaderSize = 0;
  std::uint64_t bootloaderRecordSize = 0;
  std::uint64_t variantImageSize = 0;
  std::uint64_t variantRecordSize = 0;
  std::string answers;
  std::vector<Event> events;

  bool Has(EventKind kind) const;
};

// The plan of `seed`.
Plan MakePlan(std::uint64_t seed);

// The plan as one JSON object; every entry of its "events" list names its "kind".
nlohmann::json ToJson(const Plan& plan);
std::string KindName(EventKind kind);

// The 4096-byte payload that the plan stores in settings partition `partition` before the run:
// in the Semi-Permanent one the part number first, then the plan's records of that partition.
std::vector<std::uint8_t> PayloadOf(const Plan& plan, std::uint32_t partition);
// Bytes of a payload that its records take, from offset 0 to the start of free space.
std::uint64_t RecordsLength(const std::vector<std::uint8_t>& payload);

// Where the default partition layout puts things on a geometry: every block's start (one entry
// more than blocks), the first block of each settings partition, and the lowest of them.
struct Layout {
  std::vector<std::uint64_t> blockStarts;
  std::uint32_t semiPermanentBlock = 0;
  std::vector<std::uint32_t> permanentBlocks;  // types 6, 7, 8
  std::uint32_t tableBlock = 0;
  std::uint32_t firstSettingsBlock = 0;
  std::uint64_t BlockStart(std::uint32_t block) const { return blockStarts[block]; }
  std::uint64_t BlockEnd(std::uint32_t block) const { return blockStarts[block + 1]; }
  std::uint32_t BlockOf(std::uint64_t offset) const;
};
// False when the partition table cannot be built for the regions.
bool LayoutOf(const std::vector<sim::FlashRegion>& regions, Layout* layout);

}  // namespace swarm

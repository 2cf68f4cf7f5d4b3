#include "swarm_plan.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "flash/partition_table.h"
#include "settings/device_variant.h"
#include "settings/settings_block.h"
#include "settings/settings_record.h"
#include "settings/settings_store.h"

namespace swarm {
namespace {

// SplitMix64: fully specified, so a seed means the same plan everywhere.
class Draw {
 public:
  explicit Draw(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [low, high].
  std::uint64_t Between(std::uint64_t low, std::uint64_t high) {
    return high <= low ? low : low + Next() % (high - low + 1);
  }
  bool Percent(unsigned percent) { return Next() % 100 < percent; }
  // Spread over every order of magnitude of [low, high] alike: small sizes as often as large.
  std::uint64_t Logarithmic(std::uint64_t low, std::uint64_t high) {
    low = std::max<std::uint64_t>(low, 1);
    if (high <= low) return low;
    int bits = 0;
    while ((high >> bits) > low) ++bits;
    const std::uint64_t top = low << Between(0, static_cast<std::uint64_t>(bits));
    return std::min(high, Between(top == low ? low : top / 2 + 1, top));
  }
  template <typename T, std::size_t N>
  const T& Pick(const std::array<T, N>& choices) {
    return choices[Next() % N];
  }
  // An index drawn by weight.
  template <std::size_t N>
  std::size_t Weighted(const std::array<unsigned, N>& weights) {
    unsigned total = 0;
    for (unsigned weight : weights) total += weight;
    unsigned point = static_cast<unsigned>(Next() % total);
    for (std::size_t i = 0; i < N; ++i) {
      if (point < weights[i]) return i;
      point -= weights[i];
    }
    return N - 1;
  }

 private:
  std::uint64_t state_;
};

constexpr std::uint64_t kFlashWindow = 0x200000;
constexpr std::uint64_t kMebibyte = 0x100000;
// Flash commands of a word program and the extra ones of a block erase, as the chip counts them.
constexpr std::uint64_t kCommandsPerWord = 4;
constexpr std::uint64_t kCommandsPerErase = 30;
constexpr std::uint64_t kSettingsWriteCommands =
    kCommandsPerErase + kCommandsPerWord * (kSettingsBlockOverhead + kSettingsPayloadCapacity) / 2;

bool Supported(const std::vector<sim::FlashRegion>& regions) {
  Layout layout;
  if (!LayoutOf(regions, &layout)) return false;
  if (layout.BlockEnd(static_cast<std::uint32_t>(layout.blockStarts.size() - 2)) > kFlashWindow)
    return false;
  for (std::uint32_t block : layout.permanentBlocks)
    if (layout.BlockEnd(block) - layout.BlockStart(block) <
        kSettingsBlockOverhead + kSettingsPayloadCapacity)
      return false;
  return true;
}

// The shapes every test table knows, and a random two-region part now and then.
void DrawGeometry(Draw& draw, Plan& plan) {
  switch (draw.Weighted(std::array<unsigned, 4>{30, 15, 15, 40})) {
    case 0:
      plan.shape = "default";
      plan.config.regions = {{8, 0x2000}, {62, 0x8000}};
      return;
    case 1:
      plan.shape = "uniform";
      plan.config.regions = {{64, 0x8000}};
      return;
    case 2:
      // The fewest 32 KiB blocks that hold 1 MiB of bootloader, 768 KiB of bitmap and the five
      // reserved blocks at the top.
      plan.shape = "smallest";
      plan.config.regions = {{61, 0x8000}};
      return;
    default:
      break;
  }
  constexpr std::array<std::uint32_t, 4> kSizes = {0x1100, 0x2000, 0x4000, 0x8000};
  for (int attempt = 0; attempt < 50; ++attempt) {
    const std::uint32_t small = draw.Pick(kSizes);
    const std::uint32_t large = std::max(small, draw.Pick(kSizes));
    const std::uint32_t smallCount = static_cast<std::uint32_t>(draw.Between(1, 16));
    const std::uint64_t room = kFlashWindow - std::uint64_t{small} * smallCount;
    const std::uint32_t largeCount =
        static_cast<std::uint32_t>(draw.Between(room / large * 7 / 8, room / large));
    std::vector<sim::FlashRegion> regions = {{smallCount, small}, {largeCount, large}};
    if (draw.Percent(30)) std::swap(regions[0], regions[1]);
    if (Supported(regions)) {
      plan.shape = "mixed";
      plan.config.regions = regions;
      return;
    }
  }
  plan.shape = "default";
  plan.config.regions = {{8, 0x2000}, {62, 0x8000}};
}

void DrawDevice(Draw& draw, Plan& plan) {
  DrawGeometry(draw, plan);
  plan.config.lockVariant = draw.Percent(50) ? sim::LockVariant::PerBlock
                                             : sim::LockVariant::UnlockAll;
  switch (draw.Weighted(std::array<unsigned, 3>{80, 15, 5})) {
    case 0:
      plan.config.timing = sim::TimingMode::Instant;
      break;
    case 1:
      plan.config.timing = sim::TimingMode::Virtual;
      break;
    default:
      // Realistic timing with short erases, so that a run still takes seconds, not minutes.
      plan.config.timing = sim::TimingMode::Realistic;
      plan.config.blockEraseTypicalExponent = static_cast<std::uint8_t>(draw.Between(1, 4));
      plan.config.unlockTimeUs = 5000;
      break;
  }
  constexpr std::array<const char*, 14> kPartNumbers = {
      "52614-01", "52614-11", "52614-21", "52614-02", "52614-12", "52614-22", "52614-03",
      "52614-13", "52614-23", "52614-04", "52614-00", "12345-67", "52614-010",
      "52614-01-52614-01-5261"};  // the last is 22 characters: longer than the store reads
  plan.partNumber = draw.Percent(80) ? kPartNumbers[draw.Between(0, 8)]
                                     : kPartNumbers[draw.Between(9, kPartNumbers.size() - 1)];
  const std::basic_string<WCHAR> text(plan.partNumber.begin(), plan.partNumber.end());
  plan.variant = VariantOfPartNumber(text.c_str());

  // Records that must survive: one in each permanent partition, and in the Semi-Permanent one
  // now and then an old update request (value 0) and a record of another program.
  auto filler = [&](std::size_t length) {
    std::vector<std::uint8_t> data(length);
    for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(draw.Next());
    return data;
  };
  for (std::uint32_t type : {kSerialSettingsType, kUuidSettingsType, kMacSettingsType})
    plan.records.push_back({type, type - 3, 0, filler(draw.Logarithmic(1, 400))});
  if (draw.Percent(30))
    plan.records.push_back({kSemiPermanentSettingsType, RecordId::UpdateRequest,
                            kUpdateRequestAttribute, {0, 0, 0, 0}});
  if (draw.Percent(40))
    plan.records.push_back({kSemiPermanentSettingsType,
                            static_cast<std::uint32_t>(draw.Between(50, 60)),
                            static_cast<std::uint32_t>(draw.Between(0, 3)),
                            filler(draw.Logarithmic(1, 600))});
}

void DrawPackage(Draw& draw, Plan& plan, const Layout& layout) {
  const std::uint64_t capacity = layout.BlockStart(layout.firstSettingsBlock);
  if (draw.Percent(50)) plan.oldBootloaderSize = draw.Logarithmic(1, capacity);
  switch (draw.Weighted(std::array<unsigned, 3>{88, 8, 4})) {
    case 0:
      plan.bootloaderSize = draw.Logarithmic(1, 300'000);
      break;
    case 1:
      plan.bootloaderSize = draw.Logarithmic(300'000, capacity);
      break;
    default:
      // The edge: the last byte below the settings blocks, and one more.
      plan.bootloaderSize = capacity + draw.Between(0, 1) - 1 + draw.Between(0, 1);
      break;
  }
  if (plan.config.timing == sim::TimingMode::Realistic)
    plan.bootloaderSize = std::min<std::uint64_t>(plan.bootloaderSize, 64 * 1024);
  plan.variantImageSize = draw.Logarithmic(1, 300'000);
  // Record sizes from 1 byte to 64 KiB, with at most a few thousand records a file.
  plan.bootloaderRecordSize = draw.Logarithmic((plan.bootloaderSize + 2999) / 3000, 0x10000);
  plan.variantRecordSize = draw.Logarithmic((plan.variantImageSize + 2999) / 3000, 0x10000);
}

std::string DrawAnswers(Draw& draw) {
  constexpr std::array<const char*, 5> kTokens = {"ok", "plug", "unplug", "cancel", "none"};
  const std::array<unsigned, 5> weights = {55, 12, 12, 8, 13};
  std::string answers = draw.Percent(75) ? "ok" : kTokens[draw.Weighted(weights)];
  for (std::uint64_t count = draw.Between(0, 4); count > 0; --count)
    answers += std::string(",") + kTokens[draw.Weighted(weights)];
  return answers;
}

// The text of UTF-16LE bytes, as the store compares it.
int VariantOfBytes(const std::vector<std::uint8_t>& bytes) {
  std::basic_string<WCHAR> text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    text.push_back(static_cast<WCHAR>(bytes[i] | bytes[i + 1] << 8));
  return VariantOfPartNumber(text.c_str());
}

Event DrawSettingsDamage(Draw& draw, const Plan& plan, const Layout& layout) {
  Event event;
  event.kind = EventKind::SettingsDamage;
  const bool semiPermanent = draw.Percent(55);
  event.partition = semiPermanent ? kSemiPermanentSettingsType
                                  : std::array<std::uint32_t, 3>{6, 7, 8}[draw.Between(0, 2)];
  const std::uint32_t block =
      semiPermanent ? layout.semiPermanentBlock : layout.permanentBlocks[event.partition - 6];
  const std::uint64_t start = layout.BlockStart(block);
  const std::vector<std::uint8_t> payload = PayloadOf(plan, event.partition);
  const std::uint64_t used = RecordsLength(payload);
  const unsigned bits = draw.Percent(50) ? 1 : 2;

  // Where the first bit goes: [begin, end) in block offsets, and the unit that a second bit
  // must share to defeat the code (the header, or the 256-byte chunk of the first bit).
  std::uint64_t begin = 0;
  std::uint64_t end = kSettingsHeaderSize;
  const std::uint64_t partNumberBytes = 2 * plan.partNumber.size();
  switch (draw.Weighted(std::array<unsigned, 5>{15, semiPermanent ? 35u : 0u, 25, 10, 15})) {
    case 0:
      event.target = "header";
      break;
    case 1:
      event.target = "part number";
      begin = kSettingsHeaderSize + kRecordHeaderSize;
      end = begin + partNumberBytes;
      break;
    case 2:
      event.target = "records";
      begin = kSettingsHeaderSize;
      end = begin + std::max<std::uint64_t>(used, 1);
      break;
    case 3:
      event.target = "free space";
      begin = kSettingsHeaderSize + used;
      end = kSettingsHeaderSize + kSettingsPayloadCapacity;
      break;
    default:
      event.target = "trailer";
      begin = kSettingsHeaderSize + kSettingsPayloadCapacity;
      end = begin + kSettingsTrailerSize;
      break;
  }
  // Two bits in the part number that make it read as another variant's: the damage that
  // decides wrongly when a block that does not read is trusted. Drawn on purpose, as random
  // flips would find it once in thousands of runs.
  if (event.target == "part number" && bits == 2 && draw.Percent(40)) {
    std::vector<std::pair<unsigned, unsigned>> swaps;
    const std::vector<std::uint8_t> text(payload.begin() + kRecordHeaderSize,
                                         payload.begin() + kRecordHeaderSize + partNumberBytes);
    for (unsigned first = 0; first < 8 * text.size(); ++first)
      for (unsigned second = first + 1; second < 8 * text.size(); ++second) {
        std::vector<std::uint8_t> changed = text;
        changed[first / 8] ^= static_cast<std::uint8_t>(1u << (first % 8));
        changed[second / 8] ^= static_cast<std::uint8_t>(1u << (second % 8));
        const int variant = VariantOfBytes(changed);
        if (variant != 0 && variant != plan.variant) swaps.emplace_back(first, second);
      }
    if (!swaps.empty()) {
      const auto [first, second] = swaps[draw.Between(0, swaps.size() - 1)];
      event.target = "part number to another variant";
      for (unsigned bit : {first, second})
        event.flips.push_back({start + begin + bit / 8, bit % 8});
      return event;
    }
  }
  const std::uint64_t offset = draw.Between(begin, end - 1);
  event.flips.push_back({start + offset, static_cast<unsigned>(draw.Between(0, 7))});
  if (bits == 2) {
    std::uint64_t unitBegin = 0;
    std::uint64_t unitEnd = kSettingsHeaderSize;
    if (offset >= kSettingsHeaderSize + kSettingsPayloadCapacity) {
      // A code slot: three bytes.
      const std::uint64_t slot = (offset - kSettingsHeaderSize - kSettingsPayloadCapacity) / 3;
      unitBegin = kSettingsHeaderSize + kSettingsPayloadCapacity + 3 * std::min<std::uint64_t>(slot, 16);
      unitEnd = std::min<std::uint64_t>(unitBegin + 3, end);
    } else if (offset >= kSettingsHeaderSize) {
      unitBegin = kSettingsHeaderSize + (offset - kSettingsHeaderSize) / 256 * 256;
      unitEnd = unitBegin + 256;
    }
    // Mostly in the same unit (uncorrectable), sometimes anywhere (two correctable errors).
    const std::uint64_t second = draw.Percent(75)
                                     ? draw.Between(unitBegin, unitEnd - 1)
                                     : draw.Between(0, kSettingsBlockOverhead + kSettingsPayloadCapacity - 1);
    unsigned bit = static_cast<unsigned>(draw.Between(0, 7));
    if (start + second == event.flips[0].offset && bit == event.flips[0].bit) bit = (bit + 1) % 8;
    event.flips.push_back({start + second, bit});
  }
  return event;
}

Event DrawFlips(Draw& draw, EventKind kind, std::uint64_t begin, std::uint64_t end) {
  Event event;
  event.kind = kind;
  for (std::uint64_t count = draw.Between(1, 2); count > 0; --count)
    event.flips.push_back({draw.Between(begin, end - 1), static_cast<unsigned>(draw.Between(0, 7))});
  if (event.flips.size() == 2 && event.flips[0].offset == event.flips[1].offset &&
      event.flips[0].bit == event.flips[1].bit)
    event.flips.pop_back();
  return event;
}

Event DrawPackageDamage(Draw& draw, const Plan& plan) {
  Event event;
  event.kind = EventKind::PackageDamage;
  constexpr std::array<const char*, 3> kVariantImages = {"EA1/syaffs.bc", "EA2/syaffs.bc",
                                                         "EB/syaffs.bc"};
  const std::string ownImage = kVariantImages[plan.variant == 0 ? 0 : plan.variant - 1];
  const std::string otherImage = kVariantImages[plan.variant % 3];
  const std::array<std::string, 4> files = {"sdisk.bc", "seboot.nb0", ownImage, otherImage};
  event.file = files[draw.Weighted(std::array<unsigned, 4>{30, 30, 30, 10})];
  constexpr std::array<const char*, 11> kHow = {
      "missing",   "empty",      "directory",  "unreadable", "truncated",       "bit flip",
      "other key", "no magic",   "no payload", "two bytes",  "past 4 GiB"};
  event.target = kHow[draw.Between(0, kHow.size() - (event.file == ownImage || event.file == otherImage ? 2 : 1))];
  const std::uint64_t size = event.file == "seboot.nb0"   ? plan.bootloaderSize
                             : event.file == "sdisk.bc" ? 50'000
                                                        : plan.variantImageSize;
  // A position inside the file (its signed form is somewhat larger than its payload).
  event.amount = static_cast<std::int64_t>(draw.Between(0, size + 32));
  event.seed = draw.Next();
  return event;
}

Event DrawNeighbour(Draw& draw) {
  Event event;
  event.kind = EventKind::Neighbour;
  event.operation = draw.Percent(30) ? 0 : static_cast<int>(draw.Between(1, 6));
  constexpr std::array<const char*, 2> kOrders = {"cfg-nor", "nor-cfg"};
  constexpr std::array<const char*, 2> kWorkingCopies = {"_seboot.nb0", "syaffs.bc"};
  switch (draw.Between(0, 4)) {
    case 0:
      event.arguments = {"hold", draw.Pick(kOrders)};
      event.amount = static_cast<std::int64_t>(draw.Between(10, 400));
      event.arguments.push_back(std::to_string(event.amount));
      break;
    case 1:
      event.arguments = {"cycles", draw.Percent(34) ? "store" : draw.Pick(kOrders)};
      break;
    case 2:
      event.arguments = {"write-mapping", "neighbour.bin", std::to_string(draw.Between(0, 200'000)),
                         std::to_string(draw.Between(1, 50'000))};
      break;
    case 3:
      event.arguments = {"rewrite", draw.Pick(kWorkingCopies), "junk.bin"};
      break;
    default:
      event.arguments = {"truncate", draw.Pick(kWorkingCopies)};
      break;
  }
  return event;
}

}  // namespace

std::uint32_t Layout::BlockOf(std::uint64_t offset) const {
  const auto after = std::upper_bound(blockStarts.begin(), blockStarts.end(), offset);
  return static_cast<std::uint32_t>(after - blockStarts.begin()) - 1;
}

bool LayoutOf(const std::vector<sim::FlashRegion>& regions, Layout* layout) {
  *layout = Layout();
  DWORD sizes[2] = {0, 0};
  DWORD counts[2] = {0, 0};
  for (std::size_t i = 0; i < regions.size() && i < 2; ++i) {
    sizes[i] = regions[i].size;
    counts[i] = regions[i].count;
  }
  BYTE table[kPartitionTableSize];
  if (PartitionTable::BuildDefault(table, sizes, counts) != 1) return false;
  std::uint64_t offset = 0;
  layout->blockStarts.push_back(0);
  for (const sim::FlashRegion& region : regions)
    for (std::uint32_t i = 0; i < region.count; ++i)
      layout->blockStarts.push_back(offset += region.size);
  layout->tableBlock = static_cast<std::uint32_t>(layout->blockStarts.size() - 2);
  layout->semiPermanentBlock = static_cast<std::uint32_t>(
      PartitionTable::FirstBlockOfType(kSemiPermanentSettingsType, table));
  layout->firstSettingsBlock = layout->semiPermanentBlock;
  for (DWORD type : {kSerialSettingsType, kUuidSettingsType, kMacSettingsType}) {
    const auto block = static_cast<std::uint32_t>(PartitionTable::FirstBlockOfType(type, table));
    layout->permanentBlocks.push_back(block);
    layout->firstSettingsBlock = std::min(layout->firstSettingsBlock, block);
  }
  return true;
}

std::vector<std::uint8_t> PayloadOf(const Plan& plan, std::uint32_t partition) {
  std::vector<std::uint8_t> payload;
  auto append = [&](std::uint32_t id, std::uint32_t attribute,
                    const std::vector<std::uint8_t>& data) {
    for (std::uint32_t field : {id, attribute, static_cast<std::uint32_t>(data.size())})
      for (int i = 0; i < 4; ++i) payload.push_back(static_cast<std::uint8_t>(field >> (8 * i)));
    payload.insert(payload.end(), data.begin(), data.end());
  };
  if (partition == kSemiPermanentSettingsType) {
    std::vector<std::uint8_t> text;
    for (char c : plan.partNumber) text.insert(text.end(), {static_cast<std::uint8_t>(c), 0});
    append(RecordId::PartNumber, 0, text);
  }
  for (const Plan::Record& record : plan.records)
    if (record.partition == partition) append(record.id, record.attribute, record.data);
  payload.resize(kSettingsPayloadCapacity, 0xFF);
  return payload;
}

std::uint64_t RecordsLength(const std::vector<std::uint8_t>& payload) {
  DWORD position = 0;
  SettingsRecord record;
  DWORD end = 0;
  while (NextRecord(payload.data(), static_cast<DWORD>(payload.size()), &position, &record))
    end = position;
  return end;
}

bool Plan::Has(EventKind kind) const {
  return std::any_of(events.begin(), events.end(),
                     [kind](const Event& event) { return event.kind == kind; });
}

Plan MakePlan(std::uint64_t seed) {
  Plan plan;
  plan.seed = seed;
  Draw draw(seed);
  DrawDevice(draw, plan);
  Layout layout;
  LayoutOf(plan.config.regions, &layout);
  DrawPackage(draw, plan, layout);
  plan.answers = DrawAnswers(draw);

  // Damage in two blocks now and then, never twice in one: three flipped bits in a chunk lie
  // beyond what its code can detect (they may pass for one corrected bit).
  if (draw.Percent(30)) plan.events.push_back(DrawSettingsDamage(draw, plan, layout));
  if (draw.Percent(4)) {
    const Event second = DrawSettingsDamage(draw, plan, layout);
    if (!plan.Has(EventKind::SettingsDamage) || plan.events.back().partition != second.partition)
      plan.events.push_back(second);
  }
  if (draw.Percent(6))
    plan.events.push_back(DrawFlips(draw, EventKind::TableDamage, layout.BlockStart(layout.tableBlock),
                                    layout.BlockStart(layout.tableBlock) + kPartitionTableSize));
  if (plan.oldBootloaderSize > 0 && draw.Percent(12))
    plan.events.push_back(DrawFlips(draw, EventKind::BootloaderDamage, 0, plan.oldBootloaderSize));
  if (draw.Percent(20)) plan.events.push_back(DrawPackageDamage(draw, plan));
  if (draw.Percent(25)) {
    Event event;
    event.kind = EventKind::AcLine;
    event.operation = draw.Percent(40) ? 0 : static_cast<int>(draw.Between(1, 6));
    event.line = std::array<sim::AcLine, 4>{sim::AcLine::Offline, sim::AcLine::Backup,
                                            sim::AcLine::Unknown, sim::AcLine::Online}[draw.Between(
        0, event.operation == 0 ? 2 : 3)];
    plan.events.push_back(event);
  }
  if (draw.Percent(8)) {
    Event event;
    event.kind = EventKind::CardFull;
    if (draw.Percent(60)) {
      // Around the boundary of the free-space check, or anywhere up to 2 MiB either side.
      event.amount = draw.Percent(60) ? static_cast<std::int64_t>(draw.Between(0, 3)) - 1
                                      : static_cast<std::int64_t>(draw.Between(0, 4 * kMebibyte)) -
                                            static_cast<std::int64_t>(2 * kMebibyte);
    } else {
      // The card fills up while a copy runs: what is left then.
      event.operation = draw.Percent(50) ? 2 : 4;
      event.amount = static_cast<std::int64_t>(draw.Logarithmic(1, 400'000));
    }
    plan.events.push_back(event);
  }
  if (draw.Percent(8)) {
    Event event;
    event.kind = EventKind::RestartRefused;
    plan.events.push_back(event);
  }
  if (draw.Percent(20)) {
    Event event;
    event.kind = EventKind::PowerCut;
    // Where the commands of the run go: two variant reads of three commands, the blocks of the
    // bootloader (an erase, then a program of every word), then the settings block's write.
    const std::uint64_t image = std::min(plan.bootloaderSize, layout.BlockStart(layout.firstSettingsBlock));
    const std::uint64_t programming =
        kCommandsPerWord * ((image + 1) / 2) +
        kCommandsPerErase * (layout.BlockOf(image == 0 ? 0 : image - 1) + 1);
    const std::uint64_t programmed = 6 + programming;
    switch (draw.Weighted(std::array<unsigned, 3>{40, 40, 20})) {
      case 0:
        event.amount = static_cast<std::int64_t>(draw.Between(6, programmed));
        break;
      case 1:
        event.amount = static_cast<std::int64_t>(
            draw.Between(programmed, programmed + kSettingsWriteCommands + 20));
        break;
      default:
        event.amount = static_cast<std::int64_t>(
            draw.Between(0, programmed + kSettingsWriteCommands + 100));
        break;
    }
    event.seed = draw.Next();
    plan.events.push_back(event);
  }
  if (draw.Percent(10)) {
    Event event;
    event.kind = EventKind::Kill;
    event.operation = static_cast<int>(draw.Between(0, 6));
    switch (draw.Weighted(std::array<unsigned, 3>{60, 30, 10})) {
      case 0:
        event.amount = static_cast<std::int64_t>(draw.Between(0, 30));
        break;
      case 1:
        event.amount = static_cast<std::int64_t>(draw.Between(30, 300));
        break;
      default:
        event.amount = static_cast<std::int64_t>(draw.Between(300, 1500));
        break;
    }
    plan.events.push_back(event);
  }
  if (draw.Percent(20)) {
    plan.events.push_back(DrawNeighbour(draw));
    if (draw.Percent(40)) {
      Event second = DrawNeighbour(draw);
      // Two neighbours that each take both mutexes, in opposite orders, deadlock each other
      // whatever the updater does: the second takes them in the first one's order.
      const Event& first = plan.events.back();
      auto ordered = [](const Event& event) {
        return event.arguments.size() >= 2 &&
               (event.arguments[1] == "cfg-nor" || event.arguments[1] == "nor-cfg");
      };
      if (ordered(first) && ordered(second)) second.arguments[1] = first.arguments[1];
      plan.events.push_back(second);
    }
  }
  return plan;
}

std::string KindName(EventKind kind) {
  switch (kind) {
    case EventKind::SettingsDamage:
      return "settings_damage";
    case EventKind::TableDamage:
      return "table_damage";
    case EventKind::BootloaderDamage:
      return "bootloader_damage";
    case EventKind::PackageDamage:
      return "package_damage";
    case EventKind::AcLine:
      return "ac_line";
    case EventKind::CardFull:
      return "card_full";
    case EventKind::RestartRefused:
      return "restart_refused";
    case EventKind::PowerCut:
      return "power_cut";
    case EventKind::Kill:
      return "kill";
    case EventKind::Neighbour:
      return "neighbour";
  }
  return "?";
}

nlohmann::json ToJson(const Plan& plan) {
  using json = nlohmann::json;
  json regions = json::array();
  for (const sim::FlashRegion& region : plan.config.regions)
    regions.push_back({{"count", region.count}, {"size", region.size}});
  json records = json::array();
  for (const Plan::Record& record : plan.records)
    records.push_back({{"partition", record.partition},
                       {"id", record.id},
                       {"attribute", record.attribute},
                       {"length", record.data.size()}});
  json events = json::array();
  for (const Event& event : plan.events) {
    json entry{{"kind", KindName(event.kind)}};
    auto flips = [&] {
      json list = json::array();
      for (const BitFlip& flip : event.flips) list.push_back({{"offset", flip.offset}, {"bit", flip.bit}});
      return list;
    };
    switch (event.kind) {
      case EventKind::SettingsDamage:
        entry["partition"] = event.partition;
        entry["target"] = event.target;
        entry["flips"] = flips();
        break;
      case EventKind::TableDamage:
      case EventKind::BootloaderDamage:
        entry["flips"] = flips();
        break;
      case EventKind::PackageDamage:
        entry["file"] = event.file;
        entry["how"] = event.target;
        entry["at"] = event.amount;
        break;
      case EventKind::AcLine:
        entry["operation"] = event.operation;
        entry["line"] = sim::ToString(event.line);
        break;
      case EventKind::CardFull:
        entry["operation"] = event.operation;
        entry[event.operation == 0 ? "beyond_required" : "free"] = event.amount;
        break;
      case EventKind::RestartRefused:
        break;
      case EventKind::PowerCut:
        entry["after"] = event.amount;
        entry["seed"] = event.seed;
        break;
      case EventKind::Kill:
        entry["operation"] = event.operation;
        entry["after_ms"] = event.amount;
        break;
      case EventKind::Neighbour:
        entry["operation"] = event.operation;
        entry["action"] = event.arguments;
        break;
    }
    events.push_back(entry);
  }
  return {{"seed", plan.seed},
          {"device",
           {{"shape", plan.shape},
            {"regions", regions},
            {"lock_variant", sim::ToString(plan.config.lockVariant)},
            {"timing", sim::ToString(plan.config.timing)},
            {"part_number", plan.partNumber},
            {"variant", plan.variant},
            {"records", records},
            {"old_bootloader", plan.oldBootloaderSize}}},
          {"package",
           {{"bootloader", plan.bootloaderSize},
            {"bootloader_record_size", plan.bootloaderRecordSize},
            {"variant_image", plan.variantImageSize},
            {"variant_record_size", plan.variantRecordSize}}},
          {"answers", plan.answers},
          {"events", events}};
}

}  // namespace swarm

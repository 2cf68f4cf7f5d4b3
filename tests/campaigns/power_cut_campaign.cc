#include "power_cut_campaign.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "../scenarios/scenario_bench.h"
#include "flash/partition_table.h"
#include "settings/settings_block.h"
#include "settings/settings_store.h"
#include "sim/nor_chip.h"
#include "tools/factory/factory_settings.h"

namespace campaign {
namespace {

using scenario::Bytes;

constexpr int kRestartStatus = 0;

struct JournalFacts {
  std::vector<std::uint64_t> commandCounts;  // one per release of the flash window
  bool powerCut = false;
  std::uint64_t cutOffset = 0;  // byte offset in the flash window of the last command
  std::string torn;             // the operation the cut tore: "program", "erase" or empty
};

JournalFacts ReadJournal(const std::filesystem::path& journal) {
  JournalFacts facts;
  std::ifstream in(journal);
  std::string line;
  while (std::getline(in, line)) {
    const auto event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_object()) continue;
    const std::string kind = event.value("event", "");
    if (kind == "flash_commands") facts.commandCounts.push_back(event.value("count", 0ull));
    if (kind == "power_cut") {
      facts.powerCut = true;
      facts.cutOffset = event.value("offset", 0ull);
      facts.torn = event.value("torn", "");
    }
  }
  return facts;
}

// Stores a record in each permanent settings partition, so that "byte-identical" means more
// than an empty block, and returns what failed (empty on success).
std::string FillPermanentSettings() {
  SettingsStore::Open();
  SettingsStore::Lock();
  const bool loaded = SettingsStore::Load();
  const std::string serial = "SN-0042-7781";
  const std::string uuid = "5f0c9a3e-2b41-4c8e-9d77-0a1b2c3d4e5f";
  const Bytes mac = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
  auto bytes = [](const std::string& text) { return Bytes(text.begin(), text.end()); };
  const Bytes serialBytes = bytes(serial);
  const Bytes uuidBytes = bytes(uuid);
  const bool put =
      SettingsStore::PutRecord(3, kSerialSettingsType, serialBytes.data(), serialBytes.size(), 0) &&
      SettingsStore::PutRecord(4, kUuidSettingsType, uuidBytes.data(), uuidBytes.size(), 0) &&
      SettingsStore::PutRecord(5, kMacSettingsType, mac.data(), mac.size(), 1);
  const bool flushed = put && SettingsStore::Flush();
  SettingsStore::Unlock();
  SettingsStore::Close();
  if (!loaded) return "the formatted settings do not load";
  if (!flushed) return "cannot store the permanent settings records";
  return "";
}

constexpr char kPartNumber[] = "52614-01";

// Stores the part number again as a service technician would after the block lost it
// (orvanta device set --part-number … --overwrite-unreadable): the Semi-Permanent block is
// written anew as the factory writes it.
bool RestorePartNumber() {
  const DWORD semiPermanent[] = {kSemiPermanentSettingsType};
  const std::string text = kPartNumber;
  return factory::WriteSettings(semiPermanent, std::u16string(text.begin(), text.end())).empty();
}

class Device {
 public:
  explicit Device(std::size_t bootloaderSize)
      : bench_(kPartNumber), packages_(scenario::StandardPackages(1, bootloaderSize, 3000, 1024)) {}

  std::string Prepare() {
    if (std::string error = FillPermanentSettings(); !error.empty()) return error;
    bench_.Place(packages_);
    before_ = bench_.NorAfter();
    const auto layout = bench_.Layout();
    semiPermanentBlock_ = layout.semiPermanentBlock;
    permanentBlocks_ = layout.otherSettingsBlocks;
    tableBlock_ = layout.lastBlock;
    return "";
  }

  // The device as it was before the update, with `faults` and an empty journal.
  void Restore(const std::vector<sim::Fault>& faults) {
    const auto& paths = bench_.Device().Paths();
    scenario::Bytes nor = before_;
    std::ofstream(paths.Nor(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(nor.data()), static_cast<std::streamsize>(nor.size()));
    std::ofstream(paths.Journal(), std::ios::trunc).flush();
    std::filesystem::remove(bench_.Device().Card("syaffs.bc"));
    std::filesystem::remove(bench_.Device().Card("_seboot.nb0"));
    bench_.UpdateConfig([&](sim::DeviceConfig& config) { config.faults = faults; });
  }

  int Run() { return bench_.Run("ok"); }
  JournalFacts Journal() const { return ReadJournal(bench_.Device().Paths().Journal()); }
  Bytes Nor() const { return bench_.NorAfter(); }

  std::pair<std::uint64_t, std::uint64_t> BlockRange(std::uint32_t block) const {
    const sim::BlockLayout blocks = bench_.Blocks();
    return {blocks.Start(block), blocks.Start(block) + blocks.Size(block)};
  }
  bool SameBlock(const Bytes& a, const Bytes& b, std::uint32_t block) const {
    const auto [begin, end] = BlockRange(block);
    return scenario::SameRange(a, b, begin, end);
  }
  bool TableValid(const Bytes& nor) const {
    return PartitionTable::IsValid(nor.data() + BlockRange(tableBlock_).first) == 1;
  }
  bool PermanentSame(const Bytes& nor) const {
    return std::all_of(permanentBlocks_.begin(), permanentBlocks_.end(),
                       [&](std::uint32_t block) { return SameBlock(nor, before_, block); });
  }
  bool BootloaderInPlace(const Bytes& nor) const {
    const Bytes& image = packages_.bootloader;
    return nor.size() >= image.size() && std::equal(image.begin(), image.end(), nor.begin());
  }
  bool InSemiPermanentBlock(std::uint64_t offset) const {
    const auto [begin, end] = BlockRange(semiPermanentBlock_);
    return offset >= begin && offset < end;
  }
  std::uint32_t SemiPermanentBlock() const { return semiPermanentBlock_; }

  // The payload of `block` of the image when it reads as a settings block, as the settings
  // reader decodes it (correcting what the codes correct); nothing otherwise.
  std::optional<Bytes> PayloadOf(const Bytes& nor, std::uint32_t block) const {
    const auto [begin, end] = BlockRange(block);
    Bytes payload(kSettingsPayloadCapacity);
    const SettingsBlockDecoding decoding =
        SettingsBlock::Decode(nor.data() + begin, static_cast<DWORD>(end - begin), payload.data(),
                              static_cast<DWORD>(payload.size()));
    if (decoding.reading != SettingsBlockReading::kValid) return std::nullopt;
    return payload;
  }
  const Bytes& Before() const { return before_; }

  // Whether the flash holds what a complete update leaves: the bootloader image, the
  // Semi-Permanent block as in `completed`, the other settings and a valid table.
  bool Completed(const Bytes& completed) const {
    const Bytes nor = Nor();
    return BootloaderInPlace(nor) && SameBlock(nor, completed, semiPermanentBlock_) &&
           PermanentSame(nor) && TableValid(nor);
  }

 private:
  scenario::Bench bench_;
  const scenario::PackageSet& packages_;
  Bytes before_;
  std::uint32_t semiPermanentBlock_ = 0;
  std::vector<std::uint32_t> permanentBlocks_;
  std::uint32_t tableBlock_ = 0;
};

std::vector<std::uint64_t> ChooseCutPoints(const CampaignResult& result,
                                           const CampaignOptions& options) {
  std::set<std::uint64_t> chosen;
  const std::uint64_t total = result.totalCommands;
  const std::size_t points = options.points;
  for (std::uint64_t k = options.denseFirst; k <= options.denseLast && k < total; ++k)
    chosen.insert(k);
  if (result.phaseEnds.size() >= 2) {
    const std::uint64_t start = result.phaseEnds.end()[-2];
    const std::uint64_t stride = std::max<std::uint64_t>(options.lastPhaseStride, 1);
    for (std::uint64_t k = start; k < start + options.lastPhaseSpan && k < total; k += stride)
      chosen.insert(k);
  }
  if (points == 0 || points >= total) {
    for (std::uint64_t k = 0; k < total; ++k) chosen.insert(k);
  } else {
    for (std::size_t i = 0; i < points; ++i) chosen.insert(i * total / points);
    // Both sides of every phase boundary, and the last commands of the run.
    for (std::uint64_t end : result.phaseEnds) {
      for (std::uint64_t k : {end - 1, end, end + 1}) {
        if (end > 0 && k < total) chosen.insert(k);
      }
    }
    for (std::uint64_t back = 1; back <= 8 && back <= total; ++back) chosen.insert(total - back);
  }
  return {chosen.begin(), chosen.end()};
}

const char* StateName(SettingsState state) {
  switch (state) {
    case SettingsState::AsBefore:
      return "as before";
    case SettingsState::WithRequest:
      return "with request";
    case SettingsState::Unreadable:
      return "unreadable";
    case SettingsState::Changed:
      return "changed";
  }
  return "?";
}

}  // namespace

bool CutOutcome::Failed() const {
  if (!cutTookEffect || !tableValid || !permanentSettingsSame) return true;
  if (semiPermanent == SettingsState::Changed) return true;
  if (semiPermanent == SettingsState::Unreadable && !cutInsideSettingsWrite) return true;
  // A cut inside the block's own write may lose the part number with it; the update must
  // then complete once the part number is stored again.
  return !secondRunCompleted && !completedAfterRestoringPartNumber;
}

std::size_t CampaignResult::Failures() const {
  return static_cast<std::size_t>(std::count_if(outcomes.begin(), outcomes.end(),
                                                [](const CutOutcome& o) { return o.Failed(); }));
}

CampaignResult RunPowerCutCampaign(const CampaignOptions& options) {
  CampaignResult result;
  setenv("ORVANTA_FLASH_COMMAND_COUNT", "1", 1);
  Device device(options.bootloaderSize);
  if (std::string error = device.Prepare(); !error.empty()) {
    result.error = error;
    return result;
  }

  // The reference: a complete update, its command count and the flash it leaves.
  device.Restore({});
  if (const int status = device.Run(); status != kRestartStatus) {
    result.error = "the reference update ended with status " + std::to_string(status);
    return result;
  }
  const JournalFacts reference = device.Journal();
  const Bytes completed = device.Nor();
  if (reference.commandCounts.empty() || !device.BootloaderInPlace(completed)) {
    result.error = "the reference update left no command count or no bootloader";
    return result;
  }
  result.phaseEnds = reference.commandCounts;
  result.totalCommands = reference.commandCounts.back();
  const std::vector<std::string> knownPhases = {
      "variant read (space check)", "variant read (verification)", "programming", "update request"};
  for (std::size_t i = 0; i < result.phaseEnds.size(); ++i) {
    result.phaseNames.push_back(result.phaseEnds.size() == knownPhases.size()
                                    ? knownPhases[i]
                                    : "phase " + std::to_string(i + 1));
  }

  const std::vector<std::uint64_t> cuts = ChooseCutPoints(result, options);
  result.settingsWriteFirst = result.totalCommands;
  for (std::uint64_t k : cuts) {
    CutOutcome outcome;
    outcome.cutAfter = k;
    outcome.phase = static_cast<std::size_t>(
        std::upper_bound(result.phaseEnds.begin(), result.phaseEnds.end(), k) -
        result.phaseEnds.begin());
    outcome.phase = std::min(outcome.phase, result.phaseEnds.size() - 1);

    device.Restore({sim::Fault::PowerCutAfter(k)});
    const int firstStatus = device.Run();
    const JournalFacts facts = device.Journal();
    outcome.cutTookEffect = firstStatus == sim::kPowerCutExitStatus && facts.powerCut;
    outcome.cutInsideSettingsWrite = outcome.phase + 1 == result.phaseEnds.size() &&
                                     device.InSemiPermanentBlock(facts.cutOffset);
    if (outcome.cutInsideSettingsWrite) {
      result.settingsWriteFirst = std::min(result.settingsWriteFirst, k);
      result.settingsWriteLast = std::max(result.settingsWriteLast, k);
    }

    const Bytes afterCut = device.Nor();
    outcome.tableValid = device.TableValid(afterCut);
    outcome.permanentSettingsSame = device.PermanentSame(afterCut);
    const std::uint32_t semi = device.SemiPermanentBlock();
    outcome.torn = facts.torn;
    // Judged by what the settings reader gets: a block whose bytes differ but that reads back
    // with the payload before or after the update (a torn bit the codes correct) holds that.
    const std::optional<Bytes> payload = device.PayloadOf(afterCut, semi);
    outcome.semiPermanent =
        device.SameBlock(afterCut, device.Before(), semi) ? SettingsState::AsBefore
        : device.SameBlock(afterCut, completed, semi)     ? SettingsState::WithRequest
        : !payload                                        ? SettingsState::Unreadable
        : *payload == device.PayloadOf(device.Before(), semi) ? SettingsState::AsBefore
        : *payload == device.PayloadOf(completed, semi)       ? SettingsState::WithRequest
                                                              : SettingsState::Changed;

    // Power is back (the chip removed the cut from the plan): the second run.
    const int secondStatus = device.Run();
    outcome.secondRunCompleted = secondStatus == kRestartStatus && device.Completed(completed);
    if (!outcome.secondRunCompleted && outcome.semiPermanent == SettingsState::Unreadable &&
        outcome.cutInsideSettingsWrite) {
      outcome.completedAfterRestoringPartNumber =
          RestorePartNumber() && device.Run() == kRestartStatus && device.Completed(completed);
    }
    result.outcomes.push_back(outcome);
    if (options.progress) options.progress(outcome, result.outcomes.size(), cuts.size());
  }
  if (result.settingsWriteFirst > result.settingsWriteLast) result.settingsWriteFirst = 0;
  return result;
}

std::string FormatTable(const CampaignResult& result) {
  std::ostringstream out;
  if (!result.error.empty()) {
    out << "power-cut campaign could not run: " << result.error << "\n";
    return out.str();
  }
  out << "flash commands in a complete update: " << result.totalCommands << " (phase ends:";
  for (auto end : result.phaseEnds) out << " " << end;
  out << "); cut points: " << result.outcomes.size() << "\n";
  struct Row {
    std::size_t phase;
    std::string settings;
    bool second;
    bool third;
    bool failed;
    bool operator<(const Row& o) const {
      return std::tie(phase, settings, second, third, failed) <
             std::tie(o.phase, o.settings, o.second, o.third, o.failed);
    }
  };
  std::map<Row, std::pair<std::size_t, std::pair<std::uint64_t, std::uint64_t>>> rows;
  std::size_t tableInvalid = 0;
  std::size_t permanentChanged = 0;
  for (const CutOutcome& o : result.outcomes) {
    Row row{o.phase, StateName(o.semiPermanent), o.secondRunCompleted,
            o.completedAfterRestoringPartNumber, o.Failed()};
    auto& [count, range] = rows[row];
    if (count == 0) range = {o.cutAfter, o.cutAfter};
    range.first = std::min(range.first, o.cutAfter);
    range.second = std::max(range.second, o.cutAfter);
    ++count;
    tableInvalid += o.tableValid ? 0 : 1;
    permanentChanged += o.permanentSettingsSame ? 0 : 1;
  }
  char line[256];
  std::snprintf(line, sizeof line, "%-30s %-22s %-13s %7s  %-17s %s\n", "phase of the cut",
                "semi-permanent block", "second run", "points", "cut after", "verdict");
  out << line;
  for (const auto& [row, value] : rows) {
    const auto& [count, range] = value;
    const std::string cutRange = std::to_string(range.first) + ".." + std::to_string(range.second);
    // An unreadable block whose payload was programmed far enough still gives the second run
    // its part number (a failed read leaves the payload as read in the store's buffer).
    const char* verdict = row.failed                                   ? "FAIL"
                          : row.settings == "unreadable" && row.second ? "ok (recovered)"
                          : row.third ? "known limit: part number lost, completes once restored"
                                      : "ok";
    std::snprintf(line, sizeof line, "%-30s %-22s %-13s %7zu  %-17s %s\n",
                  result.phaseNames[row.phase].c_str(), row.settings.c_str(),
                  row.second ? "completes" : "fails", count, cutRange.c_str(), verdict);
    out << line;
  }
  std::size_t neither = 0;
  std::map<std::string, std::size_t> torn;
  for (const CutOutcome& o : result.outcomes) {
    neither += o.semiPermanent == SettingsState::Changed ? 1 : 0;
    if (!o.torn.empty()) ++torn[o.torn];
  }
  out << "torn by the cut: " << torn["program"] << " word programs, " << torn["erase"]
      << " block erases; settings block valid with a payload neither before nor after the "
         "cut's update: "
      << neither << "\n";
  std::size_t lost = 0;
  std::size_t stranded = 0;  // the second run could not complete
  std::uint64_t strandedFirst = 0;
  std::uint64_t strandedLast = 0;
  std::size_t restored = 0;  // of those, completed once the part number was stored again
  for (const CutOutcome& o : result.outcomes) {
    lost += o.semiPermanent == SettingsState::Unreadable ? 1 : 0;
    restored += o.completedAfterRestoringPartNumber ? 1 : 0;
    if (!o.secondRunCompleted) {
      if (stranded++ == 0) strandedFirst = o.cutAfter;
      strandedLast = o.cutAfter;
    }
  }
  out << "partition table invalid after a cut: " << tableInvalid
      << "; partitions 6/7/8 changed: " << permanentChanged
      << "; semi-permanent block unreadable (cut inside its own erase or write, at cut points "
      << result.settingsWriteFirst << ".." << result.settingsWriteLast << "): " << lost
      << "; second run could not complete: " << stranded;
  if (stranded != 0) {
    out << " (cut points " << strandedFirst << ".." << strandedLast
        << "; completed after storing the part number again: " << restored << ")";
  }
  out << "; failures: " << result.Failures() << "\n";
  return out.str();
}

}  // namespace campaign

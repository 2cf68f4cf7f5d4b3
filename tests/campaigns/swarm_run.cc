#include "swarm_run.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "../scenarios/neighbour_process.h"
#include "../scenarios/scenario_bench.h"
#include "flash/partition_table.h"
#include "settings/settings_block.h"
#include "settings/settings_record.h"
#include "settings/settings_store.h"
#include "sim/nor_chip.h"

namespace swarm {
namespace {

using scenario::Bytes;

constexpr std::chrono::seconds kRunLimit{120};
constexpr std::uint64_t kMebibyte = 0x100000;
constexpr int kKilledStatus = 128 + 9;
constexpr const char* kVariantImages[] = {"EA1/syaffs.bc", "EA2/syaffs.bc", "EB/syaffs.bc"};
constexpr const char* kPackageFiles[] = {"sdisk.bc", "seboot.nb0", "EA1/syaffs.bc",
                                         "EA2/syaffs.bc", "EB/syaffs.bc"};

const Bytes& SharedPayload(int index) {
  static const Bytes payloads[] = {testsupport::PatternBytes(50'000, 101), testsupport::PatternBytes(5000, 201),
                                   testsupport::PatternBytes(5000, 202), testsupport::PatternBytes(5000, 203)};
  return payloads[index];
}

// A card file as the run found it: missing, a directory, a link, or a file with its size, its
// time of last change and (unless it is a sparse giant past 4 GiB) its bytes.
struct FileState {
  std::filesystem::file_type type = std::filesystem::file_type::not_found;
  std::uint64_t size = 0;
  std::filesystem::file_time_type changed;
  Bytes content;
  bool operator==(const FileState&) const = default;
};

FileState StateOf(const std::filesystem::path& path) {
  constexpr std::uint64_t kLargestCompared = 64 * kMebibyte;
  FileState state;
  state.type = std::filesystem::symlink_status(path).type();
  if (state.type != std::filesystem::file_type::regular) return state;
  state.size = std::filesystem::file_size(path);
  state.changed = std::filesystem::last_write_time(path);
  if (state.size <= kLargestCompared) state.content = testsupport::ReadFile(path);
  return state;
}

struct JournalFacts {
  bool powerCut = false;
  std::uint64_t cutOffset = 0;
  bool restart = false;
  bool restartRefused = false;
};

JournalFacts ReadJournal(const std::filesystem::path& journal, std::size_t skipLines) {
  JournalFacts facts;
  std::ifstream in(journal);
  std::string line;
  for (std::size_t number = 0; std::getline(in, line); ++number) {
    if (number < skipLines) continue;
    const auto event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_object()) continue;
    const std::string kind = event.value("event", "");
    if (kind == "power_cut") {
      facts.powerCut = true;
      facts.cutOffset = event.value("offset", 0ull);
    }
    facts.restart |= kind == "restart";
    facts.restartRefused |= kind == "restart_refused";
  }
  return facts;
}

std::size_t LineCount(const std::filesystem::path& path) {
  std::ifstream in(path);
  return static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(in),
                                             std::istreambuf_iterator<char>(), '\n'));
}

// Replaces a card file by its damaged form.
void DamagePackage(const scenario::Bench& bench, const Event& event) {
  const std::filesystem::path file = bench.Device().Card(event.file);
  Bytes content = bench.Device().ReadCard(event.file);
  const std::uint64_t at = static_cast<std::uint64_t>(event.amount);
  const std::string& how = event.target;
  if (how == "missing" || how == "directory" || how == "unreadable") {
    std::filesystem::remove(file);
    if (how == "directory") std::filesystem::create_directory(file);
    // A link to itself opens for nobody, root included.
    if (how == "unreadable") std::filesystem::create_symlink(file.filename(), file);
    return;
  }
  if (how == "empty") content.clear();
  if (how == "truncated") content.resize(std::min<std::uint64_t>(at, content.size() - 1));
  if (how == "bit flip") content[at % content.size()] ^= static_cast<std::uint8_t>(1u << (event.seed % 8));
  if (how == "other key" || how == "no payload") {
    const int key = event.file == "sdisk.bc" || event.file == "seboot.nb0" ? 0 : 1;
    content = how == "no payload"
                  ? scenario::SignedImage({}, key)
                  : scenario::SignedImageUncached(testsupport::PatternBytes(3000, 7), (key + 2) % 4, 1000);
  }
  if (how == "no magic") content[0] ^= 0x20;
  if (how == "two bytes") content = {'R', '0'};
  bench.Device().WriteCard(event.file, content);
  // Past 4 GiB (sparse): read as its size modulo 2^32 the file would be the package alone.
  if (how == "past 4 GiB")
    std::filesystem::resize_file(file, std::filesystem::file_size(file) + (std::uint64_t{1} << 32));
}

class Run {
 public:
  explicit Run(const Plan& plan) : plan_(plan) { LayoutOf(plan.config.regions, &layout_); }

  RunReport Carry() {
    report_.seed = plan_.seed;
    const auto start = std::chrono::steady_clock::now();
    try {
      Prepare();
      CarryOut();
      Check();
    } catch (const std::exception& error) {
      Break(std::string("the bench could not run the plan: ") + error.what());
    }
    if (report_.outcome.empty()) report_.outcome = "no outcome";  // the bench failed: a break
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    Log("took " + std::to_string(elapsed.count()) + " ms");
    return report_;
  }

 private:
  struct Ending {
    int status = 0;
    bool hung = false;
    bool killed = false;
    JournalFacts journal;
    scenario::Transcript transcript;
  };

  void Log(const std::string& line) { report_.log.push_back(line); }
  void Break(const std::string& what) { report_.breaks.push_back(what); }

  const Event* Find(EventKind kind) const {
    for (const Event& event : plan_.events)
      if (event.kind == kind) return &event;
    return nullptr;
  }

  void Prepare() {
    sim::DeviceConfig config = plan_.config;
    for (const Event& event : plan_.events)
      if (event.kind == EventKind::AcLine && event.operation == 0) config.acLine = event.line;
    bench_ = std::make_unique<scenario::Bench>(plan_.partNumber, config);
    const scenario::FlashLayout benchLayout = bench_->Layout();
    if (benchLayout.semiPermanentBlock != layout_.semiPermanentBlock)
      throw std::runtime_error("the device's partition table is not the default layout");

    // What the device stores before the run, written as the store writes it.
    for (std::uint32_t type : kSettingsPartitionTypes) {
      const std::uint32_t block = type == kSemiPermanentSettingsType
                                      ? layout_.semiPermanentBlock
                                      : layout_.permanentBlocks[type - kSerialSettingsType];
      const std::string error = testsupport::WriteSettingsBlock(block, PayloadOf(plan_, type));
      if (!error.empty()) throw std::runtime_error(error);
    }

    // The packages: the bootloader and the device's own variant image drawn by the plan, the
    // others shared by every run.
    image_ = testsupport::PatternBytes(plan_.bootloaderSize, static_cast<std::uint32_t>(plan_.seed));
    scenario::PackageSet packages;
    packages.bootloader = image_;
    packages.files.emplace_back("sdisk.bc", scenario::SignedImage(SharedPayload(0), 0));
    packages.files.emplace_back(
        "seboot.nb0", scenario::SignedImageUncached(image_, 0, plan_.bootloaderRecordSize));
    for (int variant = 1; variant <= 3; ++variant) {
      packages.files.emplace_back(
          kVariantImages[variant - 1],
          variant == plan_.variant
              ? scenario::SignedImageUncached(
                    testsupport::PatternBytes(plan_.variantImageSize,
                                       static_cast<std::uint32_t>(plan_.seed >> 32) + 1),
                    variant, plan_.variantRecordSize)
              : scenario::SignedImage(SharedPayload(variant), variant));
    }
    bench_->Place(packages);
    bench_->Device().WriteCard("junk.bin", testsupport::PatternBytes(300'000, 11));
    if (const Event* damage = Find(EventKind::PackageDamage)) DamagePackage(*bench_, *damage);

    // Damage at rest and an earlier bootloader; the run is judged against this image.
    bench_->ChangeNorAtRest([&](Bytes& nor) {
      const Bytes old = testsupport::PatternBytes(plan_.oldBootloaderSize, 0x01D);
      std::copy(old.begin(), old.end(), nor.begin());
      for (const Event& event : plan_.events)
        for (const BitFlip& flip : event.flips)
          nor[flip.offset] ^= static_cast<std::uint8_t>(1u << flip.bit);
    });

    const Event* full = Find(EventKind::CardFull);
    if (full != nullptr && full->operation == 0) {
      // Free space around what the check asks for: both copies and 1 MiB.
      std::uint64_t required = kMebibyte + CardSize("seboot.nb0");
      if (plan_.variant != 0) required += CardSize(kVariantImages[plan_.variant - 1]);
      const std::int64_t free = static_cast<std::int64_t>(required) + full->amount;
      bench_->SetFreeBytes(static_cast<std::uint64_t>(std::max<std::int64_t>(free, 0)));
    }
    bench_->UpdateConfig([&](sim::DeviceConfig& device) {
      if (Find(EventKind::RestartRefused)) device.faults.push_back(sim::Fault::RestartFails());
      if (const Event* cut = Find(EventKind::PowerCut))
        device.faults.push_back(
            sim::Fault::PowerCutAfter(static_cast<std::uint64_t>(cut->amount), cut->seed));
    });
    for (const char* file : kPackageFiles) packagesBefore_.push_back(StateOf(bench_->Device().Card(file)));
    before_ = bench_->NorBefore();
  }

  std::uint64_t CardSize(const std::string& file) const {
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(bench_->Device().Card(file), error);
    return error ? 0 : size;
  }

  // One run of the updater with the plan's events, or (second) a run with power and nothing
  // else going wrong.
  Ending RunOnce(bool second) {
    Ending ending;
    const std::filesystem::path journal = bench_->Device().Paths().Journal();
    const std::size_t journalLines = LineCount(journal);
    bench_->Start(second ? "ok" : plan_.answers);
    std::vector<std::unique_ptr<scenario::Neighbour>> neighbours;
    std::vector<const Event*> pending;
    if (!second) {
      for (const Event& event : plan_.events) {
        if (event.kind == EventKind::Neighbour) {
          std::vector<std::string> arguments = {
              event.operation == 0 ? std::string("now")
                                   : "transcript:Operation " + std::to_string(event.operation) +
                                         " of 6:"};
          arguments.insert(arguments.end(), event.arguments.begin(), event.arguments.end());
          neighbours.push_back(std::make_unique<scenario::Neighbour>(*bench_, arguments));
        }
        const bool midRun = event.kind == EventKind::Kill ||
                            ((event.kind == EventKind::AcLine || event.kind == EventKind::CardFull) &&
                             event.operation > 0);
        if (midRun) pending.push_back(&event);
      }
    }
    const auto start = std::chrono::steady_clock::now();
    // When the kill falls due; the epoch while none is due.
    std::chrono::steady_clock::time_point killAt{};
    bool killDue = false;
    while (bench_->Running()) {
      const auto now = std::chrono::steady_clock::now();
      if (now - start > kRunLimit) {
        ending.hung = true;
        bench_->Kill();
        break;
      }
      if (!pending.empty()) {
        const int reached = bench_->ReadTranscript().LastOperation();
        for (auto it = pending.begin(); it != pending.end();) {
          const Event& event = **it;
          if (event.operation > reached) {
            ++it;
            continue;
          }
          if (event.kind == EventKind::Kill) {
            killAt = now + std::chrono::milliseconds(event.amount);
            killDue = true;
          } else if (event.kind == EventKind::AcLine) {
            bench_->UpdateConfig([&](sim::DeviceConfig& device) { device.acLine = event.line; });
            Log("AC line " + sim::ToString(event.line) + " at operation " + std::to_string(reached));
          } else {
            // The copy goes on meanwhile, so free space is set once, not checked.
            constexpr std::uint64_t kHuge = std::uint64_t{1} << 40;
            bench_->UpdateConfig([&](sim::DeviceConfig& device) { device.cardCapacity = kHuge; });
            const std::uint64_t used = kHuge - bench_->FreeBytes();
            bench_->UpdateConfig([&](sim::DeviceConfig& device) {
              device.cardCapacity = used + static_cast<std::uint64_t>(event.amount);
            });
            Log("card left with " + std::to_string(event.amount) + " free bytes at operation " +
                std::to_string(reached));
          }
          it = pending.erase(it);
        }
      }
      if (killDue && now >= killAt) {
        bench_->Kill();
        ending.killed = true;
        killDue = false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ending.status = bench_->Finish();
    for (auto& neighbour : neighbours) {
      std::string said = neighbour->Stop();
      while (!said.empty() && said.back() == '\n') said.pop_back();
      Log("neighbour: " + (said.empty() ? std::string("(no report)") : said));
    }
    std::filesystem::remove(bench_->Device().Paths().root / "neighbour.stop");
    ending.journal = ReadJournal(journal, journalLines);
    ending.transcript = bench_->ReadTranscript();
    std::ostringstream line;
    line << (second ? "second run" : "run") << ": status " << ending.status << ", messages";
    for (int id : ending.transcript.MessageIds()) line << " " << id;
    line << ", last operation " << ending.transcript.LastOperation();
    if (ending.journal.powerCut) line << ", power cut at flash offset " << ending.journal.cutOffset;
    if (ending.killed) line << ", killed";
    if (ending.journal.restart) line << ", restart";
    if (ending.journal.restartRefused) line << ", restart refused";
    if (ending.hung) line << ", HUNG";
    Log(line.str());
    return ending;
  }

  void CarryOut() {
    endings_.push_back(RunOnce(false));
    const Ending& first = endings_.front();
    if (first.journal.powerCut || first.killed) {
      bench_->UpdateConfig([](sim::DeviceConfig& device) { device.acLine = sim::AcLine::Online; });
      endings_.push_back(RunOnce(true));
    }
  }

  // Promise 3, for each run: it ended, and on its own only by a restart or the failure report.
  void CheckEndings() {
    for (std::size_t i = 0; i < endings_.size(); ++i) {
      const Ending& ending = endings_[i];
      const std::string name = i == 0 ? "the run" : "the second run";
      if (ending.hung) {
        Break(name + " hung: still running after " + std::to_string(kRunLimit.count()) + " s");
        continue;
      }
      if (ending.journal.powerCut || ending.killed) continue;
      const std::vector<int> messages = ending.transcript.MessageIds();
      if (ending.status == 0) {
        if (!ending.journal.restart) Break(name + " ended with status 0 but requested no restart");
      } else if (ending.status == 1) {
        if (messages.empty() || messages.back() != 130)
          Break(name + " ended with status 1 without \"Failed to complete upgrade.\" last");
        if (ending.transcript.ExitStatus() != 1)
          Break(name + "'s transcript does not end with exit status 1");
      } else {
        Break(name + " ended with status " + std::to_string(ending.status) +
              (ending.status == sim::kPowerCutExitStatus ? " without a power cut" : ""));
      }
    }
  }

  std::span<const std::uint8_t> BlockOf(const Bytes& nor, std::uint32_t block) const {
    return std::span<const std::uint8_t>(nor).subspan(
        layout_.BlockStart(block), layout_.BlockEnd(block) - layout_.BlockStart(block));
  }

  // Promise 1: each block of the bootloader region unchanged, erased or its piece of the image;
  // the one operation an interruption tore may leave a block between its old contents and
  // erased, or between erased and the image.
  void CheckBootloaderRegion(const Bytes& after, bool interrupted) {
    std::uint32_t between = 0;
    for (std::uint32_t block = 0; block < layout_.firstSettingsBlock; ++block) {
      const auto now = BlockOf(after, block);
      const auto old = BlockOf(before_, block);
      const std::uint64_t start = layout_.BlockStart(block);
      auto image = [&](std::uint64_t i) -> std::uint8_t {
        return start + i < image_.size() ? image_[start + i] : 0xFF;
      };
      bool same = true, erased = true, piece = true, partway = true;
      for (std::size_t i = 0; i < now.size(); ++i) {
        same &= now[i] == old[i];
        erased &= now[i] == 0xFF;
        piece &= now[i] == image(i);
        partway &= (now[i] & old[i]) == old[i] || (now[i] & image(i)) == image(i);
      }
      if (same || erased || piece) continue;
      if (interrupted && partway && ++between == 1) continue;
      Break("bootloader block " + std::to_string(block) +
            " holds bytes that are neither its old contents, erased, nor the verified image");
    }
  }

  // The records of a payload other than the update request, with the bytes after the last
  // record; what the updater must never change.
  static std::vector<std::tuple<DWORD, DWORD, Bytes>> OtherRecords(const Bytes& payload) {
    std::vector<std::tuple<DWORD, DWORD, Bytes>> records;
    DWORD position = 0;
    SettingsRecord record;
    while (NextRecord(payload.data(), static_cast<DWORD>(payload.size()), &position, &record))
      if (record.id != RecordId::UpdateRequest)
        records.emplace_back(record.id, record.attribute,
                             Bytes(record.data, record.data + record.length));
    return records;
  }

  struct Decoded {
    SettingsBlockReading reading = SettingsBlockReading::kUnreadable;
    Bytes payload = Bytes(kSettingsPayloadCapacity, 0xFF);
  };
  Decoded DecodeBlock(const Bytes& nor, std::uint32_t block) const {
    Decoded decoded;
    const auto bytes = BlockOf(nor, block);
    decoded.reading = SettingsBlock::Decode(bytes.data(), static_cast<DWORD>(bytes.size()),
                                            decoded.payload.data(), kSettingsPayloadCapacity)
                          .reading;
    return decoded;
  }

  static bool UpdateRequested(const Bytes& payload) {
    BYTE value[4];
    DWORD capacity = sizeof value;
    DWORD attribute = 0;
    return FindRecord(RecordId::UpdateRequest, payload.data(), kSettingsPayloadCapacity, value,
                      &capacity, &attribute) &&
           capacity == 4 && attribute == kUpdateRequestAttribute && value[0] == 1 &&
           value[1] == 0 && value[2] == 0 && value[3] == 0;
  }

  void Check() {
    CheckEndings();
    const Bytes after = bench_->NorAfter();
    const Ending& last = endings_.back();
    const bool interrupted = endings_.front().journal.powerCut || endings_.front().killed;
    CheckBootloaderRegion(after, interrupted);

    for (std::uint32_t block : layout_.permanentBlocks)
      if (!std::ranges::equal(BlockOf(after, block), BlockOf(before_, block)))
        Break("settings block " + std::to_string(block) + " (a permanent partition) changed");
    const auto tableBefore = BlockOf(before_, layout_.tableBlock);
    const auto tableAfter = BlockOf(after, layout_.tableBlock);
    if (!std::ranges::equal(tableAfter, tableBefore)) {
      // A table that did not read is replaced by the default one, in an erased block.
      Bytes expected(tableAfter.size(), 0xFF);
      DWORD sizes[2] = {0, 0}, counts[2] = {0, 0};
      for (std::size_t i = 0; i < plan_.config.regions.size(); ++i) {
        sizes[i] = plan_.config.regions[i].size;
        counts[i] = plan_.config.regions[i].count;
      }
      const bool built = PartitionTable::BuildDefault(expected.data(), sizes, counts) == 1;
      if (!built || PartitionTable::IsValid(tableBefore.data()) == 1 ||
          !std::ranges::equal(tableAfter, expected))
        Break("the partition table block changed");
    }

    // The Semi-Permanent block: never written back when it did not read; otherwise every
    // record but the update request kept.
    const std::uint32_t semi = layout_.semiPermanentBlock;
    const Decoded was = DecodeBlock(before_, semi);
    const Decoded now = DecodeBlock(after, semi);
    const bool unchanged = std::ranges::equal(BlockOf(after, semi), BlockOf(before_, semi));
    bool lost = false;
    if (was.reading == SettingsBlockReading::kUnreadable) {
      if (!unchanged) Break("the Semi-Permanent block did not read, and was written back");
    } else if (!unchanged && now.reading == SettingsBlockReading::kUnreadable) {
      const bool cutInside = std::any_of(endings_.begin(), endings_.end(), [&](const Ending& e) {
        return e.journal.powerCut && layout_.BlockOf(e.journal.cutOffset) == semi;
      });
      lost = cutInside || endings_.front().killed;
      if (!lost) Break("the Semi-Permanent block no longer reads");
    } else if (!unchanged) {
      if (OtherRecords(now.payload) != OtherRecords(was.payload))
        Break("a record of the Semi-Permanent block other than the update request changed");
      if (!std::all_of(now.payload.begin() + static_cast<long>(RecordsLength(now.payload)),
                       now.payload.end(), [](std::uint8_t byte) { return byte == 0xFF; }))
        Break("the Semi-Permanent block's free space is not erased");
    }

    for (std::size_t i = 0; i < std::size(kPackageFiles); ++i)
      if (!(StateOf(bench_->Device().Card(kPackageFiles[i])) == packagesBefore_[i]))
        Break(std::string("package file ") + kPackageFiles[i] + " changed");

    const bool restarted = std::any_of(endings_.begin(), endings_.end(),
                                       [](const Ending& e) { return e.journal.restart; });
    if (restarted) {
      // Promises 1 and 2 at the restart: the whole image, the request, the right variant.
      if (image_.size() > layout_.BlockStart(layout_.firstSettingsBlock) ||
          !std::equal(image_.begin(), image_.end(), after.begin()))
        Break("restart without the whole bootloader image in flash");
      if (now.reading != SettingsBlockReading::kValid || !UpdateRequested(now.payload))
        Break("restart without record 37 = 1 readable in the Semi-Permanent block");
      if (was.reading == SettingsBlockReading::kUnreadable)
        Break("restart from a Semi-Permanent block that did not read");
      if (plan_.variant == 0) Break("restart on a device whose part number names no variant");
      // The copy the new bootloader works from is another variant's image. (A neighbour may
      // rewrite the copy once the updater has verified and closed it; that is not the updater
      // choosing a variant.)
      const Bytes copy = StateOf(bench_->Device().Card("syaffs.bc")).content;
      for (int variant = 1; variant <= 3; ++variant)
        if (variant != plan_.variant && copy == packagesBefore_[1 + variant].content)
          Break("the image of variant " + std::to_string(variant) + " was installed on a variant-" +
                std::to_string(plan_.variant) + " device");
    } else if (last.status == 1 && !last.hung && bench_->TryFlashLock() != WAIT_OBJECT_0) {
      Break("NOR_SYN_OBJ is still held after the run ended");
    }

    report_.outcome = Outcome(restarted, lost);
  }

  std::string Outcome(bool restarted, bool lost) const {
    if (restarted) return "restart";
    if (lost) return "known limit";
    const Ending& last = endings_.back();
    const std::vector<int> messages = last.transcript.MessageIds();
    auto shown = [&](int id) { return std::find(messages.begin(), messages.end(), id) != messages.end(); };
    if (last.journal.restartRefused) return "restart refused";
    if (shown(134)) return "bad files (134)";
    if (shown(133)) return "no room (133)";
    if (messages.size() >= 2 && messages[messages.size() - 2] == 129) return "no power (129)";
    if (last.transcript.LastOperation() == 0 && messages == std::vector<int>{132, 130})
      return "cancelled";
    return "other failure (130)";
  }

  const Plan& plan_;
  Layout layout_;
  std::unique_ptr<scenario::Bench> bench_;
  Bytes image_;
  Bytes before_;
  std::vector<FileState> packagesBefore_;
  std::vector<Ending> endings_;
  RunReport report_;
};

}  // namespace

nlohmann::json RunReport::ToJson() const {
  return {{"seed", seed}, {"outcome", outcome}, {"breaks", breaks}, {"log", log}};
}

RunReport RunReport::FromJson(const nlohmann::json& json) {
  RunReport report;
  report.seed = json.value("seed", 0ull);
  report.outcome = json.value("outcome", "");
  report.breaks = json.value("breaks", std::vector<std::string>{});
  report.log = json.value("log", std::vector<std::string>{});
  return report;
}

void PreparePackages() {
  (void)scenario::SignedImage(SharedPayload(0), 0);
  for (int variant = 1; variant <= 3; ++variant)
    (void)scenario::SignedImage(SharedPayload(variant), variant);
  (void)scenario::SignedImage({}, 0);
  (void)scenario::SignedImage({}, 1);
}

RunReport RunPlan(const Plan& plan) {
  return Run(plan).Carry();
}

std::vector<std::string> FaultClasses(const Plan& plan) {
  std::vector<std::string> classes;
  auto add = [&](const std::string& name) {
    if (std::find(classes.begin(), classes.end(), name) == classes.end()) classes.push_back(name);
  };
  // Row names by event kind, in EventKind's order; settings damage counts its bits.
  constexpr const char* kNames[kEventKindCount] = {
      nullptr,           "partition table damage", "bootloader damage", "damaged package",
      "AC line changes", "card full",              "restart refused",   "power cut",
      "killed",          "neighbour"};
  for (const Event& event : plan.events) {
    if (event.kind == EventKind::SettingsDamage)
      add(event.flips.size() == 1 ? "settings damage, 1 bit" : "settings damage, 2 bits");
    else
      add(kNames[static_cast<int>(event.kind)]);
  }
  if (plan.answers.find("plug") != std::string::npos) add("AC line changes");
  if (classes.empty()) add("no fault");
  return classes;
}

std::vector<std::string> DeviceClasses(const Plan& plan) {
  std::vector<std::string> classes = {plan.shape + " geometry"};
  if (plan.config.lockVariant == sim::LockVariant::UnlockAll) classes.push_back("unlock_all lock");
  if (plan.config.timing != sim::TimingMode::Instant)
    classes.push_back(sim::ToString(plan.config.timing) + " timing");
  if (plan.variant == 0) classes.push_back("part number of no variant");
  if (plan.bootloaderRecordSize < 64 || plan.variantRecordSize < 64)
    classes.push_back("records under 64 bytes");
  return classes;
}

}  // namespace swarm

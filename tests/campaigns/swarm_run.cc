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
#include "../scenarios/promise_judge.h"
#include "../scenarios/scenario_bench.h"
#include "settings/settings_store.h"

namespace swarm {
namespace {

using scenario::Bytes;

constexpr std::chrono::seconds kRunLimit{120};
constexpr std::uint64_t kMebibyte = 0x100000;
constexpr const char* kVariantImages[] = {"EA1/syaffs.bc", "EA2/syaffs.bc", "EB/syaffs.bc"};

const Bytes& SharedPayload(int index) {
  static const Bytes payloads[] = {testsupport::PatternBytes(50'000, 101), testsupport::PatternBytes(5000, 201),
                                   testsupport::PatternBytes(5000, 202), testsupport::PatternBytes(5000, 203)};
  return payloads[index];
}

// Whether something of the plan that stays for a second run may stop a run short of a restart:
// damage to the Semi-Permanent Settings block (one bit in its trailer magic is enough) or to
// the partition table, a package file the run reads that is damaged, a part number of no
// variant, a bootloader that reaches the settings blocks, a card (nearly) full, a refused
// restart. Damage to the permanent partitions or to the old bootloader, and another variant's
// damaged image, cannot.
bool PersistentFaultsMayStop(const Plan& plan, const Layout& layout) {
  if (plan.variant == 0 || plan.bootloaderSize > layout.BlockStart(layout.firstSettingsBlock))
    return true;
  const std::string ownImage = plan.variant == 0 ? "" : kVariantImages[plan.variant - 1];
  for (const Event& event : plan.events) {
    switch (event.kind) {
      case EventKind::SettingsDamage:
        if (event.partition == kSemiPermanentSettingsType) return true;
        break;
      case EventKind::PackageDamage:
        if (event.file == "sdisk.bc" || event.file == "seboot.nb0" || event.file == ownImage)
          return true;
        break;
      case EventKind::TableDamage:
      case EventKind::CardFull:
      case EventKind::RestartRefused:
        return true;
      default:
        break;
    }
  }
  return false;
}

// Whether what only the first run meets may stop it: a cancelled confirmation (the first answer
// that is not plug or unplug; Cancel when the list runs out first), a pulled plug, an AC line
// off external power, a neighbour that takes the mapping name or changes a working copy, a
// power cut or a kill. Holding the mutexes or running store cycles only delays a run.
bool FirstRunMayStop(const Plan& plan) {
  if (plan.answers.find("unplug") != std::string::npos) return true;
  std::string confirmation = "cancel";
  for (std::size_t start = 0; start <= plan.answers.size();) {
    const std::size_t comma = std::min(plan.answers.find(',', start), plan.answers.size());
    const std::string token = plan.answers.substr(start, comma - start);
    if (token != "plug") {
      confirmation = token;
      break;
    }
    start = comma + 1;
  }
  if (confirmation == "cancel") return true;
  for (const Event& event : plan.events) {
    if (event.kind == EventKind::PowerCut || event.kind == EventKind::Kill) return true;
    if (event.kind == EventKind::AcLine && event.line != sim::AcLine::Online) return true;
    if (event.kind == EventKind::Neighbour && event.arguments[0] != "hold" &&
        event.arguments[0] != "cycles")
      return true;
  }
  return false;
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
    judge_ = std::make_unique<scenario::PromiseJudge>(*bench_, plan_.variant);
  }

  std::uint64_t CardSize(const std::string& file) const {
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(bench_->Device().Card(file), error);
    return error ? 0 : size;
  }

  // One run of the updater with the plan's events, or (second) a run with power and nothing
  // else going wrong.
  scenario::RunEnd RunOnce(bool second) {
    scenario::RunEnd ending;
    bench_->Start(second ? "ok" : plan_.answers);
    std::vector<std::unique_ptr<scenario::Neighbour>> neighbours;
    std::vector<std::vector<std::string>> neighbourActions;  // ACTION FILE ...
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
          neighbourActions.push_back(event.arguments);
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
    // A kill that came as the updater ended on its own did not interrupt it.
    ending.killed = ending.killed && ending.status == 128 + 9;
    for (std::size_t i = 0; i < neighbours.size(); ++i) {
      std::string said = neighbours[i]->Stop();
      while (!said.empty() && said.back() == '\n') said.pop_back();
      Log("neighbour: " + (said.empty() ? std::string("(no report)") : said));
      // What a neighbour rewrote after the updater verified and closed it is beyond its promise.
      const std::vector<std::string>& action = neighbourActions[i];
      if (said.starts_with(action[0] + " done")) ending.rewrittenByOthers.push_back(action[1]);
    }
    std::filesystem::remove(bench_->Device().Paths().root / "neighbour.stop");
    return ending;
  }

  // Judges `ending`, logs what happened and keeps what broke.
  scenario::Verdict Judge(const scenario::RunEnd& ending, bool second,
                          scenario::Liveness liveness) {
    const scenario::Verdict verdict = judge_->Judge(ending, liveness);
    const scenario::Transcript transcript = bench_->ReadTranscript();
    std::ostringstream line;
    line << (second ? "second run" : "run") << ": status " << ending.status << ", messages";
    for (int id : transcript.MessageIds()) line << " " << id;
    line << ", last operation " << transcript.LastOperation() << ", " << verdict.outcome;
    if (verdict.outcome == "power cut") line << " at flash offset " << verdict.cutOffset;
    if (verdict.knownLimit) line << ", Semi-Permanent block lost (known limit)";
    if (verdict.rewrittenByOthers) line << ", a card file rewritten by a neighbour";
    if (liveness == scenario::Liveness::MustRestart) line << ", nothing could stop it";
    Log(line.str());
    for (const std::string& what : verdict.breaks) Break((second ? "second run: " : "") + what);
    return verdict;
  }

  // The plan's run, and after a power cut or a kill a second run with power; every promise is
  // judged after each, and a run that nothing in the plan could stop must restart.
  void CarryOut() {
    using enum scenario::Liveness;
    const bool persistent = PersistentFaultsMayStop(plan_, layout_);
    const scenario::Verdict first =
        Judge(RunOnce(false), false, persistent || FirstRunMayStop(plan_) ? MayStop : MustRestart);
    std::vector<scenario::Verdict> verdicts = {first};
    if (first.interrupted) {
      // With power: the AC line online, and a cut that a kill came before no longer pending.
      bench_->UpdateConfig([](sim::DeviceConfig& device) {
        device.acLine = sim::AcLine::Online;
        std::erase_if(device.faults, [](const sim::Fault& fault) {
          return fault.kind == sim::FaultKind::PowerCutAfter;
        });
      });
      verdicts.push_back(
          Judge(RunOnce(true), true, persistent || first.knownLimit ? MayStop : MustRestart));
    }
    const scenario::Verdict& last = verdicts.back();
    const bool restarted = std::any_of(verdicts.begin(), verdicts.end(),
                                       [](const scenario::Verdict& v) { return v.restarted; });
    const bool rewritten =
        std::any_of(verdicts.begin(), verdicts.end(),
                    [](const scenario::Verdict& v) { return v.rewrittenByOthers; });
    report_.outcome = rewritten          ? "rewritten by a neighbour"
                      : restarted        ? "restart"
                      : first.knownLimit ? "known limit"
                                         : last.outcome;
  }

  const Plan& plan_;
  Layout layout_;
  std::unique_ptr<scenario::Bench> bench_;
  std::unique_ptr<scenario::PromiseJudge> judge_;
  Bytes image_;
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

// Whole headless runs of OrvantaUpdate on a fresh temporary device, and what they leave behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/types.h"
#include "testsupport/factory_settings.h"
#include "testsupport/temporary_device.h"

namespace scenario {

using testsupport::Bytes;
class Neighbour;

// The updater the runs start: the host's OrvantaUpdate of this build, or the program named by
// ORVANTA_UPDATE_PROGRAM. ORVANTA_UPDATE_PLATFORM=windows says that program is the Windows one
// under Wine (scripts/windows-updater): the processes that share its device are then Windows
// programs too, started through the same launcher.
bool UpdaterIsWindows();
std::string UpdaterProgram();
// Why a run cannot be made against the Windows program, or nothing when it can.
std::optional<std::string> HostOnlyReason(const std::string& answers);
// Wine's CopyFileExW calls no progress routine: a card copy there leaves the bar where the
// copy reset it.
bool CopiesShowProgress();

// The signed package files of one run, by card path, and the raw payloads they carry.
struct PackageSet {
  Bytes bootloader;                                  // the raw bootloader image inside seboot.nb0
  std::vector<std::pair<std::string, Bytes>> files;  // card path, signed file
  const Bytes* File(const std::string& path) const;
};

// A signed image of `payload` with development key `keyIndex` (keys/dev/keyN.pem), in data
// records of `recordSize` bytes. Signed images are cached for the life of the test program.
const Bytes& SignedImage(const Bytes& payload, int keyIndex, std::size_t recordSize = 4096);
// The same, signed anew on every call (for images too large to keep twice).
Bytes SignedImageUncached(const Bytes& payload, int keyIndex, std::size_t recordSize);

// A package set (made once per test program and kept) for device variant `variant`: sdisk.bc (key
// 0), all three variant images (each with its own key; the variant's own carries `variantImageSize`
// bytes), seboot.nb0 (key 0) with a bootloader image of `bootloaderSize` bytes.
const PackageSet& StandardPackages(int variant, std::size_t bootloaderSize = 150'000,
                                   std::size_t variantImageSize = 200'000,
                                   std::size_t variantRecordSize = 4096);

struct Transcript {
  std::vector<nlohmann::json> events;

  std::vector<int> MessageIds() const;
  // The counter texts in order ("Operation 1 of 6:" ...).
  std::vector<std::string> Counters() const;
  // The highest operation shown, 0 when the counter label stayed empty.
  int LastOperation() const;
  // The progress positions shown while operation `operation` was the last counter value.
  std::vector<int> ProgressDuring(int operation) const;
  bool Restarted() const;
  std::optional<int> ExitStatus() const;
};

// What the simulated hardware journaled (journal.jsonl), from some line on.
struct JournalFacts {
  bool restart = false;
  bool restartRefused = false;
  bool powerCut = false;
  std::uint64_t cutOffset = 0;  // a power cut: the flash offset of the command it interrupted
  std::string torn;             // a power cut: what it tore ("program", "erase" or empty)
  // One count a release of the flash window (with ORVANTA_FLASH_COMMAND_COUNT set).
  std::vector<std::uint64_t> commandCounts;
};

// The settings partitions' first blocks and their contents as seen in a nor.bin image.
struct FlashLayout {
  std::uint32_t semiPermanentBlock = 0;
  std::vector<std::uint32_t> otherSettingsBlocks;
  std::uint32_t lastBlock = 0;
};

// One simulated device with formatted settings, a package set on its card and the flash as it
// was before the run.
class Bench {
 public:
  explicit Bench(const std::string& partNumber, sim::DeviceConfig config = sim::DeviceConfig());
  ~Bench();
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  const testsupport::TemporaryDevice& Device() const { return device_; }
  const sim::DeviceConfig& Config() const { return config_; }
  void UpdateConfig(const std::function<void(sim::DeviceConfig&)>& change);
  void Place(const PackageSet& packages);
  // Free bytes on the card become exactly `free` (card_capacity set from what is used now).
  void SetFreeBytes(std::uint64_t free);
  std::uint64_t FreeBytes() const;
  // The Windows program's card of a given capacity is a tmpfs of that size
  // (scripts/windows-updater), whose free space is whole pages: free pages become exactly
  // `pages` (card_capacity set from the pages the card's files take now).
  static constexpr std::uint64_t kCardPage = 4096;
  void SetFreePages(std::uint64_t pages);

  // Starts the updater headless with `answers`; Finish waits for it (at most `limit`) and
  // returns its exit status (the signal number + 128 when it was killed).
  void Start(const std::string& answers);
  int Finish(std::chrono::seconds limit = std::chrono::seconds(300));
  // Whether the updater started last is still running (an ended one is reaped for Finish).
  bool Running();
  // Kills the running updater at once (SIGKILL), as a crash would end it; Finish then returns
  // 128 + 9.
  void Kill();
  int Run(const std::string& answers) {
    Start(answers);
    return Finish();
  }
  // Polls the transcript of the running updater until `condition` holds; false when the
  // updater ended first or `limit` passed.
  bool WaitForTranscript(const std::function<bool(const Transcript&)>& condition,
                         std::chrono::seconds limit = std::chrono::seconds(300));
  Transcript ReadTranscript() const;
  // The lines of the device's journal so far, and what it says from line `fromLine` on.
  std::size_t JournalLines() const;
  JournalFacts Journal(std::size_t fromLine = 0) const;

  // Tries NOR_SYN_OBJ once, without waiting, through a handle opened before the updater started,
  // so that an updater that ended while holding it shows as WAIT_ABANDONED (with no handle
  // left, the next opener would get a fresh, free object). Releases it again when taken;
  // returns the wait's result. Beside the Windows updater the handle is a Windows process's
  // (the neighbour's witness), the object being Wine's.
  DWORD TryFlashLock() const;

  // Changes nor.bin at rest (damage that was there before the run); the run is then checked
  // against the changed image.
  void ChangeNorAtRest(const std::function<void(Bytes&)>& change);
  const Bytes& NorBefore() const { return norBefore_; }
  Bytes NorAfter() const { return device_.ReadNor(); }
  FlashLayout Layout() const { return layout_; }
  sim::BlockLayout Blocks() const { return sim::BlockLayout(config_.regions); }
  std::uint64_t BlockOffset(std::uint32_t block) const { return Blocks().Start(block); }

 private:
  sim::DeviceConfig config_;
  testsupport::TemporaryDevice device_;
  Bytes norBefore_;
  FlashLayout layout_;
  std::string transcriptPath_;
  pid_t child_ = -1;
  bool reaped_ = false;  // Running saw the updater end; its wait status is in reapedStatus_
  int reapedStatus_ = 0;
  void* lockWitness_ = nullptr;
  std::unique_ptr<Neighbour> windowsWitness_;
};

// The data and attribute of record `id` in the settings block at `block` of a nor.bin image;
// nullopt when the block does not hold a readable settings block or the record is missing.
struct StoredRecord {
  Bytes data;
  std::uint32_t attribute = 0;
};
std::optional<StoredRecord> ReadRecord(const Bytes& nor, const sim::DeviceConfig& config,
                                       std::uint32_t block, std::uint32_t id);

// Starts `command` (a program and its arguments) with `environment` (NAME=VALUE entries) in a
// process group of its own, so that KillGroup reaches whatever it starts itself (the Wine
// process behind scripts/windows-updater); standard input is /dev/null, standard output the file
// `output`, made anew. Throws when it cannot start.
pid_t SpawnGroup(std::vector<std::string> command, std::vector<std::string> environment,
                 const std::string& output);
// Kills the process group `leader` started, as a crash would end it.
void KillGroup(pid_t leader);

// Equality of [begin, end) of two images.
bool SameRange(const Bytes& a, const Bytes& b, std::uint64_t begin, std::uint64_t end);

}  // namespace scenario

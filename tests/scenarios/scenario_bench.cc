#include "scenario_bench.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "common/byte_order.h"
#include "flash/partition_table.h"
#include "neighbour_process.h"
#include "platform/core_library.h"
#include "settings/settings_block.h"
#include "settings/settings_record.h"
#include "settings/settings_store.h"
#include "tests/test_emulator.h"
#include "tools/signer/signer.h"

extern char** environ;

namespace scenario {

namespace {

std::filesystem::path KeyDirectory() {
  if (const char* directory = std::getenv("ORVANTA_KEY_DIR")) {
    return directory;
  }
  return ORVANTA_KEY_DIR;
}

}  // namespace

std::string UpdaterProgram() {
  if (const char* program = std::getenv("ORVANTA_UPDATE_PROGRAM")) {
    return program;
  }
  return ORVANTA_UPDATE_PROGRAM;
}

namespace {

const signer::PrivateKey& DevelopmentKey(int index) {
  static std::map<int, signer::PrivateKey> keys;
  auto found = keys.find(index);
  if (found == keys.end()) {
    std::string error;
    signer::PrivateKey key =
        signer::LoadPrivateKey(KeyDirectory() / ("key" + std::to_string(index) + ".pem"), &error);
    if (!key) {
      throw std::runtime_error("cannot load development key " + std::to_string(index) + ": " +
                               error);
    }
    found = keys.emplace(index, std::move(key)).first;
  }
  return found->second;
}

int OperationOf(const std::string& counterText) {
  int operation = 0;
  int total = 0;
  if (std::sscanf(counterText.c_str(), "Operation %d of %d:", &operation, &total) != 2) {
    return -1;
  }
  return operation;
}

// The file that asks the Windows witness to try NOR_SYN_OBJ.
constexpr char kWitnessAsk[] = "witness.ask";

}  // namespace

bool UpdaterIsWindows() {
  const char* platform = std::getenv("ORVANTA_UPDATE_PLATFORM");
  return platform != nullptr && std::string(platform) == "windows";
}

std::optional<std::string> HostOnlyReason(const std::string& answers) {
  if (!UpdaterIsWindows()) return std::nullopt;
  if (("," + answers + ",").find(",none,") != std::string::npos) {
    return "the answer 'none' stands for a box that cannot be shown; under Wine every box is "
           "shown";
  }
  return std::nullopt;
}

bool CopiesShowProgress() {
  return !UpdaterIsWindows();
}

pid_t SpawnGroup(std::vector<std::string> command, std::vector<std::string> environment,
                 const std::string& output) {
  const std::vector<char*> arguments = test_emulator::Arguments(command);
  const std::vector<char*> variables = test_emulator::Arguments(environment);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  const int result =
      posix_spawn(&pid, arguments[0], &actions, &attributes, arguments.data(), variables.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    throw std::runtime_error("cannot start " + command[0] + ": " + std::strerror(result));
  }
  return pid;
}

void KillGroup(pid_t leader) {
  kill(-leader, SIGKILL);
}

const Bytes* PackageSet::File(const std::string& path) const {
  for (const auto& [name, content] : files) {
    if (name == path) {
      return &content;
    }
  }
  return nullptr;
}

Bytes SignedImageUncached(const Bytes& payload, int keyIndex, std::size_t recordSize) {
  signer::ImageHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) {
    header[i] = static_cast<std::uint8_t>(0xA0 + i + keyIndex);
  }
  Bytes image;
  std::string error;
  if (!signer::SignImage(payload, DevelopmentKey(keyIndex), header, recordSize, &image, &error)) {
    throw std::runtime_error("cannot sign: " + error);
  }
  return image;
}

const Bytes& SignedImage(const Bytes& payload, int keyIndex, std::size_t recordSize) {
  static std::map<std::tuple<Bytes, int, std::size_t>, Bytes> cache;
  auto key = std::make_tuple(payload, keyIndex, recordSize);
  auto found = cache.find(key);
  if (found != cache.end()) {
    return found->second;
  }
  Bytes image = SignedImageUncached(payload, keyIndex, recordSize);
  return cache.emplace(std::move(key), std::move(image)).first->second;
}

const PackageSet& StandardPackages(int variant, std::size_t bootloaderSize,
                                   std::size_t variantImageSize, std::size_t variantRecordSize) {
  static std::map<std::tuple<int, std::size_t, std::size_t, std::size_t>, PackageSet> cache;
  const auto key = std::make_tuple(variant, bootloaderSize, variantImageSize, variantRecordSize);
  if (auto found = cache.find(key); found != cache.end()) {
    return found->second;
  }
  PackageSet& packages = cache[key];
  packages.bootloader = testsupport::PatternBytes(bootloaderSize, 100);
  packages.files.emplace_back("sdisk.bc", SignedImage(testsupport::PatternBytes(50'000, 101), 0));
  const char* directories[] = {"EA1", "EA2", "EB"};
  for (int v = 1; v <= 3; ++v) {
    const std::size_t size = v == variant ? variantImageSize : 20'000;
    const std::size_t recordSize = v == variant ? variantRecordSize : 4096;
    Bytes payload = testsupport::PatternBytes(size, 101 + v);
    Bytes image;
    // The large images are signed here, outside the small-image cache.
    if (size > 1'000'000) {
      image = SignedImageUncached(payload, v, recordSize);
    } else {
      image = SignedImage(payload, v, recordSize);
    }
    packages.files.emplace_back(std::string(directories[v - 1]) + "/syaffs.bc", std::move(image));
  }
  packages.files.emplace_back("seboot.nb0", SignedImage(packages.bootloader, 0));
  return packages;
}

std::vector<int> Transcript::MessageIds() const {
  std::vector<int> ids;
  for (const nlohmann::json& event : events) {
    if (event.value("event", "") == "message") {
      ids.push_back(event.value("id", -1));
    }
  }
  return ids;
}

std::vector<std::string> Transcript::Counters() const {
  std::vector<std::string> counters;
  for (const nlohmann::json& event : events) {
    if (event.value("event", "") == "counter") {
      counters.push_back(event.value("text", ""));
    }
  }
  return counters;
}

int Transcript::LastOperation() const {
  const std::vector<std::string> counters = Counters();
  return counters.empty() ? 0 : OperationOf(counters.back());
}

std::vector<int> Transcript::ProgressDuring(int operation) const {
  std::vector<int> positions;
  int current = 0;
  for (const nlohmann::json& event : events) {
    const std::string kind = event.value("event", "");
    if (kind == "counter") {
      current = OperationOf(event.value("text", ""));
    } else if (kind == "progress" && current == operation) {
      positions.push_back(event.value("position", -1));
    }
  }
  return positions;
}

bool Transcript::Restarted() const {
  for (const nlohmann::json& event : events) {
    if (event.value("event", "") == "restart") {
      return true;
    }
  }
  return false;
}

std::optional<int> Transcript::ExitStatus() const {
  if (!events.empty() && events.back().value("event", "") == "exit") {
    return events.back().value("status", -1);
  }
  return std::nullopt;
}

Bench::Bench(const std::string& partNumber, sim::DeviceConfig config)
    : config_(std::move(config)), device_(config_) {
  const std::string formatted = testsupport::FormatSettings(partNumber);
  if (!formatted.empty()) {
    throw std::runtime_error("cannot format the device: " + formatted);
  }
  norBefore_ = device_.ReadNor();
  const std::uint32_t total = config_.TotalBlocks();
  layout_.lastBlock = total - 1;
  const BYTE* table = norBefore_.data() + BlockOffset(layout_.lastBlock);
  layout_.semiPermanentBlock = static_cast<std::uint32_t>(
      PartitionTable::FirstBlockOfType(kSemiPermanentSettingsType, table));
  for (DWORD type : {kSerialSettingsType, kUuidSettingsType, kMacSettingsType}) {
    layout_.otherSettingsBlocks.push_back(
        static_cast<std::uint32_t>(PartitionTable::FirstBlockOfType(type, table)));
  }
  transcriptPath_ = (device_.Paths().root / "transcript.jsonl").string();
}

Bench::~Bench() {
  windowsWitness_.reset();
  if (child_ > 0 && !reaped_) {
    KillGroup(child_);
    int status = 0;
    waitpid(child_, &status, 0);
  }
  if (lockWitness_ != nullptr) {
    CloseHandle(lockWitness_);
  }
}

void Bench::UpdateConfig(const std::function<void(sim::DeviceConfig&)>& change) {
  sim::DeviceConfig config = device_.Config();
  change(config);
  device_.SaveConfig(config);
}

void Bench::ChangeNorAtRest(const std::function<void(Bytes&)>& change) {
  Bytes nor = device_.ReadNor();
  change(nor);
  testsupport::WriteFile(device_.Paths().Nor(), nor);
  norBefore_ = std::move(nor);
}

void Bench::Place(const PackageSet& packages) {
  for (const auto& [path, content] : packages.files) {
    device_.WriteCard(path, content);
  }
}

std::uint64_t Bench::FreeBytes() const {
  ULARGE_INTEGER available{}, total{}, totalFree{};
  available.QuadPart = 0;
  if (!GetDiskFreeSpaceExW(u"\\SD Card", &available, &total, &totalFree)) {
    throw std::runtime_error("the free-space query failed");
  }
  return available.QuadPart;
}

void Bench::SetFreeBytes(std::uint64_t free) {
  UpdateConfig([](sim::DeviceConfig& config) { config.cardCapacity = 1ull << 40; });
  const std::uint64_t used = (1ull << 40) - FreeBytes();
  UpdateConfig([&](sim::DeviceConfig& config) { config.cardCapacity = used + free; });
  if (FreeBytes() != free) {
    throw std::runtime_error("the card's free space does not follow card_capacity");
  }
}

void Bench::SetFreePages(std::uint64_t pages) {
  std::uint64_t used = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(device_.Paths().Card())) {
    if (entry.is_regular_file()) used += (entry.file_size() + kCardPage - 1) / kCardPage;
  }
  UpdateConfig(
      [&](sim::DeviceConfig& config) { config.cardCapacity = (used + pages) * kCardPage; });
}

void Bench::Start(const std::string& answers) {
  std::filesystem::remove(transcriptPath_);
  if (UpdaterIsWindows()) {
    std::filesystem::remove(device_.Paths().root / kWitnessAsk);
    windowsWitness_ =
        std::make_unique<Neighbour>(*this, std::vector<std::string>{"now", "witness", kWitnessAsk});
    if (!windowsWitness_->WaitForReport("opened", std::chrono::seconds(60))) {
      throw std::runtime_error("the Windows witness of NOR_SYN_OBJ did not start");
    }
  } else if (lockWitness_ == nullptr) {
    lockWitness_ = CreateMutexW(nullptr, FALSE, u"NOR_SYN_OBJ");
    if (lockWitness_ == nullptr) {
      throw std::runtime_error("cannot open NOR_SYN_OBJ");
    }
  }
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    const std::string name = variable.substr(0, variable.find('='));
    if (name != "ORVANTA_DEVICE" && name != "ORVANTA_UI" && name != "ORVANTA_ANSWERS" &&
        name != "ORVANTA_TRANSCRIPT") {
      variables.push_back(variable);
    }
  }
  variables.push_back("ORVANTA_DEVICE=" + device_.Paths().root.string());
  variables.push_back("ORVANTA_UI=headless");
  variables.push_back("ORVANTA_ANSWERS=" + answers);
  variables.push_back("ORVANTA_TRANSCRIPT=" + transcriptPath_);
  child_ =
      SpawnGroup(test_emulator::Command({UpdaterProgram()}), std::move(variables), "/dev/null");
}

bool Bench::Running() {
  if (child_ < 0 || reaped_) return false;
  reaped_ = waitpid(child_, &reapedStatus_, WNOHANG) == child_;
  return !reaped_;
}

void Bench::Kill() {
  if (child_ > 0 && !reaped_) KillGroup(child_);
}

int Bench::Finish(std::chrono::seconds limit) {
  if (child_ < 0) {
    throw std::runtime_error("no updater is running");
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = reapedStatus_;
  while (!reaped_) {
    const pid_t done = waitpid(child_, &status, WNOHANG);
    if (done == child_) {
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      KillGroup(child_);
      waitpid(child_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  child_ = -1;
  reaped_ = false;
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

bool Bench::WaitForTranscript(const std::function<bool(const Transcript&)>& condition,
                              std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const Transcript transcript = ReadTranscript();
    if (condition(transcript)) {
      return true;
    }
    if (transcript.ExitStatus().has_value()) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

Transcript Bench::ReadTranscript() const {
  Transcript transcript;
  std::ifstream in(transcriptPath_);
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) {
      break;  // a line still being written has no newline yet
    }
    nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_discarded()) {
      transcript.events.push_back(std::move(event));
    }
  }
  return transcript;
}

std::size_t Bench::JournalLines() const {
  std::ifstream in(device_.Paths().Journal());
  return static_cast<std::size_t>(
      std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

JournalFacts Bench::Journal(std::size_t fromLine) const {
  JournalFacts facts;
  std::ifstream in(device_.Paths().Journal());
  std::string line;
  for (std::size_t number = 0; std::getline(in, line); ++number) {
    if (number < fromLine) continue;
    const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_object()) continue;
    const std::string kind = event.value("event", "");
    facts.restart |= kind == "restart";
    facts.restartRefused |= kind == "restart_refused";
    if (kind == "power_cut") {
      facts.powerCut = true;
      facts.cutOffset = event.value("offset", 0ull);
      facts.torn = event.value("torn", "");
    }
    if (kind == "flash_commands") facts.commandCounts.push_back(event.value("count", 0ull));
  }
  return facts;
}

DWORD Bench::TryFlashLock() const {
  if (windowsWitness_ != nullptr) {
    std::ofstream(device_.Paths().root / kWitnessAsk).flush();
    if (!windowsWitness_->WaitForReport("wait ", std::chrono::seconds(60))) return WAIT_FAILED;
    std::filesystem::remove(device_.Paths().root / kWitnessAsk);
    const std::string report = windowsWitness_->Report();
    return static_cast<DWORD>(std::stoul(report.substr(report.find("wait ") + 5)));
  }
  if (lockWitness_ == nullptr) {
    return WAIT_FAILED;
  }
  const DWORD wait = WaitForSingleObject(lockWitness_, 0);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
    ReleaseMutex(lockWitness_);
  }
  return wait;
}

std::optional<StoredRecord> ReadRecord(const Bytes& nor, const sim::DeviceConfig& config,
                                       std::uint32_t block, std::uint32_t id) {
  const std::uint64_t offset = sim::BlockLayout(config.regions).Start(block);
  if (offset + kSettingsHeaderSize + kSettingsPayloadCapacity > nor.size() ||
      LoadLittleEndian32(nor.data() + offset) != kSettingsBlockMagic) {
    return std::nullopt;
  }
  const std::uint32_t length = LoadLittleEndian32(nor.data() + offset + 8);
  if (length > kSettingsPayloadCapacity) {
    return std::nullopt;
  }
  StoredRecord record;
  record.data.resize(kSettingsPayloadCapacity);
  DWORD capacity = kSettingsPayloadCapacity;
  DWORD attribute = 0;
  if (!FindRecord(id, nor.data() + offset + kSettingsHeaderSize, length, record.data.data(),
                  &capacity, &attribute)) {
    return std::nullopt;
  }
  record.data.resize(capacity);
  record.attribute = attribute;
  return record;
}

bool SameRange(const Bytes& a, const Bytes& b, std::uint64_t begin, std::uint64_t end) {
  if (end > a.size() || end > b.size() || begin > end) {
    return false;
  }
  return std::equal(a.begin() + static_cast<long>(begin), a.begin() + static_cast<long>(end),
                    b.begin() + static_cast<long>(begin));
}

}  // namespace scenario

// A whole headless update on the host (a 32 MB disk image, a 48 MB variant image and a 512 KiB
// bootloader, in 64 KiB records) beside the baseline of the same bytes: the two copies the
// update makes done with cp, and the three files verified with the OpenSSL-based reference
// verifier. scripts/bench prints the ratio of the two.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "settings/settings_store.h"
#include "testsupport/reference_verifier.h"
#include "testsupport/temporary_device.h"
#include "tools/factory/factory_settings.h"
#include "tools/signer/signer.h"

extern char** environ;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kDiskImageBytes = 32u << 20;
constexpr std::size_t kVariantImageBytes = 48u << 20;
constexpr std::size_t kBootloaderBytes = 512u << 10;
constexpr std::size_t kRecordBytes = 64u << 10;

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes Signed(std::size_t size, int keyIndex) {
  std::string error;
  const auto key = signer::LoadPrivateKey(
      std::string(ORVANTA_KEY_DIR) + "/key" + std::to_string(keyIndex) + ".pem", &error);
  Bytes payload(size);
  for (std::size_t i = 0; i < size; ++i)
    payload[i] = static_cast<std::uint8_t>(i * 131 + (i >> 12));
  signer::ImageHeader header{};
  Bytes image;
  if (!key || !signer::SignImage(payload, key, header, kRecordBytes, &image, &error))
    throw std::runtime_error("cannot sign: " + error);
  return image;
}

// Formats the settings partitions and stores the part number of variant 1.
void FormatSettings() {
  const std::string error = factory::WriteSettings(kSettingsPartitionTypes, u"52614-01");
  if (!error.empty()) throw std::runtime_error("cannot format the settings: " + error);
}

struct Setup {
  testsupport::TemporaryDevice device;
  Bytes norBefore;
  reference::PublicKey keys[2];
  Setup() {
    FormatSettings();
    const auto card = device.Paths().Card();
    WriteFile(card / "sdisk.bc", Signed(kDiskImageBytes, 0));
    WriteFile(card / "EA1" / "syaffs.bc", Signed(kVariantImageBytes, 1));
    WriteFile(card / "seboot.nb0", Signed(kBootloaderBytes, 0));
    norBefore = ReadFile(device.Paths().Nor());
    for (int i = 0; i < 2; ++i)
      keys[i] = reference::PublicKey::FromFile(std::string(ORVANTA_KEY_DIR) + "/key" +
                                               std::to_string(i) + ".der");
  }
  void Reset() const {
    WriteFile(device.Paths().Nor(), norBefore);
    std::filesystem::remove(device.Paths().Card() / "syaffs.bc");
    std::filesystem::remove(device.Paths().Card() / "_seboot.nb0");
  }
};

Setup& TheSetup() {
  static Setup setup;
  return setup;
}

int Spawn(std::vector<std::string> arguments, const std::vector<std::string>& extraEnvironment) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) variables.emplace_back(*entry);
  variables.insert(variables.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> environment;
  for (auto& variable : variables) environment.push_back(variable.data());
  environment.push_back(nullptr);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t child = -1;
  const int spawned =
      posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environment.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void WholeUpdate(benchmark::State& state) {
  Setup& setup = TheSetup();
  const auto root = setup.device.Paths().root;
  for (auto _ : state) {
    state.PauseTiming();
    setup.Reset();
    state.ResumeTiming();
    const int status =
        Spawn({ORVANTA_UPDATE_PROGRAM},
              {"ORVANTA_DEVICE=" + root.string(), "ORVANTA_UI=headless", "ORVANTA_ANSWERS=ok",
               "ORVANTA_TRANSCRIPT=" + (root / "transcript.jsonl").string()});
    if (status != 0) state.SkipWithError("the update did not end in a restart");
  }
}

// A file mapped read-only, as the updater maps the package files.
class MappedFile {
 public:
  explicit MappedFile(const std::filesystem::path& path) {
    const int descriptor = open(path.c_str(), O_RDONLY);
    if (descriptor < 0) return;
    size_ = static_cast<std::size_t>(lseek(descriptor, 0, SEEK_END));
    void* view = mmap(nullptr, size_, PROT_READ, MAP_SHARED, descriptor, 0);
    close(descriptor);
    if (view != MAP_FAILED) data_ = static_cast<const std::uint8_t*>(view);
  }
  ~MappedFile() {
    if (data_) munmap(const_cast<std::uint8_t*>(data_), size_);
  }
  std::span<const std::uint8_t> Bytes() const { return {data_, data_ ? size_ : 0}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

bool Verified(const std::filesystem::path& path, const reference::PublicKey& key) {
  const MappedFile file(path);
  return reference::VerifyImage(file.Bytes(), &key, nullptr) > 0;
}

void CopyAndVerify(benchmark::State& state) {
  Setup& setup = TheSetup();
  const auto card = setup.device.Paths().Card();
  for (auto _ : state) {
    state.PauseTiming();
    setup.Reset();
    state.ResumeTiming();
    if (Spawn({"cp", (card / "EA1" / "syaffs.bc").string(), (card / "syaffs.bc").string()}, {}) !=
            0 ||
        Spawn({"cp", (card / "seboot.nb0").string(), (card / "_seboot.nb0").string()}, {}) != 0)
      state.SkipWithError("cp failed");
    const bool verified = Verified(card / "sdisk.bc", setup.keys[0]) &&
                          Verified(card / "syaffs.bc", setup.keys[1]) &&
                          Verified(card / "_seboot.nb0", setup.keys[0]);
    if (!verified) state.SkipWithError("the baseline check failed");
  }
}

}  // namespace

BENCHMARK(WholeUpdate)
    ->Name("WholeUpdate/OrvantaUpdate")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(CopyAndVerify)
    ->Name("WholeUpdate/CpOpenSsl")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK_MAIN();

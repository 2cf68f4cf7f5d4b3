// `orvanta verify` of a 100 MB image (64 KiB records) beside the OpenSSL-based reference
// verifier of the same file, mapped, in one run; then the tool's private memory while it
// verifies, and whether it runs under a 32 MiB data limit.
//
// The tool runs as its own process, as a release engineer runs it, so its figure includes the
// process start (a few milliseconds). The program ends with the time ratio (tool / reference,
// lower is better; target <= 1.4) and the memory figures (target: private memory below 32 MiB).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/rate_reporter.h"
#include "testsupport/reference_verifier.h"
#include "tools/signer/signer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kImageSize = 100'000'000;
constexpr std::size_t kRecordSize = 64 << 10;
constexpr std::size_t kRecordCount = 1527;  // data records of a 100 MB image, with the final one
constexpr std::uint64_t kDataLimit = 32u << 20;

// The signed image, written once to a temporary file that is removed at exit.
const std::filesystem::path& ImageFile() {
  static const struct File {
    std::filesystem::path path;
    File() {
      std::string directory =
          (std::filesystem::temp_directory_path() / "orvanta-verify-bench-XXXXXX").string();
      if (mkdtemp(directory.data()) == nullptr) return;
      std::string error;
      const signer::PrivateKey key =
          signer::LoadPrivateKey(std::string(ORVANTA_KEY_DIR) + "/key0.pem", &error);
      Bytes payload(kImageSize - 23 - kRecordCount * (9 + 128));
      std::mt19937 random(42);
      for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());
      Bytes image;
      if (!key || !signer::SignImage(payload, key, {}, kRecordSize, &image, &error)) {
        std::fprintf(stderr, "cannot sign the image: %s\n", error.c_str());
        return;
      }
      path = std::filesystem::path(directory) / "image.bc";
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(image.data()),
                 static_cast<std::streamsize>(image.size()));
    }
    ~File() {
      std::error_code ignored;
      if (!path.empty()) std::filesystem::remove_all(path.parent_path(), ignored);
    }
  } file;
  return file.path;
}

// Starts `orvanta verify IMAGE --key-index 0`, its output discarded, optionally under a data
// limit. Returns the child's process id.
pid_t StartTool(bool limited) {
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (limited) {
      const rlimit limit = {kDataLimit, kDataLimit};
      setrlimit(RLIMIT_DATA, &limit);
    }
    execl(ORVANTA_TOOL, "orvanta", "verify", ImageFile().c_str(), "--key-index", "0",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

int ExitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ToolVerify(benchmark::State& state) {
  if (ImageFile().empty()) return state.SkipWithError("no image");
  for (auto _ : state) {
    int status = 0;
    waitpid(StartTool(false), &status, 0);
    if (ExitStatus(status) != 0) state.SkipWithError("orvanta verify did not accept the image");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageSize));
}

void ReferenceVerify(benchmark::State& state) {
  if (ImageFile().empty()) return state.SkipWithError("no image");
  const reference::PublicKey key =
      reference::PublicKey::FromFile(std::string(ORVANTA_KEY_DIR) + "/key0.der");
  for (auto _ : state) {
    // Mapped afresh each time, as the tool maps it.
    const int descriptor = open(ImageFile().c_str(), O_RDONLY);
    struct stat status {};
    fstat(descriptor, &status);
    const auto size = static_cast<std::size_t>(status.st_size);
    void* mapping = mmap(nullptr, size, PROT_READ, MAP_SHARED, descriptor, 0);
    close(descriptor);
    const std::int32_t result =
        reference::VerifyImage({static_cast<const std::uint8_t*>(mapping), size}, &key, nullptr);
    munmap(mapping, size);
    if (result <= 0) state.SkipWithError("the reference did not accept the image");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageSize));
}

// Wall-clock time for both: the tool's work happens in a child process.
BENCHMARK(ToolVerify)
    ->Name("VerifyTool100MB/Orvanta")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(ReferenceVerify)
    ->Name("VerifyTool100MB/OpenSsl")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A field of /proc/PID/status in KiB (0 when it cannot be read).
std::uint64_t StatusKib(pid_t process, const std::string& field) {
  std::ifstream input("/proc/" + std::to_string(process) + "/status");
  for (std::string line; std::getline(input, line);)
    if (line.rfind(field + ":", 0) == 0)
      return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10);
  return 0;
}

// The tool's peak private memory (VmData: heap and writable private mappings, what a data
// limit counts; RssAnon: what of it is resident), sampled while it verifies.
void PrintMemory() {
  const pid_t child = StartTool(false);
  std::uint64_t data = 0, anonymous = 0;
  int status = 0;
  int samples = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Only once the child runs the tool (before the exec it is a copy of this program).
    std::ifstream name("/proc/" + std::to_string(child) + "/comm");
    std::string command;
    if (!std::getline(name, command) || command != "orvanta") continue;
    ++samples;
    data = std::max(data, StatusKib(child, "VmData"));
    anonymous = std::max(anonymous, StatusKib(child, "RssAnon"));
  }
  std::printf(
      "memory orvanta verify, 100 MB: peak VmData %.1f MiB, peak RssAnon %.1f MiB "
      "(%d samples; target < 32 MiB): %s\n",
      static_cast<double>(data) / 1024, static_cast<double>(anonymous) / 1024, samples,
      data * 1024 < kDataLimit ? "reached" : "NOT reached");
  waitpid(StartTool(true), &status, 0);
  std::printf("memory orvanta verify under prlimit --data=%llu: exit status %d: %s\n",
              static_cast<unsigned long long>(kDataLimit), ExitStatus(status),
              ExitStatus(status) == 0 ? "reached" : "NOT reached");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (ImageFile().empty()) return 1;
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  const auto tool = reporter.rates.find("VerifyTool100MB/Orvanta/real_time");
  const auto reference = reporter.rates.find("VerifyTool100MB/OpenSsl/real_time");
  if (tool != reporter.rates.end() && reference != reporter.rates.end() && tool->second > 0) {
    const double ratio = reference->second / tool->second;  // time of the tool / time of OpenSSL
    std::printf(
        "ratio orvanta verify / OpenSSL reference, 100 MB   %5.2fx the time "
        "(target <= 1.4x): %s\n",
        ratio, ratio <= 1.4 ? "reached" : "NOT reached");
  } else {
    std::printf("ratio orvanta verify / OpenSSL reference, 100 MB   not measured\n");
  }
  PrintMemory();
  benchmark::Shutdown();
  return 0;
}

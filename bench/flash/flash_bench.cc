// The flash driver on the simulated chip: the host's cost of programming 1 MiB through
// NorFlash::Program with instant timing (per word), and the time the device would take to
// program a 1 MiB bootloader, estimated from the typical times (CFI for erase and program, the
// device's lock and unlock times) and measured on a sample in realistic timing, for both lock
// variants. Every erase and every program of a block is framed by an unlock and a lock.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "testsupport/temporary_device.h"

namespace {

constexpr DWORD kImageBytes = 0x100000;

// The blocks from 0 that hold `bytes`, as the bootloader programming takes them.
struct Span {
  DWORD blocks = 0;
  DWORD bytes = 0;
};
Span BlocksFor(DWORD bytes) {
  Span span;
  while (span.bytes < bytes && NorFlash::BlockSize(span.blocks) != 0) {
    span.bytes += NorFlash::BlockSize(span.blocks);
    ++span.blocks;
  }
  return span;
}

class OpenFlash {
 public:
  OpenFlash() {
    NorFlashMutex::Acquire();
    opened_ = NorFlash::Open() == 1;
  }
  ~OpenFlash() {
    NorFlash::Close();
    NorFlashMutex::Release();
  }
  bool Opened() const { return opened_; }

 private:
  bool opened_ = false;
};

std::vector<BYTE> Image(std::size_t size) {
  std::vector<BYTE> image(size);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<BYTE>(i * 31 + 7);
  return image;
}

// Erases and programs `bytes` from block 0 as the update does; false on any failure.
bool ProgramFromBlockZero(const std::vector<BYTE>& image, DWORD bytes, bool erase) {
  DWORD written = 0;
  for (DWORD block = 0; written < bytes; ++block) {
    const DWORD size = NorFlash::BlockSize(block);
    if (size == 0) return false;
    const DWORD length = std::min(size, bytes - written);
    if (erase && !NorFlash::EraseBlock(block)) return false;
    if (!NorFlash::Program(block, 0, image.data() + written, length)) return false;
    written += length;
  }
  return true;
}

void ProgramInstant(benchmark::State& state) {
  testsupport::TemporaryDevice device;
  OpenFlash flash;
  const auto image = Image(kImageBytes);
  if (!flash.Opened()) state.SkipWithError("the flash does not open");
  for (auto _ : state) {
    state.PauseTiming();
    const Span span = BlocksFor(kImageBytes);
    for (DWORD block = 0; block < span.blocks; ++block) {
      if (!NorFlash::EraseBlock(block)) state.SkipWithError("erase failed");
    }
    state.ResumeTiming();
    if (!ProgramFromBlockZero(image, kImageBytes, false)) state.SkipWithError("program failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kImageBytes);
  // Host time per programmed word, in seconds.
  state.counters["per_word"] = benchmark::Counter(
      kImageBytes / 2, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

sim::DeviceConfig WithLocks(sim::LockVariant variant, sim::TimingMode timing) {
  sim::DeviceConfig config;
  config.lockVariant = variant;
  config.timing = timing;
  return config;
}

// From the CFI table the driver read (every word at the typical word-program time, every block
// at the typical erase time) and the device's lock and unlock times: each block is unlocked and
// locked twice, around its erase and around its programming. Reported as the benchmark's
// (manual) time; the lock share as a counter.
void DeviceTimeEstimate(benchmark::State& state, sim::LockVariant variant) {
  const sim::DeviceConfig config = WithLocks(variant, sim::TimingMode::Instant);
  testsupport::TemporaryDevice device(config);
  OpenFlash flash;
  if (!flash.Opened()) state.SkipWithError("the flash does not open");
  const FlashGeometry& geometry = NorFlash::Geometry();
  const double wordSeconds = static_cast<double>(1u << geometry.queryTable[0x1F]) * 1e-6;
  const double eraseSeconds = static_cast<double>(1u << geometry.queryTable[0x21]) * 1e-3;
  const double lockPairSeconds = (config.lockTimeUs + config.UnlockTimeUs()) * 1e-6;
  const Span span = BlocksFor(kImageBytes);
  const double locking = 2.0 * span.blocks * lockPairSeconds;
  const double estimate = (kImageBytes / 2) * wordSeconds + span.blocks * eraseSeconds + locking;
  for (auto _ : state) state.SetIterationTime(estimate);
  state.counters["blocks"] = span.blocks;
  state.counters["words"] = kImageBytes / 2;
  state.counters["locking_s"] = locking;
}

// One block of the first region erased and programmed in realistic timing, where the chip
// takes the typical times, scaled to the blocks and words of 1 MiB: the erase with its unlock
// and lock per block, an empty program (unlock and lock only) per block, and the words.
void DeviceTimeRealisticSample(benchmark::State& state, sim::LockVariant variant) {
  testsupport::TemporaryDevice device(WithLocks(variant, sim::TimingMode::Realistic));
  OpenFlash flash;
  if (!flash.Opened()) state.SkipWithError("the flash does not open");
  const DWORD sampleBytes = NorFlash::BlockSize(0);
  const auto image = Image(sampleBytes);
  const Span span = BlocksFor(kImageBytes);
  using Clock = std::chrono::steady_clock;
  const auto seconds = [](Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
  };
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!NorFlash::EraseBlock(0)) state.SkipWithError("erase failed");
    const auto erased = Clock::now();
    if (!NorFlash::Program(0, 0, image.data(), 0)) state.SkipWithError("empty program failed");
    const auto framed = Clock::now();
    if (!NorFlash::Program(0, 0, image.data(), sampleBytes)) state.SkipWithError("program failed");
    const auto programmed = Clock::now();
    const double framing = seconds(erased, framed);
    const double wordSeconds = (seconds(framed, programmed) - framing) / (sampleBytes / 2);
    state.SetIterationTime(span.blocks * (seconds(start, erased) + framing) +
                           (kImageBytes / 2) * wordSeconds);
    state.counters["lock_pair_s"] = framing;
  }
}

}  // namespace

BENCHMARK(ProgramInstant)->Name("NorFlashProgram1MiB/Instant")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DeviceTimeEstimate, PerBlock, sim::LockVariant::PerBlock)
    ->Name("DeviceTime1MiB/CfiEstimate")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(DeviceTimeRealisticSample, PerBlock, sim::LockVariant::PerBlock)
    ->Name("DeviceTime1MiB/RealisticSample")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(DeviceTimeEstimate, UnlockAll, sim::LockVariant::UnlockAll)
    ->Name("DeviceTime1MiB/CfiEstimateUnlockAll")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(DeviceTimeRealisticSample, UnlockAll, sim::LockVariant::UnlockAll)
    ->Name("DeviceTime1MiB/RealisticSampleUnlockAll")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_MAIN();

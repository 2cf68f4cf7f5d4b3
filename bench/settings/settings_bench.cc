// The settings code's throughput: EccCode::Compute in its word-wise (fast) and byte-wise
// (general) forms beside a plain bit-by-bit reference, and SettingsBlock::Read and Write of a
// 4096-byte payload on the simulated chip (instant timing).
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "settings/ecc_code.h"
#include "settings/settings_block.h"
#include "settings/settings_store.h"
#include "testsupport/temporary_device.h"

namespace {

constexpr std::size_t kChunk = 256;

alignas(4) std::array<BYTE, kChunk> ChunkData() {
  std::array<BYTE, kChunk> data{};
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 37 + 11);
  return data;
}

// The code from its definition, one data bit at a time.
void ReferenceCode(const BYTE* data, std::size_t length, BYTE* code) {
  unsigned columns[6] = {};
  unsigned odd = 0;
  unsigned even = 0;
  constexpr BYTE kMasks[6] = {0x55, 0xAA, 0x33, 0xCC, 0x0F, 0xF0};
  for (std::size_t i = 0; i < length; ++i) {
    for (unsigned bit = 0; bit < 8; ++bit) {
      const unsigned value = (data[i] >> bit) & 1u;
      for (unsigned c = 0; c < 6; ++c)
        if ((kMasks[c] >> bit) & 1u) columns[c] ^= value;
      for (unsigned k = 0; k < 8; ++k) {
        if ((i >> k) & 1u)
          odd ^= value << k;
        else
          even ^= value << k;
      }
    }
  }
  unsigned byte0 = 0xC0;
  for (unsigned c = 0; c < 6; ++c) byte0 |= (columns[c] ^ 1u) << c;
  code[0] = static_cast<BYTE>(byte0);
  code[1] = static_cast<BYTE>(~odd);
  code[2] = static_cast<BYTE>(~even);
}

void EccFast(benchmark::State& state) {
  alignas(4) auto data = ChunkData();
  BYTE code[3];
  for (auto _ : state) {
    EccCode::ComputeAlignedChunk(data.data(), code);
    benchmark::DoNotOptimize(code);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunk));
}

void EccGeneral(benchmark::State& state) {
  alignas(4) auto data = ChunkData();
  BYTE code[3];
  for (auto _ : state) {
    EccCode::ComputeAnyLength(data.data(), kChunk, code);
    benchmark::DoNotOptimize(code);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunk));
}

void EccReference(benchmark::State& state) {
  alignas(4) auto data = ChunkData();
  BYTE code[3];
  for (auto _ : state) {
    ReferenceCode(data.data(), kChunk, code);
    benchmark::DoNotOptimize(code);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kChunk));
}

// The first settings block of the default geometry, on an open flash.
class OpenFlash {
 public:
  OpenFlash() {
    NorFlashMutex::Acquire();
    opened_ = NorFlash::Open() == 1;
    block_ = static_cast<DWORD>(NorFlash::FirstBlockOfType(kSemiPermanentSettingsType));
  }
  ~OpenFlash() {
    NorFlash::Close();
    NorFlashMutex::Release();
  }
  bool Opened() const { return opened_; }
  DWORD Block() const { return block_; }

 private:
  bool opened_ = false;
  DWORD block_ = 0;
};

std::vector<BYTE> Payload() {
  std::vector<BYTE> payload(kSettingsPayloadCapacity);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<BYTE>(i * 7);
  return payload;
}

void SettingsBlockWrite(benchmark::State& state) {
  testsupport::TemporaryDevice device;
  OpenFlash flash;
  const auto payload = Payload();
  if (!flash.Opened()) state.SkipWithError("the flash does not open");
  for (auto _ : state) {
    if (!SettingsBlock::Write(flash.Block(), payload.data(), kSettingsPayloadCapacity))
      state.SkipWithError("write failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSettingsPayloadCapacity));
}

void SettingsBlockRead(benchmark::State& state) {
  testsupport::TemporaryDevice device;
  OpenFlash flash;
  const auto payload = Payload();
  if (!flash.Opened() ||
      !SettingsBlock::Write(flash.Block(), payload.data(), kSettingsPayloadCapacity))
    state.SkipWithError("the block cannot be written");
  std::vector<BYTE> buffer(kSettingsPayloadCapacity);
  for (auto _ : state) {
    if (!SettingsBlock::Read(flash.Block(), buffer.data(), kSettingsPayloadCapacity))
      state.SkipWithError("read failed");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSettingsPayloadCapacity));
}

}  // namespace

BENCHMARK(EccFast)->Name("EccCompute256/Fast");
BENCHMARK(EccGeneral)->Name("EccCompute256/General");
BENCHMARK(EccReference)->Name("EccCompute256/Reference");
BENCHMARK(SettingsBlockRead)->Name("SettingsBlock4096/Read")->Unit(benchmark::kMicrosecond);
BENCHMARK(SettingsBlockWrite)->Name("SettingsBlock4096/Write")->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();

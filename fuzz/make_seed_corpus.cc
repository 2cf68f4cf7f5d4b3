// Writes the seed corpora of the fuzz targets into DIR/<target>/ (fuzz/corpus/ in the repo):
// inputs in each target's own input format that reach deep into the code on the first run,
// such as valid tables, valid settings blocks and properly signed images.
//   make_seed_corpus DIR KEY_DIR
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "flash/partition_table.h"
#include "settings/settings_block.h"
#include "testsupport/memory_device.h"
#include "tools/signer/signer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
std::filesystem::path outputRoot;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  const auto directory = outputRoot / target;
  std::filesystem::create_directories(directory);
  std::ofstream(directory / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

void Append32(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void Append16(Bytes& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value));
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PartitionTableSeeds() {
  struct Geometry {
    const char* name;
    std::uint32_t sizes[2];
    std::uint32_t counts[2];
  };
  const Geometry geometries[] = {{"two-regions", {0x2000, 0x8000}, {8, 62}},
                                 {"one-region", {0x8000, 0}, {64, 0}},
                                 {"too-small", {0x2000, 0x10000}, {8, 31}},
                                 {"twenty-big-blocks", {0x20000, 0}, {20, 0}}};
  for (const auto& g : geometries) {
    Bytes table(kPartitionTableSize);
    const int built = PartitionTable::BuildDefault(table.data(), g.sizes, g.counts);
    Bytes input;
    for (auto v : {g.sizes[0], g.sizes[1], g.counts[0], g.counts[1], 6u}) Append32(input, v);
    if (!built) PartitionTable::Initialise(table.data());
    input.insert(input.end(), table.begin(), table.end());
    Write("partition_table", g.name, input);
  }
}

void EccSeeds() {
  for (std::uint16_t length : {256, 12, 3, 0, 255}) {
    Bytes input;
    Append16(input, length);
    Append16(input, 100);
    input.insert(input.end(), {0xFF, 0xFF, 0xFF});
    for (std::uint16_t i = 0; i < length; ++i) input.push_back(static_cast<std::uint8_t>(i * 7));
    Write("ecc_code", "length-" + std::to_string(length), input);
  }
}

// A settings block as SettingsBlock::Write leaves it, read back from the in-memory chip.
Bytes WrittenBlock(const Bytes& payload) {
  memory_device::Reset(memory_device::ChipConfig{});
  NorFlashMutex::Acquire();
  Bytes block;
  if (NorFlash::Open() == 1 && SettingsBlock::Write(0, payload.data(), payload.size())) {
    const auto* at = reinterpret_cast<const volatile std::uint8_t*>(NorFlash::BlockAddress(0));
    block.assign(at, at + 67 + payload.size());
  }
  NorFlash::Close();
  NorFlashMutex::Release();
  return block;
}

void SettingsBlockSeeds() {
  Bytes records;
  for (std::uint32_t id : {2u, 37u, 9u}) {
    Append32(records, id);
    Append32(records, 2);
    Append32(records, 16);
    for (int i = 0; i < 16; ++i) records.push_back(static_cast<std::uint8_t>('0' + i));
  }
  Bytes full = records;
  full.resize(4096, 0xFF);
  struct Seed {
    const char* name;
    Bytes payload;
    std::uint16_t capacity;
    int flipBit;  // a bit of the stored block to flip, or -1
  };
  const Seed seeds[] = {{"full-payload", full, 4096, -1},
                        {"short-payload", records, 4096, -1},
                        {"empty-payload", {}, 4096, -1},
                        {"flipped-length", full, 4096, 8 * 8 + 3},
                        {"flipped-payload", full, 4096, 8 * 700 + 5},
                        {"small-capacity", records, 100, -1}};
  for (const auto& seed : seeds) {
    Bytes block = WrittenBlock(seed.payload);
    if (seed.flipBit >= 0)
      block[seed.flipBit / 8] ^= static_cast<std::uint8_t>(1 << (seed.flipBit % 8));
    Bytes input = {0};  // block 0
    Append16(input, seed.capacity);
    input.insert(input.end(), block.begin(), block.end());
    Write("settings_block", seed.name, input);
  }
}

void SettingsStoreSeeds() {
  // Operation byte, id index, type byte, then the operation's own fields (see the target).
  Bytes sequence;
  auto put = [&](std::uint8_t id, std::uint8_t type, std::uint16_t length, const Bytes& data) {
    sequence.insert(sequence.end(), {0, id, type});
    Append16(sequence, length);
    Append32(sequence, 0);
    // The target takes min(length, 64) data bytes and repeats them.
    Bytes given = data;
    given.resize(std::min<std::size_t>(length, 64), 0x5A);
    sequence.insert(sequence.end(), given.begin(), given.end());
  };
  const Bytes partNumber = {'5', 0, '2', 0, '6', 0, '1', 0, '4', 0, '-', 0, '1', 0, '2', 0};
  put(1, 3, static_cast<std::uint16_t>(partNumber.size()), partNumber);  // id 2 in type 4
  put(3, 0, 40, {1, 2, 3, 4});
  put(4, 0, 4084, {9});
  sequence.insert(sequence.end(), {3, 0, 0});         // update request
  sequence.insert(sequence.end(), {4, 0, 0});         // flush and reload
  sequence.insert(sequence.end(), {5, 0, 0, 20});     // part number, 20 characters
  sequence.insert(sequence.end(), {1, 3, 0, 40, 0});  // get id 9
  sequence.insert(sequence.end(), {2, 3, 0});         // remove id 9
  Write("settings_store", "part-number-and-records", sequence);
  Write("settings_store", "empty", {});
}

void NorFlashSeeds() {
  // Structured query table: flags, manufacturer, counts, sizes, exponents, table bytes.
  Bytes valid(kPartitionTableSize);
  const std::uint32_t sizes[2] = {0x2000, 0x8000};
  const std::uint32_t counts[2] = {8, 62};
  if (!PartitionTable::BuildDefault(valid.data(), sizes, counts))
    std::fprintf(stderr, "no table\n");
  Bytes twoRegions = {0x20, 0x89, 0x00, 7, 0x20, 61, 0x80, 0x0F};
  twoRegions.insert(twoRegions.end(), valid.begin(), valid.end());
  const std::uint8_t operations[] = {0, 5, 0, 1, 5, 0, 1, 0, 0x10, 1, 0x31, 65, 0, 3, 0, 7, 0};
  twoRegions.insert(twoRegions.end(), std::begin(operations), std::end(operations));
  Write("nor_flash_open", "two-regions-valid-table", twoRegions);
  Bytes rebuilt = {0x20, 0x89, 0x00, 7, 0x20, 61, 0x80, 0x0F};
  rebuilt.resize(rebuilt.size() + kPartitionTableSize, 0xFF);
  Write("nor_flash_open", "two-regions-erased", rebuilt);
  Bytes raw = {0x10, 0x89, 0x00};
  const auto query = memory_device::MakeQueryTable({64, 0x8000}, {0, 0});
  raw.insert(raw.end(), query.begin(), query.end());
  raw.resize(raw.size() + kPartitionTableSize, 0xFF);
  Write("nor_flash_open", "raw-query-one-region", raw);
}

signer::PrivateKey LoadKey(const std::filesystem::path& keyDirectory, int index) {
  std::string error;
  auto key =
      signer::LoadPrivateKey(keyDirectory / ("key" + std::to_string(index) + ".pem"), &error);
  if (!key) std::fprintf(stderr, "%s\n", error.c_str());
  return key;
}

void VerifyImageSeeds(const std::filesystem::path& keyDirectory) {
  signer::ImageHeader header{};
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = static_cast<std::uint8_t>(i + 1);
  for (int index = 0; index < 4; ++index) {
    const auto key = LoadKey(keyDirectory, index);
    struct Shape {
      const char* name;
      std::size_t payload;
      std::size_t recordSize;
    };
    for (const Shape shape :
         {Shape{"one-record", 10, 64}, Shape{"three-records", 50, 20}, Shape{"no-data", 0, 1}}) {
      Bytes payload(shape.payload);
      for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 3);
      Bytes image;
      std::string error;
      if (!signer::SignImage(payload, key, header, shape.recordSize, &image, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        continue;
      }
      for (std::uint8_t mode : {0, 8}) {
        Bytes input = {static_cast<std::uint8_t>(index | mode)};
        input.insert(input.end(), image.begin(), image.end());
        Write("verify_image",
              std::string(shape.name) + "-key" + std::to_string(index) + (mode ? "-compact" : ""),
              input);
      }
    }
  }
}

// A PKCS#1 v1.5 signature of the digest, with the DigestInfo of `md` or (null) without one.
Bytes SignDigest(const signer::PrivateKey& key, const Bytes& digest, const EVP_MD* md) {
  auto* pkey = static_cast<EVP_PKEY*>(key.Handle());
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(pkey, nullptr);
  Bytes signature(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
  std::size_t length = signature.size();
  if (EVP_PKEY_sign_init(context) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) != 1 ||
      (md && EVP_PKEY_CTX_set_signature_md(context, md) != 1) ||
      EVP_PKEY_sign(context, signature.data(), &length, digest.data(), digest.size()) != 1) {
    signature.clear();
  }
  EVP_PKEY_CTX_free(context);
  return signature;
}

void DigestSignatureSeeds(const std::filesystem::path& keyDirectory) {
  const auto key = LoadKey(keyDirectory, 0);
  std::ifstream in(keyDirectory / "key0.der", std::ios::binary);
  const Bytes der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  struct Seed {
    const char* name;
    std::uint8_t selector;  // 0 MD5, 2 SHA-1
    std::size_t digestLength;
    const EVP_MD* md;
  };
  for (const Seed seed :
       {Seed{"sha1-digest-info", 2, 20, EVP_sha1()}, Seed{"sha1-bare-digest", 2, 20, nullptr},
        Seed{"md5-digest-info", 0, 16, EVP_md5()}}) {
    Bytes digest(seed.digestLength);
    for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(0xA0 + i);
    const Bytes signature = SignDigest(key, digest, seed.md);
    Bytes input = {seed.selector, static_cast<std::uint8_t>(digest.size())};
    input.insert(input.end(), digest.begin(), digest.end());
    input.push_back(static_cast<std::uint8_t>(der.size()));
    input.insert(input.end(), der.begin(), der.end());
    input.insert(input.end(), signature.begin(), signature.end());
    Write("verify_digest_signature", seed.name, input);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_seed_corpus DIR KEY_DIR\n");
    return 2;
  }
  outputRoot = argv[1];
  const std::filesystem::path keyDirectory = argv[2];
  PartitionTableSeeds();
  EccSeeds();
  SettingsBlockSeeds();
  SettingsStoreSeeds();
  NorFlashSeeds();
  VerifyImageSeeds(keyDirectory);
  DigestSignatureSeeds(keyDirectory);
  return 0;
}

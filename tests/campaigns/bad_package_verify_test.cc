// Bad packages through the verifier: every truncation of each file of a small signed package
// set at every byte, and every single-bit flip, must be rejected, in the mode and with the key
// the update uses for that file; a larger file is sampled. The OpenSSL-based reference walk
// of the container must agree on every result.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "signing/image_verifier.h"
#include "testsupport/memory_device.h"
#include "testsupport/reference_verifier.h"
#include "tools/signer/signer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const signer::PrivateKey& SigningKey(int index) {
  static std::vector<signer::PrivateKey> keys = [] {
    std::vector<signer::PrivateKey> loaded;
    for (int i = 0; i < 4; ++i) {
      std::string error;
      loaded.push_back(signer::LoadPrivateKey(
          std::string(ORVANTA_KEY_DIR) + "/key" + std::to_string(i) + ".pem", &error));
    }
    return loaded;
  }();
  return keys[index];
}

const reference::PublicKey& ReferenceKey(int index) {
  return *reference::BuiltInKey(static_cast<std::uint32_t>(index));
}

struct PackageFile {
  const char* name;
  int keyIndex;
  BOOL verifyOnly;
  std::size_t payloadSize;
  std::size_t recordSize;
};

Bytes Sign(const PackageFile& file) {
  Bytes payload(file.payloadSize);
  for (std::size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<std::uint8_t>(i * 13 + 5);
  signer::ImageHeader header{};
  header[0] = static_cast<std::uint8_t>(file.keyIndex);
  header[15] = 0x5A;
  Bytes image;
  std::string error;
  EXPECT_TRUE(signer::SignImage(payload, SigningKey(file.keyIndex), header, file.recordSize, &image,
                                &error))
      << error;
  return image;
}

// The verifier's result for `bytes` in the file's mode, on a buffer exactly as long as them.
LONG Verify(const PackageFile& file, const Bytes& bytes) {
  Bytes buffer = bytes;
  return VerifyImage(nullptr, buffer.empty() ? nullptr : buffer.data(),
                     static_cast<DWORD>(buffer.size()), static_cast<DWORD>(file.keyIndex),
                     file.verifyOnly, nullptr);
}

struct Tally {
  std::size_t cases = 0;
  std::size_t accepted = 0;
  std::size_t disagreements = 0;
};

void Check(const PackageFile& file, const Bytes& damaged, Tally& tally, const std::string& what) {
  const LONG result = Verify(file, damaged);
  const std::int32_t expected =
      reference::VerifyImage(damaged, &ReferenceKey(file.keyIndex), nullptr);
  ++tally.cases;
  if (result > 0) {
    ++tally.accepted;
    ADD_FAILURE() << file.name << ": " << what << " was accepted (" << result << ")";
  }
  if (result != expected) {
    ++tally.disagreements;
    ADD_FAILURE() << file.name << ": " << what << " gives " << result << ", the reference "
                  << expected;
  }
}

class BadPackageVerify : public ::testing::TestWithParam<PackageFile> {};

TEST_P(BadPackageVerify, EveryTruncationAndBitFlipIsRejected) {
  const PackageFile& file = GetParam();
  const Bytes image = Sign(file);
  ASSERT_EQ(Verify(file, image), static_cast<LONG>(file.payloadSize));

  // Small files: every case. Large files: an even spread of truncations and random flips.
  const bool exhaustive = image.size() <= 4096;
  const std::size_t samples = 1500;
  Tally tally;
  std::mt19937 random(7);
  for (std::size_t i = 0; i < (exhaustive ? image.size() : samples); ++i) {
    const std::size_t length = exhaustive ? i : i * image.size() / samples;
    Check(file, Bytes(image.begin(), image.begin() + static_cast<long>(length)), tally,
          "truncation to " + std::to_string(length) + " bytes");
  }
  for (std::size_t i = 0; i < (exhaustive ? 8 * image.size() : samples); ++i) {
    const std::size_t bit = exhaustive ? i : random() % (8 * image.size());
    Bytes damaged = image;
    damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    Check(file, damaged, tally,
          "flip of bit " + std::to_string(bit % 8) + " of byte " + std::to_string(bit / 8));
  }
  // One byte too many is not the file that was signed either.
  Bytes longer = image;
  longer.push_back(0);
  Check(file, longer, tally, "one extra byte");
  EXPECT_EQ(tally.accepted, 0u);
  EXPECT_EQ(tally.disagreements, 0u);
  RecordProperty("cases", static_cast<int>(tally.cases));
  std::printf("%s: %zu bytes, %zu damaged copies (%s), %zu accepted\n", file.name, image.size(),
              tally.cases, exhaustive ? "every truncation and bit flip" : "sampled",
              tally.accepted);
}

// The files of one update, each with the key and mode the update verifies it with, and a
// larger variant image whose cases are sampled.
INSTANTIATE_TEST_SUITE_P(PackageSet, BadPackageVerify,
                         ::testing::Values(PackageFile{"sdisk.bc", 0, TRUE, 48, 16},
                                           PackageFile{"syaffs.bc (variant 1)", 1, TRUE, 40, 40},
                                           PackageFile{"syaffs.bc (variant 3)", 3, TRUE, 20, 8},
                                           PackageFile{"_seboot.nb0", 0, FALSE, 64, 32},
                                           PackageFile{"large syaffs.bc (variant 2)", 2, TRUE,
                                                       40000, 4096},
                                           PackageFile{"large _seboot.nb0", 0, FALSE, 20000, 2048}),
                         [](const ::testing::TestParamInfo<PackageFile>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c; ++c)
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                           return name;
                         });

}  // namespace

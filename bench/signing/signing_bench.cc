// The signature library and the verifier beside OpenSSL on the same bytes, in one run.
//
// Each figure runs twice, once through this system's code and once through OpenSSL, and the
// program ends with one ratio line per figure (this system / OpenSSL, higher is better) and
// its target.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/rate_reporter.h"
#include "signing/hash_object.h"
#include "signing/image_verifier.h"
#include "signing/key_table.h"
#include "signing/sha1.h"
#include "signing/signature_check.h"
#include "testsupport/reference_verifier.h"
#include "testsupport/stand_in_dialog.h"
#include "tools/signer/signer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t HashBufferSize = 1 << 20;
constexpr std::size_t ImageSize = 100'000'000;
constexpr std::size_t ImageRecordSize = 64 << 10;

const Bytes& RandomBytes(std::size_t size) {
  static std::map<std::size_t, Bytes> cache;
  Bytes& bytes = cache[size];
  if (bytes.empty()) {
    bytes.resize(size);
    std::mt19937 random(42);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  }
  return bytes;
}

const signer::PrivateKey& Key() {
  static signer::PrivateKey key = [] {
    std::string error;
    signer::PrivateKey loaded =
        signer::LoadPrivateKey(std::string(ORVANTA_KEY_DIR) + "/key0.pem", &error);
    if (!loaded) std::fprintf(stderr, "%s\n", error.c_str());
    return loaded;
  }();
  return key;
}

// --- hashing ---------------------------------------------------------------------------

void HashWithObject(benchmark::State& state, ALG_ID algorithm) {
  const Bytes& data = RandomBytes(HashBufferSize);
  BYTE digest[MaxDigestSize];
  for (auto _ : state) {
    HashObject* hash = nullptr;
    if (CreateHashObject(algorithm, &hash) != 0) state.SkipWithError("no hash object");
    const ByteBlob blob = {static_cast<DWORD>(data.size()), data.data()};
    benchmark::DoNotOptimize(HashDataBlobs(algorithm, hash, 1, &blob));
    DWORD length = 0;
    benchmark::DoNotOptimize(GetHashValue(algorithm, hash, digest, &length));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void HashWithOpenSsl(benchmark::State& state, const EVP_MD* type) {
  const Bytes& data = RandomBytes(HashBufferSize);
  unsigned char digest[EVP_MAX_MD_SIZE];
  for (auto _ : state) {
    unsigned length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, type, nullptr);
    benchmark::DoNotOptimize(digest);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}

void Sha1Selected(benchmark::State& state) {
  HashWithObject(state, CALG_SHA1);
}
void Sha1Portable(benchmark::State& state) {
  const Sha1BlockFunction selected = Sha1SelectedBlocks;
  Sha1SelectedBlocks = Sha1PortableBlocks;
  HashWithObject(state, CALG_SHA1);
  Sha1SelectedBlocks = selected;
}
void Sha1OpenSsl(benchmark::State& state) {
  HashWithOpenSsl(state, EVP_sha1());
}
void Md5Object(benchmark::State& state) {
  HashWithObject(state, CALG_MD5);
}
void Md5OpenSsl(benchmark::State& state) {
  HashWithOpenSsl(state, EVP_md5());
}

// --- RSA-1024 verification ---------------------------------------------------------------

struct SignedDigest {
  Bytes digest;
  Bytes signature;
};

const SignedDigest& Signed() {
  static SignedDigest value = [] {
    SignedDigest result;
    const Bytes message = {'b', 'e', 'n', 'c', 'h'};
    result.digest.resize(20);
    unsigned length = 0;
    EVP_Digest(message.data(), message.size(), result.digest.data(), &length, EVP_sha1(), nullptr);
    EVP_PKEY* pkey = static_cast<EVP_PKEY*>(Key().Handle());
    result.signature.resize(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
    std::size_t signatureLength = result.signature.size();
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(pkey, nullptr);
    EVP_PKEY_sign_init(context);
    EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(context, EVP_sha1());
    EVP_PKEY_sign(context, result.signature.data(), &signatureLength, result.digest.data(), 20);
    EVP_PKEY_CTX_free(context);
    return result;
  }();
  return value;
}

void RsaVerifyObject(benchmark::State& state) {
  if (!Key()) return state.SkipWithError("no private key in the key directory");
  const SignedDigest& value = Signed();
  const ByteBlob signature = {static_cast<DWORD>(value.signature.size()), value.signature.data()};
  const ByteBlob key = {BuiltInKeySize, KeyTable[0]};
  for (auto _ : state) {
    const DWORD result = VerifyDigestSignature(CALG_SHA1, value.digest.data(), 20, signature, key);
    if (result != 0) state.SkipWithError("verification failed");
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// The OpenSSL side gets the key parsed once, which is the faster way to use it.
EVP_PKEY* PublicKey() {
  static EVP_PKEY* key = [] {
    const unsigned char* der = KeyTable[0];
    return d2i_PUBKEY(nullptr, &der, BuiltInKeySize);
  }();
  return key;
}

bool OpenSslVerifyDigest(EVP_PKEY_CTX* context, const BYTE* digest, const BYTE* signature,
                         std::size_t signatureLength) {
  return EVP_PKEY_verify(context, signature, signatureLength, digest, 20) == 1;
}

EVP_PKEY_CTX* OpenSslVerifier() {
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(PublicKey(), nullptr);
  EVP_PKEY_verify_init(context);
  EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(context, EVP_sha1());
  return context;
}

void RsaVerifyOpenSsl(benchmark::State& state) {
  if (!Key()) return state.SkipWithError("no private key in the key directory");
  const SignedDigest& value = Signed();
  EVP_PKEY_CTX* context = OpenSslVerifier();
  for (auto _ : state) {
    const bool good = OpenSslVerifyDigest(context, value.digest.data(), value.signature.data(),
                                          value.signature.size());
    if (!good) state.SkipWithError("verification failed");
    benchmark::DoNotOptimize(good);
  }
  EVP_PKEY_CTX_free(context);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// --- VerifyImage of a 100 MB image with 64 KiB records ----------------------------------

const Bytes& Image() {
  static Bytes image = [] {
    const Bytes& payload = RandomBytes(ImageSize - 23 - 1527 * (9 + 128));
    signer::ImageHeader header = {};
    header[0] = 0x42;
    Bytes result;
    std::string error;
    if (!signer::SignImage(payload, Key(), header, ImageRecordSize, &result, &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
    }
    return result;
  }();
  return image;
}

void VerifyImageObject(benchmark::State& state) {
  if (!Key()) return state.SkipWithError("no private key in the key directory");
  Bytes image = Image();
  UpdateDialog dialog;
  for (auto _ : state) {
    const LONG result =
        VerifyImage(&dialog, image.data(), static_cast<DWORD>(image.size()), 0, TRUE, nullptr);
    if (result <= 0) state.SkipWithError("the image did not verify");
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
}

// The same walk and the same checks as VerifyImage, with OpenSSL's SHA-1 and RSA.
void VerifyImageOpenSsl(benchmark::State& state) {
  if (!Key()) return state.SkipWithError("no private key in the key directory");
  const Bytes& image = Image();
  const reference::PublicKey key =
      reference::PublicKey::FromDer({KeyTable[0], KeyTableLengths[0]});
  for (auto _ : state) {
    const std::int32_t result = reference::VerifyImage(image, &key, nullptr);
    if (result <= 0) state.SkipWithError("the image did not verify");
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
}

BENCHMARK(Sha1Selected)->Name("Sha1/Orvanta")->Unit(benchmark::kMicrosecond);
BENCHMARK(Sha1Portable)->Name("Sha1/OrvantaPortable")->Unit(benchmark::kMicrosecond);
BENCHMARK(Sha1OpenSsl)->Name("Sha1/OpenSsl")->Unit(benchmark::kMicrosecond);
BENCHMARK(Md5Object)->Name("Md5/Orvanta")->Unit(benchmark::kMicrosecond);
BENCHMARK(Md5OpenSsl)->Name("Md5/OpenSsl")->Unit(benchmark::kMicrosecond);
BENCHMARK(RsaVerifyObject)->Name("Rsa1024Verify/Orvanta");
BENCHMARK(RsaVerifyOpenSsl)->Name("Rsa1024Verify/OpenSsl");
BENCHMARK(VerifyImageObject)->Name("VerifyImage100MB/Orvanta")->Unit(benchmark::kMillisecond);
BENCHMARK(VerifyImageOpenSsl)->Name("VerifyImage100MB/OpenSsl")->Unit(benchmark::kMillisecond);

void PrintRatio(const RateReporter& reporter, const char* figure, const std::string& ours,
                const std::string& theirs, double target) {
  const auto a = reporter.rates.find(ours);
  const auto b = reporter.rates.find(theirs);
  if (a == reporter.rates.end() || b == reporter.rates.end() || b->second == 0) {
    std::printf("ratio %-38s not measured\n", figure);
    return;
  }
  const double ratio = a->second / b->second;
  std::printf("ratio %-38s %5.2fx OpenSSL (target >= %.1fx): %s\n", figure, ratio, target,
              ratio >= target ? "reached" : "NOT reached");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("SHA-1 block function: %s\n",
              Sha1SelectedBlocks == Sha1PortableBlocks ? "portable" : "SHA extensions");
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  PrintRatio(reporter, "SHA-1, 1 MiB", "Sha1/Orvanta", "Sha1/OpenSsl", 1.0);
  PrintRatio(reporter, "SHA-1 portable, 1 MiB", "Sha1/OrvantaPortable", "Sha1/OpenSsl", 0.7);
  PrintRatio(reporter, "MD5, 1 MiB", "Md5/Orvanta", "Md5/OpenSsl", 0.9);
  PrintRatio(reporter, "RSA-1024 verifications per second", "Rsa1024Verify/Orvanta",
             "Rsa1024Verify/OpenSsl", 0.5);
  PrintRatio(reporter, "VerifyImage, 100 MB in 64 KiB records", "VerifyImage100MB/Orvanta",
             "VerifyImage100MB/OpenSsl", 0.9);
  benchmark::Shutdown();
  return 0;
}

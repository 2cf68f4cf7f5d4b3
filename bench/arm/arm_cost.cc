// One measured operation per run, for counting the instructions the device's processor executes
// (scripts/bench-arm runs this under qemu-arm and counts every executed instruction).
//
//   arm_cost prepare DIR             signs the inputs once (a digest signature and a 1 MiB image)
//   arm_cost ITEM measure DIR        sets ITEM up and runs its operation
//   arm_cost ITEM baseline DIR       the same set-up, without the operation
//   arm_cost list                    the items: name, the number of units the operation covers
//                                    (the count is divided by it) and the unit
//
// The two runs of an item differ only in the measured call, so the difference of their counts
// is the operation's cost: start-up, input files and set-up cancel out. A failed operation
// ends the measure run with status 1 instead of giving a figure.
//
// The anchors run the same work through OpenSSL's libcrypto and BearSSL built for the same
// processor.
#include <bearssl/bearssl.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "flash/nor_flash.h"
#include "flash/nor_flash_mutex.h"
#include "testsupport/memory_device.h"
#include "testsupport/reference_verifier.h"
#include "settings/ecc_code.h"
#include "settings/settings_block.h"
#include "signing/image_verifier.h"
#include "signing/key_table.h"
#include "signing/md5.h"
#include "signing/sha1.h"
#include "signing/signature_check.h"
#include "tools/signer/signer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t HashBytes = 64 << 10;
constexpr std::size_t EccChunkCount = 64;
constexpr std::size_t ImagePayloadBytes = 1 << 20;
constexpr std::size_t ImageRecordBytes = 64 << 10;
constexpr DWORD SettingsPayloadBytes = 4096;
// The first 32 KiB block of the in-memory chip (eight 8 KiB blocks come before it).
constexpr DWORD ProgramBlock = 8;
constexpr DWORD ProgramBytes = 0x8000;
constexpr std::size_t Sha1DigestBytes = 20;

std::string Directory;
bool failed = false;

void Require(bool condition) {
  if (!condition) failed = true;
}

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  std::uint32_t state = 0x12345678u;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

Bytes ReadFile(const std::string& name) {
  std::ifstream file(Directory + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& name, const Bytes& bytes) {
  std::ofstream file(Directory + "/" + name, std::ios::binary);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

const Bytes& Digest() {
  static const Bytes digest = [] {
    Bytes result(Sha1DigestBytes);
    const Bytes message = {'b', 'e', 'n', 'c', 'h'};
    unsigned length = 0;
    EVP_Digest(message.data(), message.size(), result.data(), &length, EVP_sha1(), nullptr);
    return result;
  }();
  return digest;
}

// --- prepare --------------------------------------------------------------------------

int Prepare(const std::string& keyFile) {
  std::string error;
  const signer::PrivateKey key = signer::LoadPrivateKey(keyFile, &error);
  if (!key) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  EVP_PKEY* pkey = static_cast<EVP_PKEY*>(key.Handle());
  Bytes signature(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
  std::size_t signatureLength = signature.size();
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(pkey, nullptr);
  const bool signedDigest = EVP_PKEY_sign_init(context) == 1 &&
                            EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
                            EVP_PKEY_CTX_set_signature_md(context, EVP_sha1()) == 1 &&
                            EVP_PKEY_sign(context, signature.data(), &signatureLength,
                                          Digest().data(), Digest().size()) == 1;
  EVP_PKEY_CTX_free(context);
  signer::ImageHeader header = {};
  header[0] = 0x42;
  Bytes image;
  if (!signedDigest || !signer::SignImage(Pattern(ImagePayloadBytes), key, header,
                                          ImageRecordBytes, &image, &error)) {
    std::fprintf(stderr, "signing failed %s\n", error.c_str());
    return 1;
  }
  return WriteFile("signature.bin", signature) && WriteFile("image.bin", image) ? 0 : 1;
}

// --- RSA-1024 verification ------------------------------------------------------------

Bytes Signature;
EVP_PKEY_CTX* OpenSslVerifier = nullptr;
Bytes BearModulus;
Bytes BearExponent;
br_rsa_public_key BearKey;
Bytes BearValue;

EVP_PKEY_CTX* NewOpenSslVerifier() {
  const unsigned char* der = KeyTable[0];
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &der, BuiltInKeySize);
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
  EVP_PKEY_verify_init(context);
  EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(context, EVP_sha1());
  return context;
}

bool OpenSslVerifyDigest(const BYTE* digest, const BYTE* signature, std::size_t length) {
  return EVP_PKEY_verify(OpenSslVerifier, signature, length, digest, Sha1DigestBytes) == 1;
}

void SetUpRsa() {
  Signature = ReadFile("signature.bin");
  Digest();
}
void RunRsa() {
  const ByteBlob signature = {static_cast<DWORD>(Signature.size()), Signature.data()};
  const ByteBlob key = {BuiltInKeySize, KeyTable[0]};
  Require(VerifyDigestSignature(CALG_SHA1, Digest().data(), Sha1DigestBytes, signature, key) == 0);
}

void SetUpRsaOpenSsl() {
  SetUpRsa();
  OpenSslVerifier = NewOpenSslVerifier();
}
void RunRsaOpenSsl() {
  Require(OpenSslVerifyDigest(Digest().data(), Signature.data(), Signature.size()));
}

Bytes BigEndian(const EVP_PKEY* key, const char* name) {
  BIGNUM* number = nullptr;
  EVP_PKEY_get_bn_param(key, name, &number);
  Bytes bytes(static_cast<std::size_t>(BN_num_bytes(number)));
  BN_bn2bin(number, bytes.data());
  BN_free(number);
  return bytes;
}

void SetUpRsaBearSsl() {
  SetUpRsa();
  const unsigned char* der = KeyTable[0];
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &der, BuiltInKeySize);
  BearModulus = BigEndian(key, OSSL_PKEY_PARAM_RSA_N);
  BearExponent = BigEndian(key, OSSL_PKEY_PARAM_RSA_E);
  EVP_PKEY_free(key);
  BearKey = {BearModulus.data(), BearModulus.size(), BearExponent.data(), BearExponent.size()};
  BearValue = Signature;
}
// The raw public operations alone: s^e mod n for the same key and signature.
BYTE KeyBlob[KeyBlobSize];
DWORD RsaInput[RsaValueBufferWords];
DWORD RsaOutput[RsaValueBufferWords];

void SetUpRsaPublic() {
  SetUpRsaBearSsl();
  Require(MakeKeyBlob({static_cast<DWORD>(BearModulus.size()), BearModulus.data()},
                      {static_cast<DWORD>(BearExponent.size()), BearExponent.data()},
                      KeyBlob) == 0);
  BYTE* const input = reinterpret_cast<BYTE*>(RsaInput);
  for (std::size_t i = 0; i < Signature.size(); ++i) input[i] = Signature[Signature.size() - 1 - i];
}
void RunRsaPublic() {
  Require(RsaPublicOperation(KeyBlob, RsaInput, RsaOutput) != 0);
  // The block ends with the digest; the output is least significant byte first.
  const BYTE* const output = reinterpret_cast<const BYTE*>(RsaOutput);
  for (std::size_t i = 0; i < Sha1DigestBytes; ++i) {
    Require(output[i] == Digest()[Sha1DigestBytes - 1 - i]);
  }
}

void RunRsaBearSsl() {
  Require(br_rsa_i31_public(BearValue.data(), BearValue.size(), &BearKey) == 1);
  // The block ends with the digest.
  Require(std::memcmp(BearValue.data() + BearValue.size() - Sha1DigestBytes, Digest().data(),
                      Sha1DigestBytes) == 0);
}

// --- hashes ---------------------------------------------------------------------------

Bytes HashInput;
Sha1State Sha1Context;
Md5State Md5Context;
EVP_MD_CTX* OpenSslHash = nullptr;
br_sha1_context BearSha1;
br_md5_context BearMd5;

void SetUpHash() {
  HashInput = Pattern(HashBytes);
}

void SetUpSha1() {
  SetUpHash();
  Sha1Initialize(Sha1Context);
}
void RunSha1() {
  Sha1Update(Sha1Context, HashInput.data(), HashBytes);
}

void SetUpMd5() {
  SetUpHash();
  Md5Initialize(Md5Context);
}
void RunMd5() {
  Md5Update(Md5Context, HashInput.data(), HashBytes);
}

void SetUpOpenSslHash(const EVP_MD* type) {
  SetUpHash();
  OpenSslHash = EVP_MD_CTX_new();
  EVP_DigestInit_ex(OpenSslHash, type, nullptr);
}
void SetUpSha1OpenSsl() {
  SetUpOpenSslHash(EVP_sha1());
}
void SetUpMd5OpenSsl() {
  SetUpOpenSslHash(EVP_md5());
}
void RunOpenSslHash() {
  Require(EVP_DigestUpdate(OpenSslHash, HashInput.data(), HashBytes) == 1);
}

void SetUpSha1BearSsl() {
  SetUpHash();
  br_sha1_init(&BearSha1);
}
void RunSha1BearSsl() {
  br_sha1_update(&BearSha1, HashInput.data(), HashBytes);
}
void SetUpMd5BearSsl() {
  SetUpHash();
  br_md5_init(&BearMd5);
}
void RunMd5BearSsl() {
  br_md5_update(&BearMd5, HashInput.data(), HashBytes);
}

// --- settings -------------------------------------------------------------------------

alignas(4) BYTE EccCodes[EccChunkCount][3];

void SetUpEcc() {
  SetUpHash();
}
void RunEcc() {
  for (std::size_t chunk = 0; chunk < EccChunkCount; ++chunk) {
    EccCode::Compute(HashInput.data() + chunk * kEccMaxDataLength, kEccMaxDataLength,
                     EccCodes[chunk]);
  }
}

BYTE SettingsBuffer[SettingsPayloadBytes];
DWORD SettingsBlockNumber = 0;

void OpenChip() {
  memory_device::Reset(memory_device::ChipConfig{});
  NorFlashMutex::Acquire();
  Require(NorFlash::Open() == 1);
  NorFlashMutex::Release();
}

void SetUpSettingsRead() {
  OpenChip();
  SettingsBlockNumber = ProgramBlock;
  const Bytes payload = Pattern(SettingsPayloadBytes);
  Require(SettingsBlock::Write(SettingsBlockNumber, payload.data(), SettingsPayloadBytes));
}
void RunSettingsRead() {
  Require(SettingsBlock::Read(SettingsBlockNumber, SettingsBuffer, sizeof SettingsBuffer));
}

// --- images and flash -----------------------------------------------------------------

Bytes Image;
UpdateDialog* const NoDialog = nullptr;

void SetUpImage() {
  Image = ReadFile("image.bin");
}
void RunImage() {
  Require(VerifyImage(NoDialog, Image.data(), static_cast<DWORD>(Image.size()), 0, TRUE,
                      nullptr) == static_cast<LONG>(ImagePayloadBytes));
}

// The same walk and checks as VerifyImage, with OpenSSL's SHA-1 and RSA.
reference::PublicKey ReferenceKey;

void SetUpImageOpenSsl() {
  SetUpImage();
  ReferenceKey = reference::PublicKey::FromDer({KeyTable[0], KeyTableLengths[0]});
}
void RunImageOpenSsl() {
  Require(reference::VerifyImage(Image, &ReferenceKey, nullptr) ==
          static_cast<std::int32_t>(ImagePayloadBytes));
}

Bytes ProgramData;

void SetUpProgram() {
  OpenChip();
  ProgramData = Pattern(ProgramBytes);
  NorFlashMutex::Acquire();
  Require(NorFlash::BlockSize(ProgramBlock) == ProgramBytes);
  Require(NorFlash::EraseBlock(ProgramBlock) == 1);
}
void RunProgram() {
  Require(NorFlash::Program(ProgramBlock, 0, ProgramData.data(), ProgramBytes) == 1);
}

struct Item {
  const char* name;
  std::size_t units;
  const char* unit;
  void (*setUp)();
  void (*run)();
};

// Per-unit figures: hashes per KiB, the code per 256-byte chunk, programming per word.
constexpr Item Items[] = {
    {"rsa", 1, "verification", SetUpRsa, RunRsa},
    {"rsa-openssl", 1, "verification", SetUpRsaOpenSsl, RunRsaOpenSsl},
    {"rsa-public", 1, "operation", SetUpRsaPublic, RunRsaPublic},
    {"rsa-public-bearssl", 1, "operation", SetUpRsaBearSsl, RunRsaBearSsl},
    {"sha1", HashBytes / 1024, "KiB", SetUpSha1, RunSha1},
    {"sha1-openssl", HashBytes / 1024, "KiB", SetUpSha1OpenSsl, RunOpenSslHash},
    {"sha1-bearssl", HashBytes / 1024, "KiB", SetUpSha1BearSsl, RunSha1BearSsl},
    {"md5", HashBytes / 1024, "KiB", SetUpMd5, RunMd5},
    {"md5-openssl", HashBytes / 1024, "KiB", SetUpMd5OpenSsl, RunOpenSslHash},
    {"md5-bearssl", HashBytes / 1024, "KiB", SetUpMd5BearSsl, RunMd5BearSsl},
    {"ecc", EccChunkCount, "256 bytes", SetUpEcc, RunEcc},
    {"settings-read", 1, "4096-byte read", SetUpSettingsRead, RunSettingsRead},
    {"verify-image", 1, "1 MiB image", SetUpImage, RunImage},
    {"verify-image-openssl", 1, "1 MiB image", SetUpImageOpenSsl, RunImageOpenSsl},
    {"program", ProgramBytes / 2, "word", SetUpProgram, RunProgram},
};

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "list") {
    for (const Item& item : Items) std::printf("%s %zu %s\n", item.name, item.units, item.unit);
    return 0;
  }
  if (command == "prepare" && argc == 4) {
    Directory = argv[2];
    return Prepare(argv[3]);
  }
  if (argc != 4) {
    std::fprintf(stderr, "usage: arm_cost list | prepare DIR KEY.pem | ITEM measure|baseline DIR\n");
    return 2;
  }
  Directory = argv[3];
  const std::string mode = argv[2];
  for (const Item& item : Items) {
    if (command != item.name) continue;
    item.setUp();
    if (mode == "measure") item.run();
    return failed ? 1 : 0;
  }
  std::fprintf(stderr, "unknown item %s\n", command.c_str());
  return 2;
}

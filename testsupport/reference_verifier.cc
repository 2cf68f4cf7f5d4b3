#include "testsupport/reference_verifier.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace reference {
namespace {

EVP_PKEY* Key(void* key) {
  return static_cast<EVP_PKEY*>(key);
}

struct Prefix {
  std::uint32_t algorithm;
  std::vector<std::uint8_t> bytes;
};

const std::vector<Prefix>& Prefixes() {
  static const std::vector<Prefix> prefixes = {
      {kAlgorithmMd5,
       {0x30, 0x20, 0x30, 0x0C, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x05,
        0x00, 0x04, 0x10}},
      {kAlgorithmMd5,
       {0x30, 0x1E, 0x30, 0x0A, 0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05, 0x04,
        0x10}},
      {kAlgorithmSha1,
       {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14}},
      {kAlgorithmSha1,
       {0x30, 0x1F, 0x30, 0x07, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x04, 0x14}},
  };
  return prefixes;
}

std::uint32_t Little32(const std::uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

PublicKey::~PublicKey() {
  EVP_PKEY_CTX_free(static_cast<EVP_PKEY_CTX*>(context_));
  EVP_PKEY_free(Key(key_));
}
PublicKey::PublicKey(PublicKey&& other) noexcept
    : key_(std::exchange(other.key_, nullptr)),
      context_(std::exchange(other.context_, nullptr)),
      canonical_(other.canonical_) {}
PublicKey& PublicKey::operator=(PublicKey&& other) noexcept {
  std::swap(key_, other.key_);
  std::swap(context_, other.context_);
  std::swap(canonical_, other.canonical_);
  return *this;
}

PublicKey PublicKey::FromDer(std::span<const std::uint8_t> der) {
  PublicKey key;
  const unsigned char* p = der.data();
  EVP_PKEY* parsed = d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size()));
  if (parsed != nullptr && EVP_PKEY_get_base_id(parsed) == EVP_PKEY_RSA) {
    key.key_ = parsed;
    unsigned char* encoded = nullptr;
    const int length = i2d_PUBKEY(parsed, &encoded);
    key.canonical_ = length >= 0 && static_cast<std::size_t>(length) == der.size() &&
                     std::memcmp(encoded, der.data(), der.size()) == 0;
    OPENSSL_free(encoded);
  } else {
    EVP_PKEY_free(parsed);
  }
  return key;
}

PublicKey PublicKey::FromFile(const std::filesystem::path& derFile) {
  std::ifstream in(derFile, std::ios::binary);
  const Bytes der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return FromDer(der);
}

const PublicKey* BuiltInKey(std::uint32_t index) {
  static const std::vector<PublicKey> keys = [] {
    std::vector<PublicKey> loaded;
    for (int i = 0; i < 4; ++i)
      loaded.push_back(
          PublicKey::FromFile(std::string(ORVANTA_KEY_DIR) + "/key" + std::to_string(i) + ".der"));
    return loaded;
  }();
  return index < keys.size() ? &keys[index] : nullptr;
}

std::size_t PublicKey::Size() const {
  return key_ ? static_cast<std::size_t>(EVP_PKEY_get_size(Key(key_))) : 0;
}

std::optional<Bytes> PublicKey::RawPublicOperation(std::span<const std::uint8_t> signature) const {
  if (!key_ || signature.size() != Size()) return std::nullopt;
  // Encrypting with the public key and no padding is exactly signature^e mod n; OpenSSL
  // refuses a value that is not below the modulus. The context is set up once per key.
  auto* context = static_cast<EVP_PKEY_CTX*>(context_);
  if (context == nullptr) {
    context = EVP_PKEY_CTX_new(Key(key_), nullptr);
    if (context == nullptr || EVP_PKEY_encrypt_init(context) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context, RSA_NO_PADDING) != 1) {
      EVP_PKEY_CTX_free(context);
      return std::nullopt;
    }
    const_cast<PublicKey*>(this)->context_ = context;
  }
  Bytes out(Size());
  std::size_t outLength = out.size();
  if (EVP_PKEY_encrypt(context, out.data(), &outLength, signature.data(), signature.size()) != 1 ||
      outLength != out.size())
    return std::nullopt;
  return out;
}

std::uint32_t CheckBlock(std::span<const std::uint8_t> block, std::uint32_t algorithm,
                         std::span<const std::uint8_t> digest) {
  if (algorithm != kAlgorithmMd5 && algorithm != kAlgorithmSha1) return kBadAlgorithm;
  const std::size_t length = block.size();
  const std::size_t h = digest.size();
  if (h > 20 || h > length) return kBadSignature;
  if (!std::equal(digest.begin(), digest.end(), block.end() - h)) return kBadSignature;
  std::size_t p = 0;
  for (const Prefix& prefix : Prefixes()) {
    if (prefix.algorithm != algorithm || prefix.bytes.size() + h > length) continue;
    if (std::equal(prefix.bytes.begin(), prefix.bytes.end(),
                   block.end() - h - prefix.bytes.size())) {
      p = prefix.bytes.size();
      break;
    }
  }
  // Octets from the least significant end: digest (h), prefix (p), separator 00, then FF up to
  // the 01 00 at the top.
  if (h + p + 3 > length) return kBadSignature;
  const std::size_t separator = length - 1 - h - p;
  if (block[separator] != 0x00 || block[0] != 0x00 || block[1] != 0x01) return kBadSignature;
  for (std::size_t i = 2; i < separator; ++i)
    if (block[i] != 0xFF) return kBadSignature;
  return 0;
}

Bytes Sha1(std::span<const std::uint8_t> bytes) {
  Bytes digest(20);
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha1(), nullptr);
  return digest;
}

std::int32_t VerifyImage(std::span<const std::uint8_t> file, const PublicKey* key,
                         Bytes* payloads) {
  static const std::uint8_t kMagic[7] = {'R', '0', '0', '0', 'F', 'F', '\n'};
  static const std::uint8_t kReserved[12] = {};
  if (payloads) payloads->clear();
  if (key == nullptr) return -1;
  if (file.size() < 32 || std::memcmp(file.data(), kMagic, 7) != 0) return 0;
  const std::uint8_t* header = file.data() + 7;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> hash(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::uint64_t position = 23;
  std::uint64_t total = 0;
  std::uint32_t sequence = 1;
  while (file.size() - position >= 9) {
    const std::uint64_t remaining = file.size() - position;
    const std::uint8_t* head = file.data() + position;
    const std::uint64_t p = Little32(head);
    const std::uint64_t s = Little32(head + 4);
    const std::uint8_t type = head[8];
    if (p + s > remaining - 9) return -1;
    std::span<const std::uint8_t> payload(head + 9, p);
    std::span<const std::uint8_t> signature(head + 9 + p, s);
    // The signed message: payload, three zero words, type, header, sequence number.
    std::uint8_t sequenceBytes[4];
    for (int i = 0; i < 4; ++i) sequenceBytes[i] = static_cast<std::uint8_t>(sequence >> (8 * i));
    Bytes digest(20);
    unsigned int digestLength = 0;
    if (!hash || EVP_DigestInit_ex(hash.get(), EVP_sha1(), nullptr) != 1 ||
        EVP_DigestUpdate(hash.get(), payload.data(), payload.size()) != 1 ||
        EVP_DigestUpdate(hash.get(), kReserved, sizeof kReserved) != 1 ||
        EVP_DigestUpdate(hash.get(), &type, 1) != 1 ||
        EVP_DigestUpdate(hash.get(), header, 16) != 1 ||
        EVP_DigestUpdate(hash.get(), sequenceBytes, sizeof sequenceBytes) != 1 ||
        EVP_DigestFinal_ex(hash.get(), digest.data(), &digestLength) != 1)
      return -1;
    const auto block = key->RawPublicOperation(signature);
    if (!block || CheckBlock(*block, kAlgorithmSha1, digest) != 0) return -1;
    if (payloads) payloads->insert(payloads->end(), payload.begin(), payload.end());
    total += p;
    position += 9 + p + s;
    if (p == 0) return type == 2 && position == file.size() ? static_cast<std::int32_t>(total) : -1;
    if (type != 1) return -1;
    ++sequence;
  }
  return -1;
}

}  // namespace reference

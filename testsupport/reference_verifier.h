// An independent verifier of signatures and signed images on OpenSSL (EVP only), the oracle
// of the signing fuzz targets and of the bad-package campaign, and the OpenSSL check of a
// signed image that the benchmarks set beside the device's verifier.
//
// The raw RSA operation (signature^e mod n) comes from OpenSSL; the signature block rule and
// the container walk are written out here again from the format, not taken from signing/.
// A signature block of L octets (most significant first) is accepted when it reads
//   00 01, zero or more FF, 00, optionally a DigestInfo prefix of the algorithm, the digest
// where the prefix is the first of the algorithm's list that stands right before the digest.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace reference {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kAlgorithmMd5 = 0x8003;
inline constexpr std::uint32_t kAlgorithmSha1 = 0x8004;
inline constexpr std::uint32_t kBadSignature = 0x80090006u;
inline constexpr std::uint32_t kBadAlgorithm = 0x80090008u;

// An RSA public key parsed by OpenSSL. Empty when the DER does not parse as an RSA
// SubjectPublicKeyInfo. It keeps the context of its public operation, so one thread at a time
// uses a key.
class PublicKey {
 public:
  PublicKey() = default;
  ~PublicKey();
  PublicKey(PublicKey&&) noexcept;
  PublicKey& operator=(PublicKey&&) noexcept;
  static PublicKey FromDer(std::span<const std::uint8_t> der);
  static PublicKey FromFile(const std::filesystem::path& derFile);
  explicit operator bool() const { return key_ != nullptr; }
  // Whether OpenSSL's own encoding of the parsed key is exactly the DER it was parsed from.
  // A lenient parse (a BIT STRING with unused bits, say) may read other key values than the
  // device's reader does, so only canonical keys make a fair comparison.
  bool Canonical() const { return canonical_; }
  // Modulus length in octets.
  std::size_t Size() const;
  // signature^e mod n as Size() octets, or nothing when the signature is not Size() octets
  // long, not below the modulus, or OpenSSL refuses the key for the operation (an even
  // modulus, for one).
  std::optional<Bytes> RawPublicOperation(std::span<const std::uint8_t> signature) const;

 private:
  void* key_ = nullptr;
  void* context_ = nullptr;  // the public operation's, made on first use and kept
  bool canonical_ = false;
};

// 0, kBadSignature or kBadAlgorithm for a block (most significant octet first) and a digest,
// as the device's check must answer once the key and the RSA operation have passed.
std::uint32_t CheckBlock(std::span<const std::uint8_t> block, std::uint32_t algorithm,
                         std::span<const std::uint8_t> digest);

// Built-in key `index` (0 to 3) as OpenSSL reads it: the key directory the build turned into the
// device's key table. Null for any other index. Loaded once, on first use.
const PublicKey* BuiltInKey(std::uint32_t index);

// The SHA-1 digest of the bytes.
Bytes Sha1(std::span<const std::uint8_t> bytes);

// What VerifyImage must return for a file, walking the container exactly as the device does:
// 0 for a file shorter than 32 bytes or without the magic, -1 for a bad key index, a length
// that runs past the file, a signature that does not verify, a malformed chain; otherwise the
// payload total, with the payloads in file order in *payloads (when given). Each record's
// message is hashed where it lies, so that a large image costs what OpenSSL's own hash and RSA
// cost.
std::int32_t VerifyImage(std::span<const std::uint8_t> file, const PublicKey* key, Bytes* payloads);

}  // namespace reference

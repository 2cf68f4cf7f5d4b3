// The package signer: builds signed images with an RSA private key (OpenSSL 3, EVP only).
//
// The image layout and the signed message of a record are those that VerifyImage checks
// (signing/image_verifier.h): the 7-byte magic, the 16-byte image header, data records of at
// most `recordSize` payload bytes each (the last one takes the rest), then a final record
// with no payload. Every record's signature is PKCS#1 v1.5 over the SHA-1 digest of
// payload || 12 zero bytes || type || header || sequence number (32-bit little-endian).
//
// Nothing here throws; failures return false (or an empty key) and say why in *error, in
// plain words; OpenSSL's own error text of the last failure is kept apart (LibraryDetail).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace signer {

inline constexpr std::size_t ImageHeaderSize = 16;
using ImageHeader = std::array<std::uint8_t, ImageHeaderSize>;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t DataRecordType = 1;
inline constexpr std::uint8_t FinalRecordType = 2;

// An RSA private key. Movable, not copyable; an empty key (no value) is false.
class PrivateKey {
 public:
  PrivateKey();
  ~PrivateKey();
  PrivateKey(PrivateKey&&) noexcept;
  PrivateKey& operator=(PrivateKey&&) noexcept;
  explicit operator bool() const { return key_ != nullptr; }
  // The underlying EVP_PKEY*, for callers that use OpenSSL themselves (tests, benchmarks).
  void* Handle() const { return key_; }
  // Takes ownership of an EVP_PKEY*.
  static PrivateKey Adopt(void* evpKey);

 private:
  void* key_ = nullptr;
};

// OpenSSL's error text of the most recent failure here ("error:1E08010C:DECODER
// routines::unsupported"), empty when it gave none; taking it clears it.
std::string TakeLibraryDetail();
// Keeps OpenSSL's most recent error (if any) as that detail and clears OpenSSL's error queue.
void KeepLibraryDetail();

// Where the passphrase of an encrypted PEM key comes from, as OpenSSL's tools take it:
// "pass:TEXT", "env:VARIABLE", "file:PATH" (its first line), "fd:NUMBER" (the first line read
// from that descriptor) or "stdin". Without a source, a key that needs a passphrase asks for
// it on the terminal when standard input is one, and fails otherwise. The passphrase is read
// once and serves every key loaded with the same Passphrase.
class Passphrase {
 public:
  Passphrase() = default;  // no source: the terminal
  // False with a reason when `source` is none of the forms above.
  bool SetSource(std::string_view source, std::string* error);
  // The passphrase; empty with a reason when it cannot be had.
  std::optional<std::string> Get(std::string* error);

 private:
  std::string source_;
  std::optional<std::string> value_;
};

// Reads a PEM private key from a file or from memory; an encrypted one is unlocked with
// `passphrase` (none: the key must not be encrypted). The key must be RSA. Errors name the
// file once: "FILE: reason".
PrivateKey LoadPrivateKey(const std::filesystem::path& pemFile, std::string* error,
                          Passphrase* passphrase = nullptr);
PrivateKey ParsePrivateKey(std::string_view pem, std::string* error,
                           Passphrase* passphrase = nullptr);

// The modulus length in bits and the public exponent of an RSA key (0 when the exponent does
// not fit 64 bits).
unsigned KeyBits(const PrivateKey& key);
std::uint64_t PublicExponent(const PrivateKey& key);

// Makes a new RSA key pair with exponent 65537.
PrivateKey GenerateRsaKey(unsigned bits, std::string* error);

// The PEM text of the private key (PKCS#8, unencrypted).
bool WritePrivateKeyPem(const PrivateKey& key, std::string* pem, std::string* error);

// The DER SubjectPublicKeyInfo of the key's public half (162 bytes for RSA-1024).
bool PublicKeyDer(const PrivateKey& key, Bytes* der, std::string* error);

// The modulus length of the key in bytes, which is also each record's signature length.
std::size_t SignatureSize(const PrivateKey& key);

// The message a record's signature covers.
Bytes RecordMessage(std::span<const std::uint8_t> payload, std::uint8_t type,
                    const ImageHeader& header, std::uint32_t sequenceNumber);

// Appends one signed record (head, payload, signature over RecordMessage) to *image. Any type
// and payload are accepted, so tests can build malformed chains.
bool AppendSignedRecord(const PrivateKey& key, std::span<const std::uint8_t> payload,
                        std::uint8_t type, const ImageHeader& header, std::uint32_t sequenceNumber,
                        Bytes* image, std::string* error);

// Appends the 7-byte magic and the header to *image.
void AppendPreamble(const ImageHeader& header, Bytes* image);

// Builds a complete signed image of `payload`: data records of `recordSize` bytes (the last
// data record takes the rest; an empty payload gives no data record), then the final record.
// recordSize must be at least 1.
bool SignImage(std::span<const std::uint8_t> payload, const PrivateKey& key,
               const ImageHeader& header, std::size_t recordSize, Bytes* image, std::string* error);

}  // namespace signer

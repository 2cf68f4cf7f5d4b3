#include "tools/signer/signer.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

namespace signer {
namespace {

constexpr std::uint8_t Magic[] = {0x52, 0x30, 0x30, 0x30, 0x46, 0x46, 0x0A};
constexpr std::size_t ReservedBytes = 12;
constexpr std::size_t RecordHeadSize = 9;

EVP_PKEY* Key(const PrivateKey& key) {
  return static_cast<EVP_PKEY*>(key.Handle());
}

// Sets *error to `what` followed by OpenSSL's most recent error, and returns false.
bool Fail(std::string* error, std::string_view what) {
  if (error != nullptr) {
    *error = what;
    unsigned long code = ERR_get_error();
    if (code != 0) {
      char text[256];
      ERR_error_string_n(code, text, sizeof text);
      *error += ": ";
      *error += text;
    }
  }
  ERR_clear_error();
  return false;
}

void AppendLittleEndian32(std::uint32_t value, Bytes* out) {
  for (int shift = 0; shift < 32; shift += 8) {
    out->push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

}  // namespace

PrivateKey::PrivateKey() = default;
PrivateKey::~PrivateKey() {
  EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
}
PrivateKey::PrivateKey(PrivateKey&& other) noexcept : key_(other.key_) {
  other.key_ = nullptr;
}
PrivateKey& PrivateKey::operator=(PrivateKey&& other) noexcept {
  if (this != &other) {
    EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
    key_ = other.key_;
    other.key_ = nullptr;
  }
  return *this;
}

PrivateKey PrivateKey::Adopt(void* evpKey) {
  PrivateKey key;
  key.key_ = evpKey;
  return key;
}

PrivateKey ParsePrivateKey(std::string_view pem, std::string* error) {
  if (pem.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    Fail(error, "the key text is too long");
    return {};
  }
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) {
    Fail(error, "cannot read the key text");
    return {};
  }
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (key == nullptr) {
    Fail(error, "not a PEM private key");
    return {};
  }
  if (!EVP_PKEY_is_a(key, "RSA")) {
    EVP_PKEY_free(key);
    Fail(error, "the private key is not an RSA key");
    return {};
  }
  return PrivateKey::Adopt(key);
}

PrivateKey LoadPrivateKey(const std::filesystem::path& pemFile, std::string* error) {
  std::ifstream in(pemFile, std::ios::binary);
  if (!in) {
    Fail(error, "cannot open " + pemFile.string());
    return {};
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string parseError;
  PrivateKey key = ParsePrivateKey(text.str(), &parseError);
  if (!key && error != nullptr) *error = pemFile.string() + ": " + parseError;
  return key;
}

PrivateKey GenerateRsaKey(unsigned bits, std::string* error) {
  EVP_PKEY* key = EVP_RSA_gen(bits);
  if (key == nullptr) {
    Fail(error, "cannot generate an RSA key");
    return {};
  }
  return PrivateKey::Adopt(key);
}

bool WritePrivateKeyPem(const PrivateKey& key, std::string* pem, std::string* error) {
  if (!key) return Fail(error, "no key");
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return Fail(error, "cannot write the key");
  bool written =
      PEM_write_bio_PrivateKey(bio, Key(key), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  if (written) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    pem->assign(data, static_cast<std::size_t>(length));
  }
  BIO_free(bio);
  return written || Fail(error, "cannot write the key");
}

bool PublicKeyDer(const PrivateKey& key, Bytes* der, std::string* error) {
  if (!key) return Fail(error, "no key");
  int length = i2d_PUBKEY(Key(key), nullptr);
  if (length <= 0) return Fail(error, "cannot encode the public key");
  der->resize(static_cast<std::size_t>(length));
  unsigned char* out = der->data();
  if (i2d_PUBKEY(Key(key), &out) != length) return Fail(error, "cannot encode the public key");
  return true;
}

std::size_t SignatureSize(const PrivateKey& key) {
  return key ? static_cast<std::size_t>(EVP_PKEY_get_size(Key(key))) : 0;
}

Bytes RecordMessage(std::span<const std::uint8_t> payload, std::uint8_t type,
                    const ImageHeader& header, std::uint32_t sequenceNumber) {
  Bytes message(payload.begin(), payload.end());
  message.insert(message.end(), ReservedBytes, 0);
  message.push_back(type);
  message.insert(message.end(), header.begin(), header.end());
  AppendLittleEndian32(sequenceNumber, &message);
  return message;
}

bool AppendSignedRecord(const PrivateKey& key, std::span<const std::uint8_t> payload,
                        std::uint8_t type, const ImageHeader& header, std::uint32_t sequenceNumber,
                        Bytes* image, std::string* error) {
  if (!key) return Fail(error, "no key");
  if (payload.size() > std::numeric_limits<std::uint32_t>::max()) {
    return Fail(error, "a record payload must be below 4 GiB");
  }
  Bytes message = RecordMessage(payload, type, header, sequenceNumber);
  Bytes signature(SignatureSize(key));
  std::size_t signatureLength = signature.size();
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool signedOk = context != nullptr &&
                  EVP_DigestSignInit(context, nullptr, EVP_sha1(), nullptr, Key(key)) == 1 &&
                  EVP_DigestSign(context, signature.data(), &signatureLength, message.data(),
                                 message.size()) == 1;
  EVP_MD_CTX_free(context);
  if (!signedOk) return Fail(error, "cannot sign a record");
  signature.resize(signatureLength);

  AppendLittleEndian32(static_cast<std::uint32_t>(payload.size()), image);
  AppendLittleEndian32(static_cast<std::uint32_t>(signature.size()), image);
  image->push_back(type);
  image->insert(image->end(), payload.begin(), payload.end());
  image->insert(image->end(), signature.begin(), signature.end());
  return true;
}

void AppendPreamble(const ImageHeader& header, Bytes* image) {
  image->insert(image->end(), std::begin(Magic), std::end(Magic));
  image->insert(image->end(), header.begin(), header.end());
}

bool SignImage(std::span<const std::uint8_t> payload, const PrivateKey& key,
               const ImageHeader& header, std::size_t recordSize, Bytes* image,
               std::string* error) {
  if (recordSize == 0) return Fail(error, "the record size must be at least 1");
  if (recordSize > std::numeric_limits<std::uint32_t>::max()) {
    return Fail(error, "the record size must be below 4 GiB");
  }
  if (!key) return Fail(error, "no key");
  Bytes result;
  std::size_t recordCount = (payload.size() + recordSize - 1) / recordSize;
  result.reserve(sizeof Magic + ImageHeaderSize + payload.size() +
                 (recordCount + 1) * (RecordHeadSize + SignatureSize(key)));
  AppendPreamble(header, &result);
  std::uint32_t sequence = 1;
  for (std::size_t offset = 0; offset < payload.size(); offset += recordSize, ++sequence) {
    if (sequence == 0) return Fail(error, "too many records");
    std::size_t length = std::min(recordSize, payload.size() - offset);
    if (!AppendSignedRecord(key, payload.subspan(offset, length), DataRecordType, header, sequence,
                            &result, error)) {
      return false;
    }
  }
  if (!AppendSignedRecord(key, {}, FinalRecordType, header, sequence, &result, error)) {
    return false;
  }
  *image = std::move(result);
  return true;
}

}  // namespace signer

#include "tools/signer/signer.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <openssl/core_names.h>
#include <openssl/ui.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <utility>

namespace signer {
namespace {

constexpr std::uint8_t Magic[] = {0x52, 0x30, 0x30, 0x30, 0x46, 0x46, 0x0A};
constexpr std::size_t ReservedBytes = 12;
constexpr std::size_t RecordHeadSize = 9;

EVP_PKEY* Key(const PrivateKey& key) {
  return static_cast<EVP_PKEY*>(key.Handle());
}

std::string& LibraryDetail() {
  static std::string detail;
  return detail;
}

// Sets *error to `what`, keeps OpenSSL's most recent error as the library detail, and returns
// false.
bool Fail(std::string* error, std::string_view what) {
  if (error != nullptr) *error = what;
  KeepLibraryDetail();
  return false;
}

// The first line read from a descriptor, one byte at a time so that nothing after it is
// consumed (a pipe may carry more for someone else).
std::optional<std::string> FirstLine(int descriptor) {
  std::string line;
  char character;
  for (;;) {
    const ssize_t got = read(descriptor, &character, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0 || character == '\n') break;
    line.push_back(character);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// What the passphrase callback of one key load saw.
struct PassphraseRequest {
  Passphrase* passphrase;
  bool asked = false;
  std::string error;  // why no passphrase could be had
};

int SupplyPassphrase(char* buffer, int size, int /*writing*/, void* context) {
  auto* request = static_cast<PassphraseRequest*>(context);
  request->asked = true;
  if (request->passphrase == nullptr) {
    request->error = "it is encrypted, and no passphrase was given";
    return -1;
  }
  const std::optional<std::string> value = request->passphrase->Get(&request->error);
  if (!value) return -1;
  if (value->size() > static_cast<std::size_t>(size)) {
    request->error = "its passphrase is longer than OpenSSL takes";
    return -1;
  }
  std::memcpy(buffer, value->data(), value->size());
  return static_cast<int>(value->size());
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

void KeepLibraryDetail() {
  LibraryDetail().clear();
  if (const unsigned long code = ERR_peek_last_error(); code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    LibraryDetail() = text;
  }
  ERR_clear_error();
}

std::string TakeLibraryDetail() {
  return std::exchange(LibraryDetail(), std::string());
}

bool Passphrase::SetSource(std::string_view source, std::string* error) {
  for (const std::string_view form : {"pass:", "env:", "file:", "fd:"})
    if (source.substr(0, form.size()) == form) {
      source_ = source;
      return true;
    }
  if (source == "stdin") {
    source_ = source;
    return true;
  }
  *error = "\"" + std::string(source) +
           "\" is none of pass:TEXT, env:VARIABLE, file:PATH, fd:NUMBER and stdin";
  return false;
}

std::optional<std::string> Passphrase::Get(std::string* error) {
  if (value_) return value_;
  const std::size_t colon = source_.find(':');
  const std::string argument = colon == std::string::npos ? "" : source_.substr(colon + 1);
  if (source_.empty()) {
    if (isatty(STDIN_FILENO) != 1) {
      *error =
          "it is encrypted: give its passphrase with --passin (standard input is not a "
          "terminal to ask on)";
      return std::nullopt;
    }
    char text[1024];
    if (EVP_read_pw_string(text, sizeof text, "Passphrase of the signing keys: ", 0) != 0) {
      *error = "it is encrypted, and no passphrase was entered";
      return std::nullopt;
    }
    value_ = text;
    OPENSSL_cleanse(text, sizeof text);
  } else if (source_.rfind("pass:", 0) == 0) {
    value_ = argument;
  } else if (source_.rfind("env:", 0) == 0) {
    const char* variable = std::getenv(argument.c_str());
    if (variable == nullptr) {
      *error = "--passin: the variable " + argument + " is not set";
      return std::nullopt;
    }
    value_ = variable;
  } else if (source_.rfind("file:", 0) == 0) {
    std::ifstream input(argument);
    std::string line;
    if (!input || !std::getline(input, line)) {
      *error = "--passin: " + argument + " cannot be read";
      return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    value_ = line;
  } else {
    char* end = nullptr;
    const long descriptor = source_ == "stdin" ? 0 : std::strtol(argument.c_str(), &end, 10);
    if (source_ != "stdin" && (argument.empty() || *end != '\0' || descriptor < 0)) {
      *error = "--passin: fd:" + argument + " is not a file descriptor number";
      return std::nullopt;
    }
    value_ = FirstLine(static_cast<int>(descriptor));
    if (!value_) {
      *error = "--passin: nothing can be read from " + source_;
      return std::nullopt;
    }
  }
  return value_;
}

PrivateKey ParsePrivateKey(std::string_view pem, std::string* error, Passphrase* passphrase) {
  if (pem.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    Fail(error, "the key text is too long");
    return {};
  }
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) {
    Fail(error, "cannot read the key text");
    return {};
  }
  PassphraseRequest request{passphrase, false, {}};
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, &SupplyPassphrase, &request);
  BIO_free(bio);
  if (key == nullptr) {
    if (!request.error.empty())
      Fail(error, request.error);
    else if (request.asked)
      Fail(error, "the passphrase does not unlock it");
    else if (pem.find("-----BEGIN PUBLIC KEY-----") != std::string_view::npos)
      Fail(error, "a PEM public key, not a private key");
    else if (pem.find("-----BEGIN") == std::string_view::npos)
      Fail(error, "not a PEM file (a private key is PEM text)");
    else
      Fail(error, "not a PEM private key");
    return {};
  }
  if (!EVP_PKEY_is_a(key, "RSA")) {
    EVP_PKEY_free(key);
    Fail(error, "not an RSA key");
    return {};
  }
  return PrivateKey::Adopt(key);
}

PrivateKey LoadPrivateKey(const std::filesystem::path& pemFile, std::string* error,
                          Passphrase* passphrase) {
  std::error_code code;
  if (std::filesystem::is_directory(pemFile, code)) {
    Fail(error, pemFile.string() + ": is a directory, not a key file");
    return {};
  }
  std::ifstream in(pemFile, std::ios::binary);
  if (!in) {
    Fail(error, pemFile.string() + ": cannot be read (" + std::strerror(errno) + ")");
    return {};
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string parseError;
  PrivateKey key = ParsePrivateKey(text.str(), &parseError, passphrase);
  if (!key && error != nullptr) *error = pemFile.string() + ": " + parseError;
  return key;
}

unsigned KeyBits(const PrivateKey& key) {
  return key ? static_cast<unsigned>(EVP_PKEY_get_bits(Key(key))) : 0;
}

std::uint64_t PublicExponent(const PrivateKey& key) {
  BIGNUM* exponent = nullptr;
  if (!key || EVP_PKEY_get_bn_param(Key(key), OSSL_PKEY_PARAM_RSA_E, &exponent) != 1) return 0;
  std::uint64_t value = 0;
  if (BN_num_bytes(exponent) <= 8) {
    unsigned char bytes[8] = {};
    const int length = BN_bn2bin(exponent, bytes);
    for (int i = 0; i < length; ++i) value = value << 8 | bytes[i];
  }
  BN_free(exponent);
  return value;
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

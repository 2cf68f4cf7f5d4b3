// OpenSSL helpers shared by the signing tests: keys, digests and raw RSA.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "der_builder.h"
#include "tools/signer/signer.h"

namespace signing_test {

inline std::filesystem::path KeyDirectory() {
  return ORVANTA_KEY_DIR;
}

// The private key of KeyTable entry `index`, or an empty key when the build's key directory
// holds no private keys (a product build).
inline signer::PrivateKey BuildKey(int index) {
  std::string error;
  return signer::LoadPrivateKey(KeyDirectory() / ("key" + std::to_string(index) + ".pem"), &error);
}

inline Bytes Digest(const EVP_MD* type, const Bytes& message) {
  Bytes digest(static_cast<std::size_t>(EVP_MD_get_size(type)));
  unsigned length = 0;
  EVP_Digest(message.data(), message.size(), digest.data(), &length, type, nullptr);
  digest.resize(length);
  return digest;
}

// An OpenSSL PKCS#1 v1.5 signature of `message` with digest `type`.
inline Bytes OpenSslSignature(const signer::PrivateKey& key, const EVP_MD* type,
                              const Bytes& message) {
  EVP_PKEY* pkey = static_cast<EVP_PKEY*>(key.Handle());
  Bytes signature(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
  std::size_t length = signature.size();
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestSignInit(context, nullptr, type, nullptr, pkey);
  EVP_DigestSign(context, signature.data(), &length, message.data(), message.size());
  EVP_MD_CTX_free(context);
  signature.resize(length);
  return signature;
}

// The private-key operation on a full-length block without any padding: block^d mod n.
inline Bytes RawPrivateOperation(const signer::PrivateKey& key, const Bytes& block) {
  EVP_PKEY* pkey = static_cast<EVP_PKEY*>(key.Handle());
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(pkey, nullptr);
  Bytes signature(static_cast<std::size_t>(EVP_PKEY_get_size(pkey)));
  std::size_t length = signature.size();
  bool ok = context != nullptr && EVP_PKEY_sign_init(context) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(context, RSA_NO_PADDING) == 1 &&
            EVP_PKEY_sign(context, signature.data(), &length, block.data(), block.size()) == 1;
  EVP_PKEY_CTX_free(context);
  if (!ok) return {};
  signature.resize(length);
  return signature;
}

// The modulus of an RSA key, most significant byte first, without leading zeros.
inline Bytes Modulus(const signer::PrivateKey& key) {
  BIGNUM* n = nullptr;
  EVP_PKEY_get_bn_param(static_cast<EVP_PKEY*>(key.Handle()), OSSL_PKEY_PARAM_RSA_N, &n);
  Bytes bytes(static_cast<std::size_t>(BN_num_bytes(n)));
  BN_bn2bin(n, bytes.data());
  BN_free(n);
  return bytes;
}

inline Bytes PublicDer(const signer::PrivateKey& key) {
  Bytes der;
  std::string error;
  signer::PublicKeyDer(key, &der, &error);
  return der;
}

}  // namespace signing_test

// Keys on a PKCS#11 token (a hardware token, an HSM, or a software token), named by RFC 7512
// URIs such as "pkcs11:token=release;object=key0". The private halves stay on the token: a key
// loaded from it signs through the token, and keys generated on it are sensitive and not
// extractable.
//
// The URI's path attributes name the key: token (the token label), serial, object (the key
// label) and id (percent-encoded bytes); type, when given, must be "private". Its query
// attributes: module-path (the PKCS#11 module; otherwise $ORVANTA_PKCS11_MODULE, otherwise the
// system's p11-kit proxy) and pin-value or pin-source (a file whose first line is the PIN;
// otherwise $ORVANTA_PKCS11_PIN). The PIN never appears in a message: error texts show the URI
// without it (RedactedUri).
//
// Built only with ORVANTA_PKCS11; without it every call fails with a message saying so.
#pragma once

#include <string>
#include <string_view>

#include "tools/signer/signer.h"

namespace signer {

// Whether `reference` is a PKCS#11 URI rather than a file name.
bool IsTokenUri(std::string_view reference);

// The URI with any pin-value replaced by "***", for messages and listings.
std::string RedactedUri(std::string_view uri);

// The URI with `;object=LABEL` added to its path (for a URI that names a token, not a key).
// Fails when the URI names an object already.
bool TokenObjectUri(std::string_view tokenUri, std::string_view label, std::string* uri,
                    std::string* error);

// The private key the URI names, usable with OpenSSL's EVP signing calls.
PrivateKey LoadTokenKey(std::string_view uri, std::string* error);

// Generates an RSA key pair (exponent 65537) on the token, labelled with the URI's object and
// given its id, the private half sensitive and never extractable, and returns the public half
// as DER SubjectPublicKeyInfo. Refuses when the token already holds a key with that label.
bool GenerateTokenKey(std::string_view uri, unsigned bits, Bytes* publicDer, std::string* error);

// A private key from a PEM file (unlocked with `passphrase` when encrypted) or, for a "pkcs11:"
// reference, from a token.
PrivateKey LoadSigningKey(std::string_view reference, std::string* error,
                          Passphrase* passphrase = nullptr);

}  // namespace signer

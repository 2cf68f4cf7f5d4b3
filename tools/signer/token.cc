#include "tools/signer/token.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>

#if ORVANTA_PKCS11
#include <libp11.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#endif

namespace signer {
namespace {

constexpr std::string_view kScheme = "pkcs11:";
constexpr char kModuleVariable[] = "ORVANTA_PKCS11_MODULE";
constexpr char kPinVariable[] = "ORVANTA_PKCS11_PIN";
constexpr char kDefaultModule[] = "p11-kit-proxy.so";

struct TokenUri {
  std::map<std::string, std::string> path;   // percent-decoded
  std::map<std::string, std::string> query;  // percent-decoded
};

int HexDigit(char character) {
  if (character >= '0' && character <= '9') return character - '0';
  if (character >= 'a' && character <= 'f') return character - 'a' + 10;
  if (character >= 'A' && character <= 'F') return character - 'A' + 10;
  return -1;
}

std::optional<std::string> PercentDecode(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexDigit(text[i + 1]);
    const int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    decoded.push_back(static_cast<char>(high << 4 | low));
    i += 2;
  }
  return decoded;
}

// Splits "name=value<separator>name=value..." into decoded attributes; a repeated name fails.
bool ParseAttributes(std::string_view text, char separator,
                     std::map<std::string, std::string>* attributes, std::string* error) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(separator), text.size());
    const std::string_view attribute = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (attribute.empty()) continue;
    const std::size_t equals = attribute.find('=');
    const std::optional<std::string> name = PercentDecode(attribute.substr(0, equals));
    const std::optional<std::string> value = equals == std::string_view::npos
                                                 ? std::optional<std::string>("")
                                                 : PercentDecode(attribute.substr(equals + 1));
    if (!name || !value || equals == std::string_view::npos) {
      *error =
          "malformed PKCS#11 URI attribute \"" + std::string(attribute.substr(0, equals)) + "\"";
      return false;
    }
    if (!attributes->emplace(*name, *value).second) {
      *error = "the PKCS#11 URI names \"" + *name + "\" twice";
      return false;
    }
  }
  return true;
}

bool ParseTokenUri(std::string_view uri, TokenUri* parsed, std::string* error) {
  if (!IsTokenUri(uri)) {
    *error = "not a PKCS#11 URI";
    return false;
  }
  uri.remove_prefix(kScheme.size());
  const std::size_t question = uri.find('?');
  if (!ParseAttributes(uri.substr(0, question), ';', &parsed->path, error)) return false;
  if (question != std::string_view::npos &&
      !ParseAttributes(uri.substr(question + 1), '&', &parsed->query, error))
    return false;
  for (const auto& [name, value] : parsed->path) {
    if (name != "token" && name != "serial" && name != "object" && name != "id" && name != "type") {
      *error = "the PKCS#11 URI attribute \"" + name + "\" is not supported here";
      return false;
    }
    if (name == "type" && value != "private") {
      *error = "the PKCS#11 URI must name a private key (type=private)";
      return false;
    }
  }
  for (const auto& [name, value] : parsed->query) {
    if (name != "pin-value" && name != "pin-source" && name != "module-path") {
      *error = "the PKCS#11 URI query attribute \"" + name + "\" is not supported here";
      return false;
    }
  }
  if (parsed->path.count("token") == 0 && parsed->path.count("serial") == 0) {
    *error = "the PKCS#11 URI names no token (token=LABEL or serial=NUMBER)";
    return false;
  }
  return true;
}

#if ORVANTA_PKCS11

// `what`, with OpenSSL's (and so libp11's) most recent error kept as the library detail.
std::string WithLibraryError(std::string what) {
  KeepLibraryDetail();
  return what;
}

std::optional<std::string> PinOf(const TokenUri& uri, std::string* error) {
  if (const auto value = uri.query.find("pin-value"); value != uri.query.end())
    return value->second;
  if (const auto source = uri.query.find("pin-source"); source != uri.query.end()) {
    std::string path = source->second;
    if (path.rfind("file:", 0) == 0) path.erase(0, 5);
    std::ifstream input(path);
    std::string pin;
    if (!input || !std::getline(input, pin)) {
      *error = "pin-source " + path + " cannot be read";
      return std::nullopt;
    }
    return pin;
  }
  if (const char* pin = std::getenv(kPinVariable)) return std::string(pin);
  return std::nullopt;
}

class TokenModule;
std::map<std::string, TokenModule>& Modules();

// One loaded module and its slots for the whole process: keys taken from it refer to them, so
// they are released only at exit, after every key, and before the module's own static objects
// go (an exit handler registered after the module loaded runs before its destructors).
class TokenModule {
 public:
  static TokenModule* Open(const std::string& modulePath, std::string* error) {
    std::map<std::string, TokenModule>& modules = Modules();
    auto found = modules.find(modulePath);
    if (found == modules.end()) {
      found = modules.try_emplace(modulePath).first;
      found->second.context_ = PKCS11_CTX_new();
      if (found->second.context_ == nullptr ||
          PKCS11_CTX_load(found->second.context_, modulePath.c_str()) != 0) {
        *error = WithLibraryError("cannot load the PKCS#11 module " + modulePath);
        modules.erase(found);
        return nullptr;
      }
      found->second.loaded_ = true;
      std::atexit([] { Modules().clear(); });
      if (PKCS11_enumerate_slots(found->second.context_, &found->second.slots_,
                                 &found->second.slotCount_) != 0) {
        *error = WithLibraryError("cannot list the slots of " + modulePath);
        modules.erase(found);
        return nullptr;
      }
    }
    return &found->second;
  }

  TokenModule() = default;
  TokenModule(const TokenModule&) = delete;
  TokenModule& operator=(const TokenModule&) = delete;
  ~TokenModule() {
    if (context_ == nullptr) return;
    if (slots_ != nullptr) PKCS11_release_all_slots(context_, slots_, slotCount_);
    if (loaded_) PKCS11_CTX_unload(context_);
    PKCS11_CTX_free(context_);
  }

  // The slot whose token has the URI's label and serial.
  PKCS11_SLOT* FindSlot(const TokenUri& uri) const {
    for (unsigned i = 0; i < slotCount_; ++i) {
      const PKCS11_TOKEN* token = slots_[i].token;
      if (token == nullptr || !token->initialized) continue;
      const auto label = uri.path.find("token");
      const auto serial = uri.path.find("serial");
      if (label != uri.path.end() && label->second != token->label) continue;
      if (serial != uri.path.end() && serial->second != token->serialnr) continue;
      return &slots_[i];
    }
    return nullptr;
  }

 private:
  PKCS11_CTX* context_ = nullptr;
  PKCS11_SLOT* slots_ = nullptr;
  unsigned slotCount_ = 0;
  bool loaded_ = false;
};

std::map<std::string, TokenModule>& Modules() {
  // Never destroyed as a static: the exit handler empties it while the modules still work.
  static auto* modules = new std::map<std::string, TokenModule>;
  return *modules;
}

// The token the URI names, logged in (read-write when `readWrite`).
PKCS11_SLOT* OpenToken(const TokenUri& uri, bool readWrite, std::string* error) {
  std::string modulePath = kDefaultModule;
  if (const auto path = uri.query.find("module-path"); path != uri.query.end())
    modulePath = path->second;
  else if (const char* variable = std::getenv(kModuleVariable))
    modulePath = variable;
  TokenModule* module = TokenModule::Open(modulePath, error);
  if (module == nullptr) return nullptr;
  PKCS11_SLOT* slot = module->FindSlot(uri);
  if (slot == nullptr) {
    *error = "no such token in " + modulePath;
    return nullptr;
  }
  if (PKCS11_open_session(slot, readWrite ? 1 : 0) != 0) {
    *error = WithLibraryError("cannot open a session on the token");
    return nullptr;
  }
  int loggedIn = 0;
  if (PKCS11_is_logged_in(slot, 0, &loggedIn) == 0 && loggedIn) return slot;
  if (!slot->token->loginRequired) return slot;
  const std::optional<std::string> pin = PinOf(uri, error);
  if (!pin) {
    if (error->empty())
      *error = "the token needs a PIN: set " + std::string(kPinVariable) +
               " or give pin-value or pin-source in the URI";
    return nullptr;
  }
  if (PKCS11_login(slot, 0, pin->c_str()) != 0) {
    *error = WithLibraryError("the token refused the PIN");
    return nullptr;
  }
  return slot;
}

bool KeyMatches(const PKCS11_KEY& key, const TokenUri& uri) {
  const auto object = uri.path.find("object");
  const auto id = uri.path.find("id");
  if (object != uri.path.end() && (key.label == nullptr || object->second != key.label))
    return false;
  if (id != uri.path.end() &&
      std::string_view(reinterpret_cast<const char*>(key.id), key.id_len) != id->second)
    return false;
  return true;
}

// The token's private key (public key when `publicKey`) that the URI names; nullptr when none.
PKCS11_KEY* FindKey(PKCS11_SLOT* slot, const TokenUri& uri, bool publicKey, std::string* error) {
  PKCS11_KEY* keys = nullptr;
  unsigned count = 0;
  const int listed = publicKey ? PKCS11_enumerate_public_keys(slot->token, &keys, &count)
                               : PKCS11_enumerate_keys(slot->token, &keys, &count);
  if (listed != 0) {
    *error = WithLibraryError("cannot list the keys on the token");
    return nullptr;
  }
  for (unsigned i = 0; i < count; ++i)
    if (KeyMatches(keys[i], uri)) return &keys[i];
  return nullptr;
}

// Takes a reference of its own to a key the library keeps.
PrivateKey OwnReference(EVP_PKEY* key) {
  EVP_PKEY_up_ref(key);
  return PrivateKey::Adopt(key);
}

#endif  // ORVANTA_PKCS11

}  // namespace

bool IsTokenUri(std::string_view reference) {
  return reference.substr(0, kScheme.size()) == kScheme;
}

std::string RedactedUri(std::string_view uri) {
  std::string text(uri);
  const std::size_t pin = text.find("pin-value=");
  if (pin == std::string::npos) return text;
  const std::size_t start = pin + 10;
  const std::size_t end = std::min(text.find('&', start), text.size());
  return text.replace(start, end - start, "***");
}

bool TokenObjectUri(std::string_view tokenUri, std::string_view label, std::string* uri,
                    std::string* error) {
  TokenUri parsed;
  if (!ParseTokenUri(tokenUri, &parsed, error)) return false;
  if (parsed.path.count("object") != 0 || parsed.path.count("id") != 0) {
    *error = "the PKCS#11 URI must name the token only, not a key";
    return false;
  }
  const std::size_t question = tokenUri.find('?');
  std::string path(tokenUri.substr(0, question));
  if (path.back() != ':' && path.back() != ';') path += ';';
  *uri = path + "object=" + std::string(label);
  if (question != std::string_view::npos) *uri += std::string(tokenUri.substr(question));
  return true;
}

#if ORVANTA_PKCS11

PrivateKey LoadTokenKey(std::string_view uri, std::string* error) {
  TokenUri parsed;
  if (!ParseTokenUri(uri, &parsed, error)) return {};
  if (parsed.path.count("object") == 0 && parsed.path.count("id") == 0) {
    *error = "the PKCS#11 URI names no key (object=LABEL or id=BYTES)";
    return {};
  }
  PKCS11_SLOT* slot = OpenToken(parsed, false, error);
  if (slot == nullptr) return {};
  PKCS11_KEY* key = FindKey(slot, parsed, false, error);
  if (key == nullptr) {
    if (error->empty()) *error = "no such private key on the token";
    return {};
  }
  EVP_PKEY* evpKey = PKCS11_get_private_key(key);
  if (evpKey == nullptr) {
    *error = WithLibraryError("cannot use the private key on the token");
    return {};
  }
  if (!EVP_PKEY_is_a(evpKey, "RSA")) {
    *error = "the key on the token is not an RSA key";
    return {};
  }
  return OwnReference(evpKey);
}

bool GenerateTokenKey(std::string_view uri, unsigned bits, Bytes* publicDer, std::string* error) {
  TokenUri parsed;
  if (!ParseTokenUri(uri, &parsed, error)) return false;
  const auto label = parsed.path.find("object");
  if (label == parsed.path.end()) {
    *error = "the PKCS#11 URI names no key label (object=LABEL)";
    return false;
  }
  PKCS11_SLOT* slot = OpenToken(parsed, true, error);
  if (slot == nullptr) return false;
  TokenUri byLabel;
  byLabel.path["object"] = label->second;
  if (FindKey(slot, byLabel, false, error) != nullptr ||
      FindKey(slot, byLabel, true, error) != nullptr) {
    *error = "the token holds a key \"" + label->second + "\" already; keygen never replaces a key";
    return false;
  }
  if (!error->empty()) return false;
  std::string id = parsed.path.count("id") != 0 ? parsed.path["id"] : label->second;
  std::string labelText = label->second;
  // The only key generation of this libp11 release; it makes the private half sensitive, so
  // that its values never leave the token.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  const int generated = PKCS11_generate_key(slot->token, EVP_PKEY_RSA, bits, labelText.data(),
                                            reinterpret_cast<unsigned char*>(id.data()), id.size());
#pragma GCC diagnostic pop
  if (generated != 0) {
    *error = WithLibraryError("the token cannot generate the key");
    return false;
  }
  PKCS11_KEY* publicKey = FindKey(slot, byLabel, true, error);
  EVP_PKEY* evpKey = publicKey == nullptr ? nullptr : PKCS11_get_public_key(publicKey);
  if (evpKey == nullptr) {
    *error = WithLibraryError("the generated public key cannot be read from the token");
    return false;
  }
  const PrivateKey reference = OwnReference(evpKey);  // public half only
  return PublicKeyDer(reference, publicDer, error);
}

#else

PrivateKey LoadTokenKey(std::string_view /*uri*/, std::string* error) {
  *error = "this orvanta was built without PKCS#11 support (ORVANTA_PKCS11=OFF)";
  return {};
}

bool GenerateTokenKey(std::string_view uri, unsigned /*bits*/, Bytes* /*publicDer*/,
                      std::string* error) {
  LoadTokenKey(uri, error);
  return false;
}

#endif  // ORVANTA_PKCS11

PrivateKey LoadSigningKey(std::string_view reference, std::string* error,
                          Passphrase* passphrase) {
  if (!IsTokenUri(reference))
    return LoadPrivateKey(std::filesystem::path(reference), error, passphrase);
  PrivateKey key = LoadTokenKey(reference, error);
  if (!key) *error = RedactedUri(reference) + ": " + *error;
  return key;
}

}  // namespace signer

#include "tools/orvanta/card_slots.h"

#include <algorithm>

#include "signing/key_table.h"

namespace orvanta {
namespace {

constexpr CardSlot kSlots[] = {
    {"sdisk", "sdisk.bc", 0},    {"seboot", "seboot.nb0", 0}, {"ea1", "EA1/syaffs.bc", 1},
    {"ea2", "EA2/syaffs.bc", 2}, {"eb", "EB/syaffs.bc", 3},
};

// The shape every built-in key has: RSA-1024 with exponent 65537 (162 bytes of DER).
constexpr unsigned kBuiltInKeyBits = 1024;
constexpr std::uint64_t kBuiltInKeyExponent = 65537;

}  // namespace

std::span<const CardSlot> CardSlots() {
  return kSlots;
}

std::vector<std::string> CardSlotNames() {
  std::vector<std::string> names;
  for (const CardSlot& slot : kSlots) names.push_back(slot.name);
  return names;
}

const CardSlot* SlotNamed(const std::string& name) {
  for (const CardSlot& slot : kSlots)
    if (name == slot.name) return &slot;
  return nullptr;
}

const CardSlot* SlotOfPath(const std::filesystem::path& path) {
  const std::string file = path.filename().string();
  const std::string directory = path.parent_path().filename().string();
  for (const CardSlot& slot : kSlots) {
    const std::filesystem::path cardPath = slot.cardPath;
    if (file == cardPath.filename().string() &&
        (!cardPath.has_parent_path() || directory == cardPath.parent_path().string()))
      return &slot;
  }
  return nullptr;
}

std::string KeyWithSlots(unsigned keyIndex) {
  std::string slots;
  for (const CardSlot& slot : kSlots)
    if (slot.keyIndex == keyIndex)
      slots += (slots.empty() ? "" : ", ") + std::string(slot.cardPath);
  return "built-in key " + std::to_string(keyIndex) + (slots.empty() ? "" : " (" + slots + ")");
}

std::optional<unsigned> BuiltInIndexOf(const signer::PrivateKey& key) {
  signer::Bytes der;
  std::string error;
  if (!signer::PublicKeyDer(key, &der, &error)) return std::nullopt;
  for (unsigned index = 0; index < KeyCount; ++index)
    if (der.size() == KeyTableLengths[index] && std::equal(der.begin(), der.end(), KeyTable[index]))
      return index;
  return std::nullopt;
}

std::string KeyMismatch(const signer::PrivateKey& key, const CardSlot* slot,
                        const std::string& name) {
  const unsigned bits = signer::KeyBits(key);
  const std::uint64_t exponent = signer::PublicExponent(key);
  if (bits != kBuiltInKeyBits || exponent != kBuiltInKeyExponent)
    return name + ": a " + std::to_string(bits) + "-bit RSA key with exponent " +
           (exponent == 0 ? std::string("above 2^64") : std::to_string(exponent)) +
           "; the device verifies only 1024-bit keys with exponent 65537";
  const std::optional<unsigned> index = BuiltInIndexOf(key);
  if (slot == nullptr) {
    if (index) return {};
    return name +
           ": not one of the built-in keys this orvanta was built with; the device "
           "refuses what it signs";
  }
  if (index == slot->keyIndex) return {};
  return name + ": " + slot->cardPath + " needs " + KeyWithSlots(slot->keyIndex) +
         ", but this is " +
         (index ? KeyWithSlots(*index) : "no built-in key of this orvanta's build") +
         "; the device refuses what it signs";
}

}  // namespace orvanta

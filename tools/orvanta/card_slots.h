// The package files' places on the card and the built-in key each needs: sdisk.bc and
// seboot.nb0 the common key 0, EA1/EA2/EB's syaffs.bc the variant keys 1, 2 and 3. The device
// verifies each file with its slot's key only, so a file signed with any other key is refused
// on the device, however sound it is.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/signer/signer.h"

namespace orvanta {

struct CardSlot {
  const char* name;      // as --slot names it
  const char* cardPath;  // relative to the card directory
  unsigned keyIndex;     // the built-in key the device verifies it with
};

std::span<const CardSlot> CardSlots();
std::vector<std::string> CardSlotNames();
const CardSlot* SlotNamed(const std::string& name);

// The slot a file is for, by the device's names: sdisk.bc, seboot.nb0, or syaffs.bc in EA1, EA2
// or EB. Null for any other name.
const CardSlot* SlotOfPath(const std::filesystem::path& path);

// "built-in key 2 (EA2/syaffs.bc)": a key index with the slots that need it.
std::string KeyWithSlots(unsigned keyIndex);

// Why the device would refuse what `key` signs for `slot` (null: for any slot): the key is not
// an RSA key of the built-in keys' size and exponent, or its public half is not the slot's
// entry of the key table this tool was built with (with no slot, not any entry). Empty when
// the device accepts it. `name` names the key in the reason.
std::string KeyMismatch(const signer::PrivateKey& key, const CardSlot* slot,
                        const std::string& name);

// The index of the key table entry that is `key`'s public half, if any.
std::optional<unsigned> BuiltInIndexOf(const signer::PrivateKey& key);

}  // namespace orvanta

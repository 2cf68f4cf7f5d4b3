#include "settings/device_variant.h"

#include "settings/settings_store.h"

namespace {

constexpr LPCWSTR kVariant1PartNumbers[] = {TEXT("52614-01"), TEXT("52614-11"), TEXT("52614-21"),
                                            nullptr};
constexpr LPCWSTR kVariant2PartNumbers[] = {TEXT("52614-02"), TEXT("52614-12"), TEXT("52614-22"),
                                            nullptr};
constexpr LPCWSTR kVariant3PartNumbers[] = {TEXT("52614-03"), TEXT("52614-13"), TEXT("52614-23"),
                                            nullptr};
constexpr DeviceVariant kEndOfTable = -2;

bool SameText(LPCWSTR left, LPCWSTR right) {
  for (; *left != 0 && *left == *right; ++left, ++right) {
  }
  return *left == *right;
}

}  // namespace

const VariantTableEntry VariantTable[4] = {
    {1, kVariant1PartNumbers},
    {2, kVariant2PartNumbers},
    {3, kVariant3PartNumbers},
    {kEndOfTable, nullptr},
};

DeviceVariant VariantOfPartNumber(LPCWSTR partNumber) {
  if (partNumber == nullptr) return kUnknownDeviceVariant;
  for (const VariantTableEntry& entry : VariantTable) {
    if (entry.partNumbers == nullptr) break;
    for (const LPCWSTR* candidate = entry.partNumbers; *candidate != nullptr; ++candidate) {
      if (SameText(*candidate, partNumber)) return entry.variant;
    }
  }
  return kUnknownDeviceVariant;
}

DeviceVariant GetDeviceVariant() {
  // One character more than the store may fill, so the text always ends in a zero.
  WCHAR partNumber[kPartNumberCharacters + 1] = {};
  (void)SettingsStore::Open();
  (void)SettingsStore::Lock();
  (void)SettingsStore::Load();
  // A block that did not load proves nothing: a damaged part number may name another variant.
  if (SettingsStore::LoadedFromFlash(kSemiPermanentSettingsType)) {
    (void)SettingsStore::ReadPartNumber(partNumber, kPartNumberCharacters);
  }
  SettingsStore::Unlock();
  SettingsStore::Close();
  return VariantOfPartNumber(partNumber);
}

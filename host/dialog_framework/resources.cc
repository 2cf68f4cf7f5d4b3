// The program's resources as the framework finds them: a table the program registers.
#include <algorithm>
#include <atomic>
#include <string_view>

#include "platform/dialog_framework.h"

namespace {
// Constant-initialised, so a program may register from a global's constructor.
std::atomic<const ResourceTable*> registeredTable{nullptr};

bool SameText(LPCWSTR left, LPCWSTR right) {
  if (left == nullptr || right == nullptr) return left == right;
  return std::u16string_view(left) == std::u16string_view(right);
}
}  // namespace

void RegisterResources(const ResourceTable* table) {
  registeredTable.store(table);
}

const ResourceTable* RegisteredResources() {
  return registeredTable.load();
}

// The program is the only module: every instance handle names its resources.
HINSTANCE AppInstance() {
  static char module;
  return reinterpret_cast<HINSTANCE>(&module);
}

int WINAPI LoadStringW(HINSTANCE /*instance*/, UINT id, LPWSTR buffer, int bufferLength) {
  const ResourceTable* table = registeredTable.load();
  if (table == nullptr || buffer == nullptr || bufferLength <= 0) return 0;
  for (UINT index = 0; index < table->stringCount; ++index) {
    const StringResource& entry = table->strings[index];
    if (entry.id != id || entry.text == nullptr) continue;
    const std::u16string_view text(entry.text);
    const std::size_t copied = std::min<std::size_t>(text.size(), bufferLength - 1);
    text.copy(buffer, copied);
    buffer[copied] = u'\0';
    return static_cast<int>(copied);
  }
  buffer[0] = u'\0';
  return 0;
}

const DialogTemplate* FindDialogTemplate(UINT id) {
  const ResourceTable* table = registeredTable.load();
  if (table == nullptr) return nullptr;
  for (UINT index = 0; index < table->dialogCount; ++index) {
    if (table->dialogs[index].id == id) return &table->dialogs[index];
  }
  return nullptr;
}

const IconGroup* FindIconGroup(UINT id) {
  const ResourceTable* table = registeredTable.load();
  if (table == nullptr) return nullptr;
  for (UINT index = 0; index < table->iconCount; ++index) {
    if (table->icons[index].id == id) return &table->icons[index];
  }
  return nullptr;
}

// Icons are named by number only; an icon handle is its group.
HICON WINAPI LoadIconW(HINSTANCE /*instance*/, LPCWSTR name) {
  if (!IS_INTRESOURCE(name)) return nullptr;
  const IconGroup* group = FindIconGroup(static_cast<UINT>(reinterpret_cast<std::uintptr_t>(name)));
  return reinterpret_cast<HICON>(const_cast<IconGroup*>(group));
}

const CustomResource* FindCustomResource(LPCWSTR type, LPCWSTR name) {
  const ResourceTable* table = registeredTable.load();
  if (table == nullptr) return nullptr;
  for (UINT index = 0; index < table->customCount; ++index) {
    const CustomResource& entry = table->customs[index];
    if (SameText(entry.type, type) && SameText(entry.name, name)) return &entry;
  }
  return nullptr;
}

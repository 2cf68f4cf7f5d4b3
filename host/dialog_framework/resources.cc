#include "host/dialog_framework/resources.h"

#include <algorithm>
#include <cstddef>

#include "common/byte_order.h"

namespace host {

// The program's compiled resources, defined by the source the build makes from its resource
// script (cmake/embed_resources.cmake), aligned to 4 bytes. Weak references: a program built
// without a script (a test of the worker side) has no resources, as a program file without a
// resource section, and every lookup finds nothing.
extern const unsigned char kProgramResources[] __attribute__((weak));
extern const std::size_t kProgramResourcesSize __attribute__((weak));

namespace {

constexpr WORD kOrdinalMark = 0xFFFF;

// A resource type or name, a dialog's class or a control's class or text, as stored: nothing, an
// ordinal, or a text.
struct StoredId {
  bool isOrdinal = false;
  WORD ordinal = 0;
  std::u16string text;
};

char16_t FoldCase(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

bool SameText(std::u16string_view left, std::u16string_view right) {
  return std::equal(left.begin(), left.end(), right.begin(), right.end(),
                    [](char16_t a, char16_t b) { return FoldCase(a) == FoldCase(b); });
}

bool Matches(const StoredId& stored, LPCWSTR wanted) {
  if (wanted == nullptr) return false;
  if (IS_INTRESOURCE(wanted)) {
    return stored.isOrdinal && stored.ordinal == reinterpret_cast<std::uintptr_t>(wanted);
  }
  return !stored.isOrdinal && SameText(stored.text, wanted);
}

// Reads little-endian fields from bytes it never leaves; every read fails past the end.
class Cursor {
 public:
  Cursor(const BYTE* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t Offset() const { return offset_; }
  bool Skip(std::size_t count) {
    if (count > size_ - offset_) return false;
    offset_ += count;
    return true;
  }
  // Moves to the next multiple of 4 bytes from the start.
  bool Align() { return Skip((4 - offset_ % 4) % 4); }
  bool Word(WORD& value) {
    if (size_ - offset_ < 2) return false;
    value = LoadLittleEndian16(data_ + offset_);
    offset_ += 2;
    return true;
  }
  bool Short(short& value) {
    WORD word = 0;
    if (!Word(word)) return false;
    value = static_cast<short>(word);
    return true;
  }
  bool Dword(DWORD& value) {
    if (size_ - offset_ < 4) return false;
    value = LoadLittleEndian32(data_ + offset_);
    offset_ += 4;
    return true;
  }
  // UTF-16 text up to its 0 unit, which is read and not kept.
  bool Text(std::u16string& text) {
    text.clear();
    for (WORD unit = 0; Word(unit);) {
      if (unit == 0) return true;
      text.push_back(static_cast<char16_t>(unit));
    }
    return false;
  }
  // 0 (nothing), 0xFFFF and an ordinal, or a text.
  bool Id(StoredId& id) {
    WORD first = 0;
    if (!Word(first)) return false;
    id = StoredId();
    if (first == 0) return true;
    if (first == kOrdinalMark) {
      id.isOrdinal = true;
      return Word(id.ordinal);
    }
    offset_ -= 2;
    return Text(id.text);
  }

 private:
  const BYTE* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

struct Entry {
  StoredId type;
  StoredId name;
  WORD language = 0;
  const BYTE* data = nullptr;
  DWORD size = 0;
};

// Every entry of the program's resources, read once. Reading stops at the first entry that does
// not read, as the platform refuses a resource section it cannot walk.
const std::vector<Entry>& Entries() {
  static const std::vector<Entry> entries = [] {
    std::vector<Entry> read;
    if (&kProgramResourcesSize == nullptr) return read;
    Cursor cursor(kProgramResources, kProgramResourcesSize);
    while (cursor.Offset() < kProgramResourcesSize) {
      const std::size_t start = cursor.Offset();
      Entry entry;
      DWORD headerSize = 0;
      DWORD dataVersion = 0;
      WORD memoryFlags = 0;
      DWORD version = 0;
      DWORD characteristics = 0;
      if (!cursor.Dword(entry.size) || !cursor.Dword(headerSize) || !cursor.Id(entry.type) ||
          !cursor.Id(entry.name) || !cursor.Align() || !cursor.Dword(dataVersion) ||
          !cursor.Word(memoryFlags) || !cursor.Word(entry.language) || !cursor.Dword(version) ||
          !cursor.Dword(characteristics) || cursor.Offset() - start != headerSize) {
        break;
      }
      entry.data = kProgramResources + cursor.Offset();
      if (!cursor.Skip(entry.size) || !cursor.Align()) break;
      // The leading empty entry only marks the format.
      if (entry.type.isOrdinal || !entry.type.text.empty()) read.push_back(std::move(entry));
    }
    return read;
  }();
  return entries;
}

const Entry* EntryOf(HRSRC resource) {
  return reinterpret_cast<const Entry*>(resource);
}

std::u16string ClassNameOf(const StoredId& id) {
  if (!id.isOrdinal) return id.text;
  // The predefined classes a template names by ordinal.
  switch (id.ordinal) {
    case 0x0080:
      return u"Button";
    case 0x0081:
      return u"Edit";
    case 0x0082:
      return u"Static";
    case 0x0083:
      return u"ListBox";
    case 0x0084:
      return u"ScrollBar";
    case 0x0085:
      return u"ComboBox";
    default:
      return std::u16string();
  }
}

// A node of a version block: WORD length (with its children), WORD value length (bytes, or units
// for a text), WORD type (1 text), the key up to its 0 unit, padding, the value, padding, then
// the children up to the node's length.
struct VersionNode {
  std::size_t end = 0;
  std::u16string key;
  std::size_t valueOffset = 0;
  WORD valueLength = 0;  // as stored
  std::size_t valueBytes = 0;
  std::size_t childrenOffset = 0;
};

bool ReadVersionNode(const BYTE* block, std::size_t limit, std::size_t start, VersionNode& node) {
  Cursor cursor(block, limit);
  WORD length = 0;
  WORD type = 0;
  if (!cursor.Skip(start) || !cursor.Word(length) || length > limit - start ||
      !cursor.Word(node.valueLength) || !cursor.Word(type) || !cursor.Text(node.key) ||
      !cursor.Align()) {
    return false;
  }
  node.end = start + length;
  node.valueOffset = cursor.Offset();
  node.valueBytes = type == 1 ? std::size_t{node.valueLength} * 2 : node.valueLength;
  if (node.valueOffset > node.end || node.valueBytes > node.end - node.valueOffset) return false;
  Cursor children(block, node.end);
  if (!children.Skip(node.valueOffset + node.valueBytes) || !children.Align()) {
    node.childrenOffset = node.end;
  } else {
    node.childrenOffset = children.Offset();
  }
  return true;
}

}  // namespace

std::optional<DialogTemplate> LoadDialogTemplate(UINT id) {
  if (id > 0xFFFF) return std::nullopt;
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(static_cast<WORD>(id)), RT_DIALOG);
  if (resource == nullptr) return std::nullopt;
  const Entry* entry = EntryOf(resource);
  Cursor cursor(entry->data, entry->size);
  // The extended layout starts with version 1 and 0xFFFF where the classic one has its style.
  if (entry->size >= 4 && LoadLittleEndian32(entry->data) == 0xFFFF0001u) return std::nullopt;
  DialogTemplate dialog;
  WORD itemCount = 0;
  StoredId menu;
  StoredId windowClass;
  if (!cursor.Dword(dialog.style) || !cursor.Dword(dialog.exStyle) || !cursor.Word(itemCount) ||
      !cursor.Short(dialog.x) || !cursor.Short(dialog.y) || !cursor.Short(dialog.width) ||
      !cursor.Short(dialog.height) || !cursor.Id(menu) || !cursor.Id(windowClass) ||
      !cursor.Text(dialog.title)) {
    return std::nullopt;
  }
  if ((dialog.style & DS_SETFONT) != 0 &&
      (!cursor.Word(dialog.pointSize) || !cursor.Text(dialog.fontName))) {
    return std::nullopt;
  }
  for (WORD index = 0; index < itemCount; ++index) {
    DialogItemTemplate item;
    StoredId itemClass;
    StoredId text;
    WORD extraBytes = 0;
    if (!cursor.Align() || !cursor.Dword(item.style) || !cursor.Dword(item.exStyle) ||
        !cursor.Short(item.x) || !cursor.Short(item.y) || !cursor.Short(item.width) ||
        !cursor.Short(item.height) || !cursor.Word(item.id) || !cursor.Id(itemClass) ||
        !cursor.Id(text) || !cursor.Word(extraBytes) || !cursor.Skip(extraBytes)) {
      return std::nullopt;
    }
    item.className = ClassNameOf(itemClass);
    item.text = text.text;
    dialog.items.push_back(std::move(item));
  }
  return dialog;
}

bool SameClassName(std::u16string_view left, std::u16string_view right) {
  return SameText(left, right);
}

}  // namespace host

HRSRC WINAPI FindResourceW(HMODULE /*module*/, LPCWSTR name, LPCWSTR type) {
  for (const host::Entry& entry : host::Entries()) {
    if (host::Matches(entry.type, type) && host::Matches(entry.name, name)) {
      return reinterpret_cast<HRSRC>(const_cast<host::Entry*>(&entry));
    }
  }
  return nullptr;
}

DWORD WINAPI SizeofResource(HMODULE /*module*/, HRSRC resource) {
  return resource != nullptr ? host::EntryOf(resource)->size : 0;
}

HGLOBAL WINAPI LoadResource(HMODULE /*module*/, HRSRC resource) {
  return resource != nullptr ? const_cast<BYTE*>(host::EntryOf(resource)->data) : nullptr;
}

LPVOID WINAPI LockResource(HGLOBAL data) {
  return data;
}

// The program is the only module: every instance handle names its resources.
HINSTANCE AppInstance() {
  static char module;
  return reinterpret_cast<HINSTANCE>(&module);
}

// Strings are stored sixteen to a block: block n holds ids 16(n-1) to 16n-1, each a WORD length
// and that many UTF-16 units, without a terminator.
int WINAPI LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) {
  if (buffer == nullptr || bufferMax < 0) return 0;
  if (bufferMax > 0) buffer[0] = u'\0';
  if (id / 16 + 1 > 0xFFFF) return 0;
  HRSRC block =
      FindResourceW(instance, MAKEINTRESOURCEW(static_cast<WORD>(id / 16 + 1)), RT_STRING);
  if (block == nullptr) return 0;
  const host::Entry* entry = host::EntryOf(block);
  host::Cursor cursor(entry->data, entry->size);
  WORD length = 0;
  for (UINT index = 0; index <= id % 16; ++index) {
    if ((index > 0 && !cursor.Skip(std::size_t{length} * 2)) || !cursor.Word(length)) return 0;
  }
  const std::size_t text = cursor.Offset();
  if (!cursor.Skip(std::size_t{length} * 2)) return 0;
  if (bufferMax == 0) {
    *reinterpret_cast<LPCWSTR*>(buffer) = reinterpret_cast<LPCWSTR>(entry->data + text);
    return length;
  }
  const int copied = std::min<int>(length, bufferMax - 1);
  for (int unit = 0; unit < copied; ++unit) {
    buffer[unit] = static_cast<WCHAR>(LoadLittleEndian16(entry->data + text + 2 * unit));
  }
  buffer[copied] = u'\0';
  return copied;
}

// An icon handle is its icon group as stored.
HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name) {
  HRSRC group = FindResourceW(instance, name, RT_GROUP_ICON);
  return static_cast<HICON>(LockResource(LoadResource(instance, group)));
}

BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length) {
  if (block == nullptr || subBlock == nullptr || buffer == nullptr || length == nullptr) {
    return FALSE;
  }
  const auto* bytes = static_cast<const BYTE*>(block);
  const std::size_t total = LoadLittleEndian16(bytes);
  host::VersionNode node;
  if (!host::ReadVersionNode(bytes, total, 0, node)) return FALSE;
  std::u16string_view path(subBlock);
  while (!path.empty()) {
    const std::size_t separator = path.find(u'\\');
    const std::u16string_view key = path.substr(0, separator);
    path =
        separator == std::u16string_view::npos ? std::u16string_view() : path.substr(separator + 1);
    if (key.empty()) continue;
    bool found = false;
    for (std::size_t child = node.childrenOffset; child + 6 <= node.end;) {
      host::VersionNode next;
      if (!host::ReadVersionNode(bytes, node.end, child, next) || next.end == child) return FALSE;
      if (host::SameText(next.key, key)) {
        node = next;
        found = true;
        break;
      }
      child = (next.end + 3) / 4 * 4;
    }
    if (!found) return FALSE;
  }
  *buffer = const_cast<BYTE*>(bytes + node.valueOffset);
  *length = node.valueLength;
  return node.valueLength != 0 ? TRUE : FALSE;
}

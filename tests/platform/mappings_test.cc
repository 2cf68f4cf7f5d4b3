// File mappings and views as MappedFile uses them: a read-only mapping under a shared name, an
// unnamed read-write one whose writes reach the file, views of the whole file from offset 0.
#include <cstring>

#include "conformance.h"

namespace {

using conformance::Bytes;
using conformance::Card;
using conformance::Open;
using conformance::Text;

constexpr DWORD kReadOnly = PAGE_READONLY | SEC_COMMIT;
constexpr DWORD kReadWrite = PAGE_READWRITE | SEC_COMMIT;
constexpr DWORD kGranularity = 0x10000;

Bytes Pattern(std::size_t length) {
  Bytes bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  return bytes;
}

Bytes ViewBytes(LPCVOID view, std::size_t length) {
  return Bytes(static_cast<const char*>(view), length);
}

// A file of the card, open for `access`, and a mapping of all of it.
struct Mapped {
  Mapped(Card& card, const std::string& name, DWORD access, DWORD protect, const Text* objectName)
      : file(Open(card.Path(name), access)) {
    SetLastError(ERROR_SUCCESS);
    mapping = CreateFileMappingW(file, nullptr, protect, 0, 0,
                                 objectName != nullptr ? objectName->c_str() : nullptr);
    error = GetLastError();
  }
  ~Mapped() {
    if (mapping != nullptr) CloseHandle(mapping);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  HANDLE file;
  HANDLE mapping = nullptr;
  DWORD error = ERROR_SUCCESS;
};

const conformance::Case kMappingCases[] = {
    {"WholeFileViewShowsTheFileBytes",
     [](Card& card) {
       const Bytes content = Pattern(70000);
       card.Write("file.bin", content);
       Mapped mapped(card, "file.bin", GENERIC_READ, kReadOnly, nullptr);
       ASSERT_NE(mapped.mapping, nullptr);
       const LPVOID view = MapViewOfFile(mapped.mapping, FILE_MAP_READ, 0, 0, 0);
       ASSERT_NE(view, nullptr);
       EXPECT_EQ(ViewBytes(view, content.size()), content);
       EXPECT_TRUE(UnmapViewOfFile(view));
     }},
    // MappedFile::Open fails on an empty file: the platform maps no zero-byte file.
    {"EmptyFileCannotBeMapped",
     [](Card& card) {
       card.Write("empty.bin", "");
       Mapped mapped(card, "empty.bin", GENERIC_READ, kReadOnly, nullptr);
       ASSERT_NE(mapped.file, INVALID_HANDLE_VALUE);
       EXPECT_EQ(mapped.mapping, nullptr);
       EXPECT_EQ(mapped.error, ERROR_FILE_INVALID);
     }},
    // Why MappedFile refuses a name that is taken: the platform hands back the existing object,
    // with another file's bytes.
    {"NameInUseHandsBackTheExistingObject",
     [](Card& card) {
       card.Write("first.bin", "first file");
       card.Write("second.bin", "the second one");
       const Text name = card.ObjectName("mapping");
       Mapped first(card, "first.bin", GENERIC_READ, kReadOnly, &name);
       ASSERT_NE(first.mapping, nullptr);
       EXPECT_NE(first.error, ERROR_ALREADY_EXISTS);
       Mapped second(card, "second.bin", GENERIC_READ, kReadOnly, &name);
       ASSERT_NE(second.mapping, nullptr);
       EXPECT_EQ(second.error, ERROR_ALREADY_EXISTS);
       const LPVOID view = MapViewOfFile(second.mapping, FILE_MAP_READ, 0, 0, 0);
       ASSERT_NE(view, nullptr);
       EXPECT_EQ(ViewBytes(view, 10), "first file");
       UnmapViewOfFile(view);
     }},
    // A name goes with the object's last handle; a view keeps the object but not its name.
    {"NameGoesWithTheLastHandleWhileAViewKeepsTheObject",
     [](Card& card) {
       card.Write("file.bin", "content");
       card.Write("other.bin", "other");
       const Text name = card.ObjectName("mapping");
       LPVOID view = nullptr;
       {
         Mapped mapped(card, "file.bin", GENERIC_READ, kReadOnly, &name);
         ASSERT_NE(mapped.mapping, nullptr);
         view = MapViewOfFile(mapped.mapping, FILE_MAP_READ, 0, 0, 0);
         ASSERT_NE(view, nullptr);
       }
       Mapped fresh(card, "other.bin", GENERIC_READ, kReadOnly, &name);
       ASSERT_NE(fresh.mapping, nullptr);
       EXPECT_NE(fresh.error, ERROR_ALREADY_EXISTS);
       EXPECT_EQ(ViewBytes(view, 7), "content") << "the view still shows its own file";
       const LPVOID freshView = MapViewOfFile(fresh.mapping, FILE_MAP_READ, 0, 0, 0);
       ASSERT_NE(freshView, nullptr);
       EXPECT_EQ(ViewBytes(freshView, 5), "other");
       UnmapViewOfFile(freshView);
       UnmapViewOfFile(view);
     }},
    // MappedFile's read-write mapping has no name, so no other opener can be handed it.
    {"UnnamedMappingsAreDistinctObjects",
     [](Card& card) {
       card.Write("first.bin", "first");
       card.Write("second.bin", "second");
       Mapped first(card, "first.bin", GENERIC_READ | GENERIC_WRITE, kReadWrite, nullptr);
       Mapped second(card, "second.bin", GENERIC_READ | GENERIC_WRITE, kReadWrite, nullptr);
       ASSERT_NE(first.mapping, nullptr);
       ASSERT_NE(second.mapping, nullptr);
       EXPECT_NE(second.error, ERROR_ALREADY_EXISTS);
       const LPVOID view = MapViewOfFile(second.mapping, FILE_MAP_READ, 0, 0, 0);
       ASSERT_NE(view, nullptr);
       EXPECT_EQ(ViewBytes(view, 6), "second");
       UnmapViewOfFile(view);
     }},
    {"ReadOnlyMappingRefusesWritableViews",
     [](Card& card) {
       card.Write("file.bin", "content");
       Mapped mapped(card, "file.bin", GENERIC_READ, kReadOnly, nullptr);
       ASSERT_NE(mapped.mapping, nullptr);
       for (DWORD access : {DWORD{FILE_MAP_ALL_ACCESS}, DWORD{FILE_MAP_WRITE}}) {
         EXPECT_EQ(MapViewOfFile(mapped.mapping, access, 0, 0, 0), nullptr) << access;
         EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
       }
     }},
    {"ReadWriteMappingNeedsAFileOpenForWriting",
     [](Card& card) {
       card.Write("file.bin", "content");
       Mapped mapped(card, "file.bin", GENERIC_READ, kReadWrite, nullptr);
       EXPECT_EQ(mapped.mapping, nullptr);
       EXPECT_EQ(mapped.error, ERROR_ACCESS_DENIED);
     }},
    // The device's allocation granularity is 64 KiB, as desktop Windows'; MappedFile maps
    // from offset 0 only.
    {"ViewOffsetIsAMultipleOfTheAllocationGranularity",
     [](Card& card) {
       const Bytes content = Pattern(3 * kGranularity);
       card.Write("file.bin", content);
       Mapped mapped(card, "file.bin", GENERIC_READ, kReadOnly, nullptr);
       ASSERT_NE(mapped.mapping, nullptr);
       for (DWORD offset : {DWORD{4096}, kGranularity / 2, kGranularity + 1}) {
         EXPECT_EQ(MapViewOfFile(mapped.mapping, FILE_MAP_READ, 0, offset, 100), nullptr) << offset;
         EXPECT_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
       }
       const LPVOID view = MapViewOfFile(mapped.mapping, FILE_MAP_READ, 0, kGranularity, 100);
       ASSERT_NE(view, nullptr);
       EXPECT_EQ(ViewBytes(view, 100), content.substr(kGranularity, 100));
       UnmapViewOfFile(view);
     }},
    // The compacted bootloader image reaches the card through the read-write view.
    {"WritesThroughAReadWriteViewReachTheFile",
     [](Card& card) {
       card.Write("file.bin", Pattern(5000));
       {
         Mapped mapped(card, "file.bin", GENERIC_READ | GENERIC_WRITE, kReadWrite, nullptr);
         ASSERT_NE(mapped.mapping, nullptr);
         const LPVOID view = MapViewOfFile(mapped.mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
         ASSERT_NE(view, nullptr);
         std::memcpy(view, "compacted", 9);
         std::memcpy(static_cast<char*>(view) + 4990, "end", 3);
         EXPECT_TRUE(UnmapViewOfFile(view));
       }
       Bytes expected = Pattern(5000);
       expected.replace(0, 9, "compacted");
       expected.replace(4990, 3, "end");
       EXPECT_EQ(card.Read("file.bin"), expected);
     }},
};

}  // namespace

PLATFORM_CONFORMANCE_CASES(Mappings, kMappingCases);

// Files: the opens of MappedFile (read-only or read-write, no sharing), of CardFileSize (no data
// access), sizes past 4 GiB and the last-error values the system reads.
#include "conformance.h"

namespace {

using conformance::Card;
using conformance::Open;

constexpr std::uint64_t k4GiB = 0x100000000ull;

const conformance::Case kFileCases[] = {
    {"MissingFileFailsWithFileNotFound",
     [](Card& card) {
       EXPECT_EQ(Open(card.Path("missing.bin"), GENERIC_READ), INVALID_HANDLE_VALUE);
       EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
     }},
    {"MissingFolderFailsWithPathNotFound",
     [](Card& card) {
       EXPECT_EQ(Open(card.Path("missing\\file.bin"), GENERIC_READ), INVALID_HANDLE_VALUE);
       EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
     }},
    // MappedFile opens without sharing, so nobody else can write a file while it is verified.
    {"SecondOpenOfAFileHeldWithoutSharingIsASharingViolation",
     [](Card& card) {
       card.Write("held.bin", "data");
       const HANDLE held = Open(card.Path("held.bin"), GENERIC_READ);
       ASSERT_NE(held, INVALID_HANDLE_VALUE);
       for (DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_READ | GENERIC_WRITE}}) {
         for (DWORD share : {DWORD{0}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
           EXPECT_EQ(Open(card.Path("held.bin"), access, share), INVALID_HANDLE_VALUE)
               << access << " " << share;
           EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
         }
       }
       CloseHandle(held);
       const HANDLE again = Open(card.Path("held.bin"), GENERIC_READ | GENERIC_WRITE);
       EXPECT_NE(again, INVALID_HANDLE_VALUE) << "closing the handle gives the file back";
       CloseHandle(again);
     }},
    // CardFileSize opens for no data access, which no sharing mode refuses.
    {"OpenForNoDataAccessSucceedsWhileTheFileIsHeld",
     [](Card& card) {
       card.Write("held.bin", "data");
       const HANDLE held = Open(card.Path("held.bin"), GENERIC_READ | GENERIC_WRITE);
       ASSERT_NE(held, INVALID_HANDLE_VALUE);
       const HANDLE query = Open(card.Path("held.bin"), 0);
       EXPECT_NE(query, INVALID_HANDLE_VALUE);
       if (query != INVALID_HANDLE_VALUE) {
         DWORD high = 1;
         EXPECT_EQ(GetFileSize(query, &high), 4u);
         EXPECT_EQ(high, 0u);
         CloseHandle(query);
       }
       CloseHandle(held);
     }},
    {"ReadOnlyFileDoesNotOpenForWriting",
     [](Card& card) {
       card.Write("locked.bin", "data");
       card.MakeReadOnly("locked.bin");
       if (conformance::ReadOnlyIgnored(card, "locked.bin"))
         GTEST_SKIP() << conformance::kReadOnlyIgnored;
       EXPECT_EQ(Open(card.Path("locked.bin"), GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
       EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
       const HANDLE read = Open(card.Path("locked.bin"), GENERIC_READ);
       EXPECT_NE(read, INVALID_HANDLE_VALUE);
       CloseHandle(read);
     }},
    // A package of 4 GiB or more must not be taken for its size modulo 2^32.
    {"SizePast4GiBHasItsHighWord",
     [](Card& card) {
       card.Resize("large.bin", k4GiB + 5);
       const HANDLE file = Open(card.Path("large.bin"), 0);
       ASSERT_NE(file, INVALID_HANDLE_VALUE);
       DWORD high = 0;
       EXPECT_EQ(GetFileSize(file, &high), 5u);
       EXPECT_EQ(high, 1u);
       CloseHandle(file);
     }},
    {"ClosedHandleIsInvalid",
     [](Card& card) {
       card.Write("file.bin", "data");
       const HANDLE file = Open(card.Path("file.bin"), GENERIC_READ);
       ASSERT_NE(file, INVALID_HANDLE_VALUE);
       EXPECT_TRUE(CloseHandle(file));
       EXPECT_EQ(GetFileSize(file, nullptr), INVALID_FILE_SIZE);
       EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
     }},
};

}  // namespace

PLATFORM_CONFORMANCE_CASES(Files, kFileCases);

// GetDiskFreeSpaceExW as HasEnoughFreeSpace calls it: on the card's folder, failing reads as no
// space.
#include "conformance.h"

namespace {

using conformance::Card;

const conformance::Case kDiskSpaceCases[] = {
    {"CardFolderReportsConsistentCounts",
     [](Card& card) {
       card.Write("file.bin", "data");
       ULARGE_INTEGER available{}, total{}, free{};
       ASSERT_TRUE(GetDiskFreeSpaceExW(card.Path("").c_str(), &available, &total, &free));
       EXPECT_GT(total.QuadPart, 0u);
       EXPECT_LE(available.QuadPart, free.QuadPart);
       EXPECT_LE(free.QuadPart, total.QuadPart);
     }},
    {"OnlyTheCountsAskedForAreWritten",
     [](Card& card) {
       ULARGE_INTEGER available{};
       available.QuadPart = 0;
       EXPECT_TRUE(GetDiskFreeSpaceExW(card.Path("").c_str(), &available, nullptr, nullptr));
       EXPECT_GT(available.QuadPart, 0u);
     }},
    // Only the failure: the reason differs (the host says ERROR_PATH_NOT_FOUND, Wine
    // ERROR_FILE_NOT_FOUND), and HasEnoughFreeSpace reads any failure as no free space.
    {"MissingFolderFails",
     [](Card& card) {
       ULARGE_INTEGER available{};
       available.QuadPart = 0;
       EXPECT_FALSE(
           GetDiskFreeSpaceExW(card.Path("missing\\").c_str(), &available, nullptr, nullptr));
     }},
};

}  // namespace

PLATFORM_CONFORMANCE_CASES(DiskSpace, kDiskSpaceCases);

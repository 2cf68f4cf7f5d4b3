// CopyFileExW as CopyWithProgress calls it: flags 0 (replace), a progress routine, a cancel flag
// that stays FALSE.
//
// Wine's CopyFileExW calls no progress routine at all and ignores the cancel flag. Neither can
// reach the system: CopyWithProgress resets the bar before the copy and takes its result from
// CopyFileExW alone, so a copy whose routine is never called leaves the bar at 0 until the next
// step and changes nothing else; and the system never cancels a copy. The cases about the routine
// and cancelling state the platform's documented behaviour, which the host follows, and are
// skipped under Wine.
#include <algorithm>
#include <vector>

#include "conformance.h"

namespace {

using conformance::Bytes;
using conformance::Card;

struct Progress {
  std::vector<ULONGLONG> transferred;
  ULONGLONG total = 0;
  DWORD answer = PROGRESS_CONTINUE;
};

DWORD WINAPI Record(LARGE_INTEGER total, LARGE_INTEGER transferred, LARGE_INTEGER, LARGE_INTEGER,
                    DWORD, DWORD, HANDLE, HANDLE, LPVOID data) {
  auto* progress = static_cast<Progress*>(data);
  progress->total = static_cast<ULONGLONG>(total.QuadPart);
  progress->transferred.push_back(static_cast<ULONGLONG>(transferred.QuadPart));
  return progress->answer;
}

BOOL Copy(Card& card, const std::string& from, const std::string& to, DWORD flags = 0,
          Progress* progress = nullptr, BOOL cancel = FALSE) {
  Progress ignored;
  return CopyFileExW(card.Path(from).c_str(), card.Path(to).c_str(), Record,
                     progress != nullptr ? progress : &ignored, &cancel, flags);
}

constexpr const char* kOnWine =
    "Wine's CopyFileExW calls no progress routine and ignores the "
    "cancel flag; the system needs neither (see the file comment)";

const conformance::Case kCopyCases[] = {
    {"CopyReplacesAnExistingDestination",
     [](Card& card) {
       card.Write("source.bin", Bytes(3000, 's'));
       card.Write("copy.bin", Bytes(9000, 'd'));
       ASSERT_TRUE(Copy(card, "source.bin", "copy.bin"));
       EXPECT_EQ(card.Read("copy.bin"), Bytes(3000, 's'));
     }},
    {"FailIfExistsKeepsTheDestination",
     [](Card& card) {
       card.Write("source.bin", "new");
       card.Write("copy.bin", "old");
       EXPECT_FALSE(Copy(card, "source.bin", "copy.bin", COPY_FILE_FAIL_IF_EXISTS));
       EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
       EXPECT_EQ(card.Read("copy.bin"), "old");
     }},
    {"MissingSourceFailsWithFileNotFound",
     [](Card& card) {
       EXPECT_FALSE(Copy(card, "missing.bin", "copy.bin"));
       EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
       EXPECT_FALSE(std::filesystem::exists(card.HostPath("copy.bin")));
     }},
    {"ReadOnlyDestinationIsNotReplaced",
     [](Card& card) {
       card.Write("source.bin", "new");
       card.Write("copy.bin", "old");
       card.MakeReadOnly("copy.bin");
       if (conformance::ReadOnlyIgnored(card, "copy.bin"))
         GTEST_SKIP() << conformance::kReadOnlyIgnored;
       EXPECT_FALSE(Copy(card, "source.bin", "copy.bin"));
       EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
       EXPECT_EQ(card.Read("copy.bin"), "old");
     }},
    {"EmptySourceGivesAnEmptyCopy",
     [](Card& card) {
       card.Write("empty.bin", "");
       card.Write("copy.bin", "old");
       ASSERT_TRUE(Copy(card, "empty.bin", "copy.bin"));
       EXPECT_EQ(card.Read("copy.bin"), "");
     }},
    {"ProgressRoutineSeesRisingCountsUpToTheTotal",
     [](Card& card) {
       if (conformance::OnWine()) GTEST_SKIP() << kOnWine;
       constexpr ULONGLONG kSize = 5'000'000;
       card.Write("source.bin", Bytes(kSize, 'x'));
       Progress progress;
       ASSERT_TRUE(Copy(card, "source.bin", "copy.bin", 0, &progress));
       ASSERT_FALSE(progress.transferred.empty());
       EXPECT_EQ(progress.total, kSize);
       EXPECT_TRUE(std::is_sorted(progress.transferred.begin(), progress.transferred.end()));
       EXPECT_EQ(progress.transferred.back(), kSize);
     }},
    {"ProgressRoutineCancelFailsTheCopyWithoutADestination",
     [](Card& card) {
       if (conformance::OnWine()) GTEST_SKIP() << kOnWine;
       card.Write("source.bin", Bytes(100000, 'x'));
       Progress progress;
       progress.answer = PROGRESS_CANCEL;
       EXPECT_FALSE(Copy(card, "source.bin", "copy.bin", 0, &progress));
       EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);
       EXPECT_FALSE(std::filesystem::exists(card.HostPath("copy.bin")));
     }},
    {"CancelFlagSetFailsTheCopy",
     [](Card& card) {
       if (conformance::OnWine()) GTEST_SKIP() << kOnWine;
       card.Write("source.bin", Bytes(100000, 'x'));
       EXPECT_FALSE(Copy(card, "source.bin", "copy.bin", 0, nullptr, TRUE));
       EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);
       EXPECT_FALSE(std::filesystem::exists(card.HostPath("copy.bin")));
     }},
};

}  // namespace

PLATFORM_CONFORMANCE_CASES(CopyFile, kCopyCases);

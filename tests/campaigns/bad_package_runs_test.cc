// Whole runs with a bad package file on the card: each of the three package files missing,
// empty, a directory, or unreadable. Every run must fail with the message the user can act on
// (or, for a bootloader package that copies but does not verify, no message of its own), count
// the operations it reached, and leave the flash as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "../scenarios/scenario_bench.h"
#include "../scenarios/scenario_expectations.h"
#include "common/message_ids.h"

namespace scenario {
namespace {

enum class Damage { Missing, Empty, Directory, Unreadable };

struct Case {
  const char* name;
  const char* path;
  Damage damage;
  std::vector<int> messages;  // besides the confirmation and the final kUpgradeFailedText
  int lastOperation;
};

void Apply(const Bench& bench, const char* path, Damage damage) {
  const auto file = bench.Device().Card(path);
  std::filesystem::remove(file);
  switch (damage) {
    case Damage::Missing:
      break;
    case Damage::Empty:
      bench.Device().WriteCard(path, Bytes{});
      break;
    case Damage::Directory:
      std::filesystem::create_directory(file);
      break;
    case Damage::Unreadable:
      if (geteuid() == 0) {
        // Permissions do not stop root: a link to itself cannot be opened by anyone.
        std::filesystem::create_symlink(file.filename(), file);
      } else {
        bench.Device().WriteCard(path, Bytes{1, 2, 3});
        std::filesystem::permissions(file, std::filesystem::perms::none);
      }
      break;
  }
}

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

class BadPackageRun : public ::testing::TestWithParam<Case> {};

TEST_P(BadPackageRun, FailsWithItsMessageAndErasesNothing) {
  const Case& c = GetParam();
  Bench bench("52614-01");
  const PackageSet& packages = StandardPackages(1, 20'000, 5'000);
  bench.Place(packages);
  Apply(bench, c.path, c.damage);
  std::vector<int> messages = {kConfirmUpgradeText};
  messages.insert(messages.end(), c.messages.begin(), c.messages.end());
  PromiseJudge judge(bench, 1);
  const int status = bench.Run("ok");
  ExpectOutcome(judge, bench, packages, status, Fails(messages, c.lastOperation));
  EXPECT_EQ(bench.NorAfter(), bench.NorBefore());
}

// The common package is opened first (no operation counted when it cannot be opened); the
// variant image and the bootloader package are copied first, and a copy counts as an operation
// whether or not it succeeds. An empty file cannot be mapped, so it fails before its
// verification would count; an empty bootloader package copies, then its working copy fails
// to map, which shows no message of its own.
INSTANTIATE_TEST_SUITE_P(
    Cards, BadPackageRun,
    ::testing::Values(
        Case{"CommonMissing", "sdisk.bc", Damage::Missing, {kCorruptFilesText}, 0},
        Case{"CommonEmpty", "sdisk.bc", Damage::Empty, {kCorruptFilesText}, 0},
        Case{"CommonDirectory", "sdisk.bc", Damage::Directory, {kCorruptFilesText}, 0},
        Case{"CommonUnreadable", "sdisk.bc", Damage::Unreadable, {kCorruptFilesText}, 0},
        Case{"VariantMissing", "EA1/syaffs.bc", Damage::Missing, {kCorruptFilesText}, 2},
        Case{"VariantEmpty", "EA1/syaffs.bc", Damage::Empty, {kCorruptFilesText}, 2},
        Case{"VariantDirectory", "EA1/syaffs.bc", Damage::Directory, {kCorruptFilesText}, 2},
        Case{"VariantUnreadable", "EA1/syaffs.bc", Damage::Unreadable, {kCorruptFilesText}, 2},
        Case{"BootloaderMissing", "seboot.nb0", Damage::Missing, {kCorruptFilesText}, 4},
        Case{"BootloaderEmpty", "seboot.nb0", Damage::Empty, {}, 4},
        Case{"BootloaderDirectory", "seboot.nb0", Damage::Directory, {kCorruptFilesText}, 4},
        Case{"BootloaderUnreadable", "seboot.nb0", Damage::Unreadable, {kCorruptFilesText}, 4}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace scenario

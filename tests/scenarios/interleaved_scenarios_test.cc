// Whole runs on a 100,000,000-byte variant image, with a second process (the neighbour) holding
// NOR_SYN_OBJ while the updater stages the bootloader. After operation 2 has begun the updater
// takes the lock next only for programming, and copying and verifying 100 MB leaves ample time
// to take it first; the test checks that it did.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "common/message_ids.h"
#include "neighbour_process.h"
#include "platform/core_library.h"
#include "scenario_bench.h"
#include "scenario_expectations.h"

namespace scenario {
namespace {

constexpr std::size_t kLargeImageSize = 100'000'000;
constexpr std::size_t kLargeRecordSize = 1 << 20;

bool Shows(const Transcript& transcript, const std::string& counter) {
  for (const std::string& text : transcript.Counters()) {
    if (text == counter) {
      return true;
    }
  }
  return false;
}

bool VerifiedBootloader(const Transcript& transcript) {
  const std::vector<int> positions = transcript.ProgressDuring(5);
  return !positions.empty() && positions.back() == 100;
}

class InterleavedRun : public ::testing::Test {
 protected:
  InterleavedRun()
      : bench_("52614-11"),
        packages_(StandardPackages(1, 150'000, kLargeImageSize, kLargeRecordSize)) {
    bench_.Place(packages_);
    judge_.emplace(bench_, 1);
  }

  // Starts the run; another process (the neighbour) takes NOR_SYN_OBJ once operation 2 shows.
  // Then runs `whileHeld` and waits until the working copy has been verified. The updater must
  // now wait for the lock: the flash stays untouched and operation 6 does not begin while the
  // other process holds it.
  void RunHoldingTheLock(const std::string& answers, const std::function<void()>& whileHeld) {
    bench_.Start(answers);
    Neighbour holder(bench_, {"transcript:Operation 2 of 6:", "hold", "nor", "600000"});
    ASSERT_TRUE(holder.WaitForReport("held nor", std::chrono::seconds(300)))
        << "the other process never took the lock";
    ASSERT_FALSE(Shows(bench_.ReadTranscript(), "Operation 6 of 6:"))
        << "the updater reached programming before the other process took the lock";
    whileHeld();
    EXPECT_TRUE(bench_.WaitForTranscript(VerifiedBootloader)) << "the bootloader was not verified";
    // Give a wrongly unlocked updater time to go on; a correct one stays where it is.
    EXPECT_FALSE(bench_.WaitForTranscript(
        [](const Transcript& transcript) { return Shows(transcript, "Operation 6 of 6:"); },
        std::chrono::seconds(1)))
        << "programming began while another process held NOR_SYN_OBJ";
    EXPECT_TRUE(bench_.NorAfter() == bench_.NorBefore());
    holder.Stop();
    status_ = bench_.Finish();
  }

  void Unplug() {
    bench_.UpdateConfig([](sim::DeviceConfig& config) { config.acLine = sim::AcLine::Offline; });
  }

  Bench bench_;
  const PackageSet& packages_;
  std::optional<PromiseJudge> judge_;
  int status_ = -1;
};

TEST_F(InterleavedRun, ProgrammingWaitsForTheLockAndTheLargeImageCompletes) {
  RunHoldingTheLock("ok", [] {});
  ExpectOutcome(*judge_, bench_, packages_, status_, Completes());
  // One position per 1 MiB record (or per copied chunk), rising to 100.
  const Transcript transcript = bench_.ReadTranscript();
  if (CopiesShowProgress()) {
    EXPECT_GE(transcript.ProgressDuring(2).size(), 10u);
  }
  EXPECT_GE(transcript.ProgressDuring(3).size(), 50u);
}

struct PowerRow {
  const char* name;
  const char* answers;
  Expectation expected;
};

void PrintTo(const PowerRow& row, std::ostream* out) {
  *out << row.name;
}

class PowerBeforeProgramming : public InterleavedRun,
                               public ::testing::WithParamInterface<PowerRow> {};

TEST_P(PowerBeforeProgramming, Run) {
  if (const auto reason = HostOnlyReason(GetParam().answers)) GTEST_SKIP() << *reason;
  RunHoldingTheLock(GetParam().answers, [this] { Unplug(); });
  ExpectOutcome(*judge_, bench_, packages_, status_, GetParam().expected);
}

Expectation CompletesAfter(std::vector<int> messages) {
  Expectation expected = Completes();
  expected.messages = std::move(messages);
  return expected;
}

const PowerRow kPowerRows[] = {
    // name                 answers            expected
    {"Cancelled", "ok,cancel", Fails({kConfirmUpgradeText, kExternalPowerRequiredText}, 6)},
    {"PluggedThenOk", "ok,plug,ok",
     CompletesAfter({kConfirmUpgradeText, kExternalPowerRequiredText})},
    {"OkWhileUnplugged", "ok,ok,plug,ok",
     CompletesAfter({kConfirmUpgradeText, kExternalPowerRequiredText, kExternalPowerRequiredText})},
    {"PluggedButUnanswered", "ok,plug,none",
     Fails({kConfirmUpgradeText, kExternalPowerRequiredText}, 6)},
    {"PromptsRunOut", "ok", Fails({kConfirmUpgradeText, kExternalPowerRequiredText}, 6)},
};

INSTANTIATE_TEST_SUITE_P(Prompts, PowerBeforeProgramming, ::testing::ValuesIn(kPowerRows),
                         [](const ::testing::TestParamInfo<PowerRow>& info) {
                           return info.param.name;
                         });

TEST_F(InterleavedRun, FlashThatNoLongerOpensIsLeftUntouched) {
  RunHoldingTheLock("ok", [this] {
    bench_.UpdateConfig([](sim::DeviceConfig& config) { config.manufacturer = 0x0001; });
  });
  ExpectOutcome(*judge_, bench_, packages_, status_, Fails({kConfirmUpgradeText}, 5));
}

}  // namespace
}  // namespace scenario

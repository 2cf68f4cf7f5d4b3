// The reduced power-cut campaign of the test suite: a small package set, cut points spread
// over the whole update and both sides of every phase boundary. scripts/power-cut runs the
// whole campaign.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

#include "power_cut_campaign.h"

namespace campaign {
namespace {

TEST(PowerCutCampaign, NoCutPointBreaksTheFlashOrTheNextRun) {
  CampaignOptions options;
  options.bootloaderSize = 9000;  // two blocks of the first region
  options.points = 24;
  // A close look at the rewrite of the Semi-Permanent block: its erase, the window in which the
  // part number is lost, and the programming after it.
  options.lastPhaseSpan = 200;
  options.lastPhaseStride = 20;
  const CampaignResult result = RunPowerCutCampaign(options);
  ASSERT_TRUE(result.error.empty()) << result.error;
  std::cout << FormatTable(result);
  ASSERT_GE(result.outcomes.size(), options.points);
  for (const CutOutcome& outcome : result.outcomes) {
    EXPECT_FALSE(outcome.Failed())
        << "cut after " << outcome.cutAfter << " of " << result.totalCommands << " commands";
  }
  // The spread reaches the last phase, where the settings block is rewritten, and the close
  // look finds the known limit there: cuts that lose the part number with the block, after
  // which the update completes once the part number is stored again.
  EXPECT_GT(result.outcomes.back().cutAfter, result.phaseEnds.end()[-2]);
  const auto lostPartNumber = std::count_if(
      result.outcomes.begin(), result.outcomes.end(),
      [](const CutOutcome& outcome) { return outcome.completedAfterRestoringPartNumber; });
  EXPECT_GT(lostPartNumber, 0);
}

}  // namespace
}  // namespace campaign

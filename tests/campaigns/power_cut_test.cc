// The reduced power-cut campaign of the test suite: a small package set, cut points spread
// over the whole update and both sides of every phase boundary. scripts/power-cut runs the
// whole campaign.
#include <gtest/gtest.h>

#include <iostream>

#include "power_cut_campaign.h"

namespace campaign {
namespace {

TEST(PowerCutCampaign, NoCutPointBreaksTheFlashOrTheNextRun) {
  CampaignOptions options;
  options.bootloaderSize = 9000;  // two blocks of the first region
  options.points = 24;
  const CampaignResult result = RunPowerCutCampaign(options);
  ASSERT_TRUE(result.error.empty()) << result.error;
  std::cout << FormatTable(result);
  ASSERT_GE(result.outcomes.size(), options.points);
  for (const CutOutcome& outcome : result.outcomes) {
    EXPECT_FALSE(outcome.Failed())
        << "cut after " << outcome.cutAfter << " of " << result.totalCommands << " commands";
  }
  // The spread reaches the last phase, where the settings block is rewritten.
  EXPECT_GT(result.outcomes.back().cutAfter, result.phaseEnds.end()[-2]);
}

}  // namespace
}  // namespace campaign

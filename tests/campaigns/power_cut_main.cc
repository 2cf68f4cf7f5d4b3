// The whole power-cut campaign (scripts/power-cut): prints one line per cut point as it goes
// and the table of cut points by outcome at the end; exits 1 when any cut point fails.
//   power_cut_campaign [POINTS] [BOOTLOADER_BYTES] [FIRST-LAST]
// POINTS 0: every command; FIRST-LAST adds every cut point of that range to the spread.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "power_cut_campaign.h"

int main(int argc, char** argv) {
  campaign::CampaignOptions options;
  if (argc > 1) options.points = std::strtoull(argv[1], nullptr, 10);
  if (argc > 2) options.bootloaderSize = std::strtoull(argv[2], nullptr, 10);
  if (argc > 3) {
    char* dash = nullptr;
    options.denseFirst = std::strtoull(argv[3], &dash, 10);
    options.denseLast = *dash == '-' ? std::strtoull(dash + 1, nullptr, 10) : options.denseFirst;
  }
  options.progress = [](const campaign::CutOutcome& outcome, std::size_t done, std::size_t total) {
    std::fprintf(stderr, "[%zu/%zu] cut after %llu: %s\n", done, total,
                 static_cast<unsigned long long>(outcome.cutAfter),
                 outcome.Failed() ? "FAIL" : "ok");
  };
  const campaign::CampaignResult result = campaign::RunPowerCutCampaign(options);
  std::cout << campaign::FormatTable(result);
  return result.error.empty() && result.Failures() == 0 ? 0 : 1;
}

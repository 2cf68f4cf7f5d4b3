// What a whole run must leave behind: exit status, transcript, flash and card.
#pragma once

#include <vector>

#include "promise_judge.h"
#include "scenario_bench.h"

namespace scenario {

enum class FlashOutcome {
  Untouched,     // nor.bin byte-identical to before the run
  WholeImage,    // the raw bootloader from block 0, the rest of its last block erased
  PartialImage,  // the image in the blocks before `failingBlock`, the old contents after it
};

struct Expectation {
  int exitStatus = 1;
  std::vector<int> messages;  // string ids in order, the dialog's kUpgradeFailedText included
  int lastOperation = 0;      // the counter label's last value, 0 when it stayed empty
  FlashOutcome flash = FlashOutcome::Untouched;
  bool updateRequest = false;
  std::uint32_t failingBlock = 0;  // PartialImage only
  bool restartRefused = false;     // the restart was requested and came back
};

// Checks that the run kept every promise (`judge`, made before the run), and what this scenario
// expects of it exactly: exit status, transcript (messages with their types, counters 1.. in
// order, the restart and the exit event), the flash against the package's bootloader image, the
// update request, the compacted working copy after a completed run; the journal shows a refused
// restart exactly when one is expected.
void ExpectOutcome(PromiseJudge& judge, const Bench& bench, const PackageSet& packages,
                   int exitStatus, const Expectation& expected);

// Successful runs: the expectation of a run that programs the image and restarts.
Expectation Completes();
// A run that returns with `messages` (kUpgradeFailedText appended) after `lastOperation`
// operations.
Expectation Fails(std::vector<int> messages, int lastOperation,
                  FlashOutcome flash = FlashOutcome::Untouched, std::uint32_t failingBlock = 0);

}  // namespace scenario

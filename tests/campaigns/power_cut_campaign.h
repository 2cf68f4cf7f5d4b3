// The power-cut campaign: a whole headless update of a small package set, cut off after the
// k-th flash command for many k, each followed by a second run with power restored.
//
// A reference run counts the flash commands of a complete update (the chip journals its count
// whenever the flash window is released, which also marks where each phase of the run ends).
// Then, for every chosen cut point k, the device is put back as it was before the update, the
// updater runs with a power cut after command k (which tears the word program or block erase it
// interrupts, as sim/nor_chip.h describes), then again with power. The promises' judge
// (tests/scenarios/promise_judge.h) judges both runs, and the second must end in a restart.
// Where the cut lost the part number with the Semi-Permanent block (the format's known limit,
// a cut inside that block's own erase or write), the second run cannot choose a variant; the
// part number is then stored again, as a service technician would, and a third run must
// complete the update.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace campaign {

struct CutOutcome {
  std::uint64_t cutAfter = 0;  // commands carried out before the power failed
  std::size_t phase = 0;       // index into CampaignResult::phaseNames
  bool cutTookEffect = false;  // the first run ended by the power cut
  std::string torn;            // what the cut tore: "program", "erase", or empty
  // The Semi-Permanent block after the cut, as the judge found it ("as before", "with request",
  // "unreadable").
  std::string semiPermanent;
  bool cutInsideSettingsWrite = false;  // k lies in the Semi-Permanent block's erase or program
  bool knownLimit = false;              // the cut lost that block, part number and all
  bool secondRunCompleted = false;
  // Only where the second run did not complete after a cut inside the settings write: a run
  // after the part number was stored again completed the update.
  bool completedAfterRestoringPartNumber = false;
  // The promises the runs of this cut point broke.
  std::vector<std::string> breaks;
  // Whether this cut point breaks a guarantee (a cut inside the settings write that loses the
  // block is the format's known limit, not a failure), or the cut did not happen.
  bool Failed() const { return !cutTookEffect || !breaks.empty(); }
};

struct CampaignOptions {
  std::size_t bootloaderSize = 20 * 1024;
  // Cut points spread evenly over the run; 0 cuts after every single command.
  std::size_t points = 200;
  // Every cut point of [denseFirst, denseLast] as well (none when denseFirst > denseLast).
  std::uint64_t denseFirst = 1;
  std::uint64_t denseLast = 0;
  // Every `lastPhaseStride`-th cut point of the first `lastPhaseSpan` commands of the last phase
  // (the store cycle that rewrites the Semi-Permanent block) as well.
  std::uint64_t lastPhaseSpan = 0;
  std::uint64_t lastPhaseStride = 1;
  // Called after each cut point (for progress lines).
  std::function<void(const CutOutcome&, std::size_t done, std::size_t total)> progress;
};

struct CampaignResult {
  std::string error;  // set when the campaign itself could not run
  std::uint64_t totalCommands = 0;
  std::vector<std::uint64_t> phaseEnds;  // command count at the end of each phase
  std::vector<std::string> phaseNames;
  // Commands of the Semi-Permanent block's own erase and programming: (first, last].
  std::uint64_t settingsWriteFirst = 0;
  std::uint64_t settingsWriteLast = 0;
  std::vector<CutOutcome> outcomes;
  std::size_t Failures() const;
};

CampaignResult RunPowerCutCampaign(const CampaignOptions& options);

// One table: a row per phase and per outcome, with the number of cut points.
std::string FormatTable(const CampaignResult& result);

}  // namespace campaign

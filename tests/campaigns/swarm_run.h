// One swarm run: a plan carried out on a fresh temporary device, each run of it (the first run
// of a power cut or kill pair as much as the second) judged from outside against the updater's
// promises by the one judge of the bench (tests/scenarios/promise_judge.h): only verified bytes
// in the flash, a restart only with the request and the whole verified image, every failure
// reported and nothing lost, and a restart only with the verified images of the device's own
// variant on the card. A run that nothing in the plan could stop must end in a restart.
//
// The one loss allowed is the format's known limit: the Semi-Permanent block has one copy, so a
// power cut or kill inside its own write may leave it unreadable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "swarm_plan.h"

namespace swarm {

struct RunReport {
  std::uint64_t seed = 0;
  // How the plan ended, as the table counts it: "restart", "bad files (134)", "no room (133)",
  // "no power (129)", "cancelled", "restart refused", "other failure (130)" (a failure whose one
  // message is "Failed to complete upgrade."), "hung", "known limit", "rewritten by a neighbour"
  // (a restart after another process rewrote a verified card file: neither a pass nor a break);
  // "no outcome" when the bench itself could not carry the run out (always with a break).
  std::string outcome;
  std::vector<std::string> breaks;  // each promise the run broke, in words; empty when none
  std::vector<std::string> log;     // what happened, step by step, for a replay

  nlohmann::json ToJson() const;
  static RunReport FromJson(const nlohmann::json& json);
};

// Signs the package files every run shares, so that processes forked afterwards find them made.
void PreparePackages();

// Carries out `plan` on a new temporary device (which becomes this process's device) and checks
// what it left behind. Never throws: a bench that cannot run the plan reports that as a break.
RunReport RunPlan(const Plan& plan);

// The fault classes a plan draws, as the table's rows name them ("no fault" for none).
std::vector<std::string> FaultClasses(const Plan& plan);
// The kinds of device and package it draws that the table shows as well ("default geometry",
// "unlock_all lock", "virtual timing", "part number of no variant" ...).
std::vector<std::string> DeviceClasses(const Plan& plan);

}  // namespace swarm

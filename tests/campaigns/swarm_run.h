// One swarm run: a plan carried out on a fresh temporary device, then checked from outside
// against the updater's three promises.
//
//   1. Only verified bytes reach the bootloader region: every block below the settings holds
//      what it held, is erased, or holds its piece of the verified bootloader image (the one
//      operation a power cut or kill interrupted may be left part-way), and a restart comes only
//      with the whole image in place and the device's own variant image copied.
//   2. A restart only with the update request (record 37 = 1) readable in the Semi-Permanent
//      Settings block.
//   3. Nothing else is lost and nothing hangs: every run ends within its time limit, the package
//      files and partitions 6, 7 and 8 are unchanged, the partition table is unchanged (or, when
//      it did not read, replaced by the default one), the Semi-Permanent block keeps every other
//      record (or, when it did not read, is left byte-identical), and every run that ends on its
//      own either restarts or ends with "Failed to complete upgrade." and status 1.
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
  // How the run ended, as the table counts it: "restart", "bad files (134)", "no room (133)",
  // "no power (129)", "cancelled", "restart refused", "other failure (130)" (a failure whose one
  // message is "Failed to complete upgrade."), "known limit"; "no outcome" when the bench itself
  // could not carry the run out (always with a break).
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

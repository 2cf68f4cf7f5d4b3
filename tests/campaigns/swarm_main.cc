// The swarm (scripts/swarm): whole headless updates, each built from its seed alone, with damage
// at rest, bad packages, power and card changes, power cuts, kills and hostile neighbours mixed
// as the seed draws them, each checked from outside against the updater's promises.
//
//   swarm RUNS [FIRST-SEED]   runs seeds FIRST-SEED (default 1) .. FIRST-SEED + RUNS - 1 and
//                             prints one table of runs per fault class and outcome; for each
//                             break, the seed and the command that replays it. Exit status 1
//                             when a run broke a promise.
//   swarm --plan SEED         prints the plan of SEED as one JSON object
//   swarm --replay SEED       runs SEED alone and says what happened
//   swarm --first-break RUNS [FIRST-SEED]
//                             runs the seeds in order until one breaks a promise and prints the
//                             first seed that broke one (scripts/swarm-selftest); exit status 1
//                             when one did, 0 when none did
//
// $ORVANTA_UPDATE_PROGRAM names the updater to judge (default: the one of this build).
//
// Runs go on in parallel, each in a process of its own ($ORVANTA_SWARM_JOBS at a time, default
// four per processor: a run mostly waits for the dialog's one-second timer). Neighbour timing is
// not deterministic, so every break is replayed once, and one that does not recur is reported
// as such: still a break.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "swarm_plan.h"
#include "swarm_run.h"

namespace {

using swarm::RunReport;

const std::vector<std::string> kOutcomes = {
    "restart",     "bad files (134)",          "no room (133)",       "no power (129)",
    "cancelled",   "restart refused",          "other failure (130)", "hung",
    "known limit", "rewritten by a neighbour", "no outcome",          "BREAK"};

int Usage() {
  std::fputs(
      "usage: swarm RUNS [FIRST-SEED] | --first-break RUNS [FIRST-SEED] | --plan SEED | "
      "--replay SEED\n",
      stderr);
  return 2;
}

bool ParseNumber(const char* text, std::uint64_t* value) {
  char* end = nullptr;
  *value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0';
}

// Runs `seed` in a child process and leaves its report in `file`.
pid_t StartRun(std::uint64_t seed, const std::filesystem::path& file) {
  std::cout.flush();
  const pid_t pid = fork();
  if (pid == 0) {
    const RunReport report = swarm::RunPlan(swarm::MakePlan(seed));
    std::ofstream(file) << report.ToJson().dump() << "\n";
    std::_Exit(0);
  }
  return pid;
}

RunReport ReadReport(std::uint64_t seed, const std::filesystem::path& file, int status) {
  std::ifstream in(file);
  const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  std::filesystem::remove(file);
  if (json.is_object()) return RunReport::FromJson(json);
  RunReport report;
  report.seed = seed;
  report.outcome = "no outcome";
  report.breaks.push_back("the run's own process ended with status " + std::to_string(status) +
                          " and no report");
  return report;
}

// Runs the seeds of `seeds` in order, `jobs` at a time, and calls `done` with each report; once
// `done` returns false no further seed is started (those running are waited for).
void RunAll(const std::vector<std::uint64_t>& seeds, unsigned jobs,
            const std::function<bool(const RunReport&)>& done) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("orvanta-swarm-" + std::to_string(getpid()));
  std::filesystem::create_directories(directory);
  std::map<pid_t, std::uint64_t> running;
  std::size_t next = 0;
  bool more = true;
  while ((more && next < seeds.size()) || !running.empty()) {
    while (more && next < seeds.size() && running.size() < jobs) {
      const std::uint64_t seed = seeds[next++];
      running[StartRun(seed, directory / (std::to_string(seed) + ".json"))] = seed;
    }
    int status = 0;
    const pid_t pid = waitpid(-1, &status, 0);
    const auto found = running.find(pid);
    if (found == running.end()) continue;
    const std::uint64_t seed = found->second;
    running.erase(found);
    more = done(ReadReport(seed, directory / (std::to_string(seed) + ".json"), status)) && more;
  }
  std::filesystem::remove_all(directory);
}

unsigned Jobs() {
  if (const char* text = std::getenv("ORVANTA_SWARM_JOBS")) {
    std::uint64_t jobs = 0;
    if (ParseNumber(text, &jobs) && jobs > 0) return static_cast<unsigned>(jobs);
  }
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  return static_cast<unsigned>(4 * (processors > 0 ? processors : 1));
}

int Replay(std::uint64_t seed) {
  const swarm::Plan plan = swarm::MakePlan(seed);
  std::cout << "plan " << swarm::ToJson(plan).dump() << "\n";
  swarm::PreparePackages();
  std::vector<RunReport> reports;
  RunAll({seed}, 1, [&](const RunReport& report) {
    reports.push_back(report);
    return true;
  });
  const RunReport& report = reports.front();
  for (const std::string& line : report.log) std::cout << line << "\n";
  std::cout << "outcome: " << report.outcome << "\n";
  for (const std::string& what : report.breaks) std::cout << "BREAK: " << what << "\n";
  if (report.breaks.empty()) std::cout << "every promise held\n";
  return report.breaks.empty() ? 0 : 1;
}

std::string Table(const std::map<std::string, std::map<std::string, std::size_t>>& counts,
                  const std::vector<std::string>& classes) {
  std::string out;
  char cell[64];
  std::snprintf(cell, sizeof cell, "%-24s %6s", "fault class", "runs");
  out += cell;
  for (const std::string& outcome : kOutcomes) {
    std::snprintf(cell, sizeof cell, " %*s", static_cast<int>(std::max<std::size_t>(outcome.size(), 5)),
                  outcome.c_str());
    out += cell;
  }
  out += "\n";
  for (const std::string& name : classes) {
    const auto row = counts.find(name);
    if (row == counts.end()) continue;
    std::size_t runs = 0;
    for (const auto& [outcome, count] : row->second)
      if (outcome != "BREAK") runs += count;
    std::snprintf(cell, sizeof cell, "%-24s %6zu", name.c_str(), runs);
    out += cell;
    for (const std::string& outcome : kOutcomes) {
      const auto found = row->second.find(outcome);
      std::snprintf(cell, sizeof cell, " %*zu",
                    static_cast<int>(std::max<std::size_t>(outcome.size(), 5)),
                    found == row->second.end() ? 0 : found->second);
      out += cell;
    }
    out += "\n";
  }
  return out;
}

// The first seed of FIRST-SEED .. FIRST-SEED + RUNS - 1 whose run breaks a promise.
int FirstBreak(std::uint64_t runs, std::uint64_t firstSeed) {
  std::vector<std::uint64_t> seeds;
  for (std::uint64_t i = 0; i < runs; ++i) seeds.push_back(firstSeed + i);
  std::optional<RunReport> earliest;
  RunAll(seeds, Jobs(), [&](const RunReport& report) {
    if (!report.breaks.empty() && (!earliest || report.seed < earliest->seed)) earliest = report;
    return !earliest.has_value();
  });
  if (!earliest) {
    std::cout << "no break in seeds " << firstSeed << ".." << firstSeed + runs - 1 << "\n";
    return 0;
  }
  std::cout << "first break at seed " << earliest->seed << ": " << earliest->breaks.front() << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string first = argv[1];
  std::uint64_t seed = 0;
  if (first == "--plan" || first == "--replay") {
    if (argc != 3 || !ParseNumber(argv[2], &seed)) return Usage();
    if (first == "--plan") {
      std::cout << swarm::ToJson(swarm::MakePlan(seed)).dump() << "\n";
      return 0;
    }
    return Replay(seed);
  }
  const bool firstBreak = first == "--first-break";
  if (firstBreak) {
    --argc;
    ++argv;
    if (argc < 2) return Usage();
  }
  std::uint64_t runs = 0;
  std::uint64_t firstSeed = 1;
  if (argc > 3 || !ParseNumber(argv[1], &runs) || (argc == 3 && !ParseNumber(argv[2], &firstSeed)))
    return Usage();

  swarm::PreparePackages();
  if (firstBreak) return FirstBreak(runs, firstSeed);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::uint64_t> seeds;
  for (std::uint64_t i = 0; i < runs; ++i) seeds.push_back(firstSeed + i);
  const std::vector<std::string> classes = {
      "no fault",        "settings damage, 1 bit", "settings damage, 2 bits",
      "partition table damage", "bootloader damage", "damaged package", "AC line changes",
      "card full",       "restart refused",        "power cut", "killed", "neighbour",
      "default geometry", "uniform geometry", "smallest geometry", "mixed geometry",
      "unlock_all lock", "virtual timing", "realistic timing", "part number of no variant",
      "records under 64 bytes", "all runs"};
  std::map<std::string, std::map<std::string, std::size_t>> counts;
  std::vector<RunReport> broken;
  std::size_t done = 0;
  RunAll(seeds, Jobs(), [&](const RunReport& report) {
    const swarm::Plan plan = swarm::MakePlan(report.seed);
    std::vector<std::string> names = swarm::FaultClasses(plan);
    for (const std::string& name : swarm::DeviceClasses(plan)) names.push_back(name);
    names.push_back("all runs");
    for (const std::string& name : names) {
      ++counts[name][report.outcome];
      if (!report.breaks.empty()) ++counts[name]["BREAK"];
    }
    if (!report.breaks.empty()) {
      broken.push_back(report);
      std::cerr << "BREAK at seed " << report.seed << ": " << report.breaks.front() << "\n";
    }
    if (++done % 100 == 0 || done == seeds.size())
      std::cerr << "[" << done << "/" << seeds.size() << "] " << broken.size() << " break(s)\n";
    return true;
  });
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);

  std::cout << "swarm: " << runs << " runs, seeds " << firstSeed << ".." << firstSeed + runs - 1
            << ", " << broken.size() << " break(s), " << seconds.count() << " s\n";
  std::cout << Table(counts, classes);
  // A break found among many runs is replayed alone: neighbour timing may not bring it back.
  for (const RunReport& report : broken) {
    std::vector<RunReport> again;
    RunAll({report.seed}, 1, [&](const RunReport& replayed) {
      again.push_back(replayed);
      return true;
    });
    const bool recurred = !again.empty() && !again.front().breaks.empty();
    std::cout << "BREAK seed " << report.seed << (recurred ? "" : " (did not recur on replay)")
              << ": ";
    for (std::size_t i = 0; i < report.breaks.size(); ++i)
      std::cout << (i ? "; " : "") << report.breaks[i];
    std::cout << "\n  replay: scripts/swarm --replay " << report.seed << "\n";
  }
  return broken.empty() ? 0 : 1;
}

// Whole runs with a hostile neighbour: another process on the same device (tests/scenarios/
// neighbour) that, on a cue from the transcript, writes through the mapping name, rewrites or
// truncates the working copy, or runs store cycles in a loop taking the two mutexes in either
// order. Whatever it does, the flash ends with exactly the signed bootloader, the update request
// is stored, and the run never hangs.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "neighbour_process.h"
#include "scenario_bench.h"
#include "scenario_expectations.h"

namespace scenario {
namespace {

constexpr char kProgrammingCue[] = "transcript:Operation 6 of 6:";
constexpr std::size_t kBootloaderSize = 200'000;

// Realistic timing with short erases: programming 200,000 bytes takes a few seconds, ample
// time for the neighbour to act while it runs.
sim::DeviceConfig SlowProgramming() {
  sim::DeviceConfig config;
  config.timing = sim::TimingMode::Realistic;
  config.blockEraseTypicalExponent = 7;
  return config;
}

class HostileNeighbour : public ::testing::Test {
 protected:
  explicit HostileNeighbour(sim::DeviceConfig config = sim::DeviceConfig())
      : bench_("52614-11", config), packages_(StandardPackages(1, kBootloaderSize)) {
    bench_.Place(packages_);
  }

  Bench bench_;
  const PackageSet& packages_;
};

class NeighbourDuringProgramming : public HostileNeighbour {
 protected:
  NeighbourDuringProgramming() : HostileNeighbour(SlowProgramming()) {}
};

// Writing through the mapping name during operation 6 must not reach the flash: the verified
// working copy is mapped where no other process can reach it.
TEST_F(NeighbourDuringProgramming, WritesThroughTheMappingNameDoNotReachTheFlash) {
  PromiseJudge judge(bench_, 1);
  bench_.Start("ok");
  Neighbour neighbour(bench_, {kProgrammingCue, "write-mapping", "neighbour.bin", "150000", "19"});
  const int status = bench_.Finish(std::chrono::seconds(120));
  EXPECT_NE(neighbour.Stop().find("mapping existed 0"), std::string::npos);
  ExpectOutcome(judge, bench_, packages_, status, Completes());
}

// The working copy stays open without sharing while its bytes are programmed.
TEST_F(NeighbourDuringProgramming, WorkingCopyCannotBeRewrittenOrTruncated) {
  bench_.Device().WriteCard("junk.bin", testsupport::PatternBytes(kBootloaderSize + 1000, 11));
  PromiseJudge judge(bench_, 1);
  bench_.Start("ok");
  Neighbour rewrite(bench_, {kProgrammingCue, "rewrite", "_seboot.nb0", "junk.bin"});
  Neighbour truncate(bench_, {kProgrammingCue, "truncate", "_seboot.nb0"});
  const int status = bench_.Finish(std::chrono::seconds(120));
  EXPECT_NE(rewrite.Stop().find("rewrite refused"), std::string::npos);
  EXPECT_NE(truncate.Stop().find("truncate refused"), std::string::npos);
  ExpectOutcome(judge, bench_, packages_, status, Completes());
}

// Store cycles in a loop from the start of the run to its end, each inside a hold of both
// mutexes taken in the given order (or as the store takes them). The updater holds
// NOR_SYN_OBJ from programming on and needs CFG_SYN_OBJ for the request: it must never wait for
// one while holding the other.
class NeighbourStoreCycles : public HostileNeighbour,
                             public ::testing::WithParamInterface<const char*> {};

TEST_P(NeighbourStoreCycles, NeverDeadlockTheRun) {
  PromiseJudge judge(bench_, 1);
  bench_.Start("ok");
  Neighbour neighbour(bench_, {"now", "cycles", GetParam()});
  const int status = bench_.Finish(std::chrono::seconds(60));
  const std::string report = neighbour.Stop();
  EXPECT_NE(report.find("cycles"), std::string::npos) << "the neighbour did not stop";
  ExpectOutcome(judge, bench_, packages_, status, Completes());
}

INSTANTIATE_TEST_SUITE_P(Orders, NeighbourStoreCycles,
                         ::testing::Values("store", "cfg-nor", "nor-cfg"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

// Once programming has begun, a neighbour takes the two mutexes in either order and holds
// them a while: the updater waits, then completes.
class NeighbourHoldingBothMutexes : public HostileNeighbour,
                                    public ::testing::WithParamInterface<const char*> {
 protected:
  NeighbourHoldingBothMutexes() : HostileNeighbour(SlowProgramming()) {}
};

TEST_P(NeighbourHoldingBothMutexes, DelaysButNeverDeadlocksTheRun) {
  PromiseJudge judge(bench_, 1);
  bench_.Start("ok");
  Neighbour neighbour(bench_, {kProgrammingCue, "hold", GetParam(), "500"});
  const int status = bench_.Finish(std::chrono::seconds(120));
  EXPECT_NE(neighbour.Stop().find("held"), std::string::npos);
  ExpectOutcome(judge, bench_, packages_, status, Completes());
}

INSTANTIATE_TEST_SUITE_P(Orders, NeighbourHoldingBothMutexes,
                         ::testing::Values("cfg-nor", "nor-cfg"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

}  // namespace
}  // namespace scenario

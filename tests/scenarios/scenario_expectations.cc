#include "scenario_expectations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "common/message_ids.h"
#include "platform/core_library.h"
#include "settings/settings_record.h"

namespace scenario {

namespace {

// The type every message is shown with.
const std::map<int, int> kMessageTypes = {{kExternalPowerRequiredText, 1},
                                          {kUpgradeFailedText, 0},
                                          {kConfirmUpgradeText, 1},
                                          {kNotEnoughSpaceText, 0},
                                          {kCorruptFilesText, 0}};

void ExpectTranscript(const Transcript& transcript, int exitStatus, const Expectation& expected) {
  EXPECT_EQ(transcript.MessageIds(), expected.messages);
  for (const nlohmann::json& event : transcript.events) {
    if (event.value("event", "") == "message") {
      const int id = event.value("id", -1);
      ASSERT_TRUE(kMessageTypes.contains(id)) << event.dump();
      EXPECT_EQ(event.value("type", -1), kMessageTypes.at(id)) << event.dump();
    }
  }
  std::vector<std::string> counters;
  for (int operation = 1; operation <= expected.lastOperation; ++operation) {
    counters.push_back("Operation " + std::to_string(operation) + " of 6:");
  }
  EXPECT_EQ(transcript.Counters(), counters);
  EXPECT_EQ(transcript.Restarted(), expected.exitStatus == 0);
  if (expected.exitStatus == 0) {
    // Every copy and verification resets the bar and rises to 100. Programming starts from
    // the 100 left by the last verification, so a one-block image shows no change at all.
    for (int operation = 1; operation <= 6; ++operation) {
      const std::vector<int> positions = transcript.ProgressDuring(operation);
      if (operation == 6 && positions.empty()) {
        continue;
      }
      if (!CopiesShowProgress() && (operation == 2 || operation == 4)) {
        EXPECT_EQ(positions, std::vector<int>{0}) << "operation " << operation;
        continue;
      }
      ASSERT_FALSE(positions.empty()) << "operation " << operation;
      EXPECT_EQ(positions.back(), 100) << "operation " << operation;
      EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << "operation " << operation;
    }
  }
  EXPECT_EQ(transcript.ExitStatus(), exitStatus);
}

void ExpectWholeImage(const Bench& bench, const Bytes& image, const Bytes& nor) {
  const Bytes& before = bench.NorBefore();
  ASSERT_EQ(nor.size(), before.size());
  ASSERT_LE(image.size(), nor.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), nor.begin())) << "image not in flash";
  std::uint32_t block = 0;
  while (bench.BlockOffset(block + 1) < image.size()) {
    ++block;
  }
  const std::uint64_t imageEnd = bench.BlockOffset(block + 1);
  for (std::uint64_t i = image.size(); i < imageEnd; ++i) {
    if (nor[i] != 0xFF) {
      ADD_FAILURE() << "byte " << i << " after the image is not erased";
      break;
    }
  }
  const FlashLayout layout = bench.Layout();
  const std::uint64_t semiBegin = bench.BlockOffset(layout.semiPermanentBlock);
  const std::uint64_t semiEnd = bench.BlockOffset(layout.semiPermanentBlock + 1);
  EXPECT_TRUE(SameRange(nor, before, imageEnd, semiBegin)) << "blocks past the image changed";
  EXPECT_TRUE(SameRange(nor, before, semiEnd, nor.size())) << "blocks past the image changed";
}

}  // namespace

Expectation Completes() {
  Expectation expected;
  expected.exitStatus = 0;
  expected.messages = {kConfirmUpgradeText};
  expected.lastOperation = 6;
  expected.flash = FlashOutcome::WholeImage;
  expected.updateRequest = true;
  return expected;
}

Expectation Fails(std::vector<int> messages, int lastOperation, FlashOutcome flash,
                  std::uint32_t failingBlock) {
  Expectation expected;
  expected.exitStatus = 1;
  expected.messages = std::move(messages);
  expected.messages.push_back(kUpgradeFailedText);
  expected.lastOperation = lastOperation;
  expected.flash = flash;
  expected.failingBlock = failingBlock;
  return expected;
}

void ExpectOutcome(PromiseJudge& judge, const Bench& bench, const PackageSet& packages,
                   int exitStatus, const Expectation& expected) {
  const Verdict verdict = judge.Judge(RunEnd(exitStatus));
  EXPECT_TRUE(verdict.breaks.empty()) << ::testing::PrintToString(verdict.breaks);
  EXPECT_EQ(exitStatus, expected.exitStatus);
  ExpectTranscript(bench.ReadTranscript(), exitStatus, expected);

  const Bytes nor = bench.NorAfter();
  const Bytes& before = bench.NorBefore();
  const Bytes& image = packages.bootloader;
  const FlashLayout layout = bench.Layout();
  switch (expected.flash) {
    case FlashOutcome::Untouched:
      EXPECT_TRUE(nor == before) << "the flash changed";
      break;
    case FlashOutcome::WholeImage:
      ExpectWholeImage(bench, image, nor);
      break;
    case FlashOutcome::PartialImage: {
      const std::uint64_t good = bench.BlockOffset(expected.failingBlock);
      const std::uint64_t rest = bench.BlockOffset(expected.failingBlock + 1);
      EXPECT_TRUE(std::equal(image.begin(), image.begin() + static_cast<long>(good), nor.begin()))
          << "blocks before the failing one do not hold the image";
      EXPECT_TRUE(SameRange(nor, before, rest, nor.size()))
          << "blocks after the failing one changed";
      break;
    }
  }
  const std::optional<StoredRecord> request =
      ReadRecord(nor, bench.Config(), layout.semiPermanentBlock, RecordId::UpdateRequest);
  EXPECT_EQ(request.has_value(), expected.updateRequest);

  if (expected.exitStatus == 0) {
    // The card keeps only what was unmapped before the restart, so this also shows that the
    // procedure closed its working copy first.
    const Bytes working = bench.Device().ReadCard("_seboot.nb0");
    ASSERT_GE(working.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), working.begin()))
        << "_seboot.nb0 does not begin with the raw bootloader";
  }
  EXPECT_EQ(bench.Journal().restartRefused, expected.restartRefused);
}

}  // namespace scenario

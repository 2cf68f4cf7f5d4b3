#include "scenario_expectations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "common/message_ids.h"
#include "platform/core_library.h"
#include "settings/settings_record.h"

namespace scenario {

namespace {

const char* VariantDirectory(int variant) {
  switch (variant) {
    case 1:
      return "EA1";
    case 2:
      return "EA2";
    default:
      return "EB";
  }
}

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

void ExpectOutcome(const Bench& bench, const PackageSet& packages, int variant, int exitStatus,
                   const Expectation& expected) {
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

  // The three other settings partitions and the partition table never change.
  for (std::uint32_t block : layout.otherSettingsBlocks) {
    EXPECT_TRUE(SameRange(nor, before, bench.BlockOffset(block), bench.BlockOffset(block + 1)))
        << "settings block " << block << " changed";
  }
  EXPECT_TRUE(SameRange(nor, before, bench.BlockOffset(layout.lastBlock), nor.size()))
      << "the partition table block changed";

  const std::optional<StoredRecord> request =
      ReadRecord(nor, bench.Config(), layout.semiPermanentBlock, RecordId::UpdateRequest);
  if (expected.updateRequest) {
    ASSERT_TRUE(request.has_value()) << "no update request stored";
    EXPECT_EQ(request->data, (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(request->attribute, 2u);
    EXPECT_TRUE(ReadRecord(nor, bench.Config(), layout.semiPermanentBlock, RecordId::PartNumber))
        << "the part number was lost";
  } else {
    EXPECT_FALSE(request.has_value()) << "an update request was stored";
  }

  if (expected.exitStatus == 0) {
    const Bytes* variantImage =
        packages.File(std::string(VariantDirectory(variant)) + "/syaffs.bc");
    ASSERT_NE(variantImage, nullptr);
    EXPECT_TRUE(bench.Device().ReadCard("syaffs.bc") == *variantImage)
        << "syaffs.bc is not the variant's image";
    // The card keeps only what was unmapped before the restart, so this also shows that the
    // procedure closed its working copy first.
    const Bytes working = bench.Device().ReadCard("_seboot.nb0");
    ASSERT_GE(working.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), working.begin()))
        << "_seboot.nb0 does not begin with the raw bootloader";
  }
  const Bytes journalBytes = testsupport::ReadFile(bench.Device().Paths().Journal());
  const std::string journal(journalBytes.begin(), journalBytes.end());
  EXPECT_EQ(journal.find(R"("event":"restart_refused")") != std::string::npos,
            expected.restartRefused)
      << journal;
  // Every return releases the lock. A restart ends the process where it stands, holding the
  // lock (the device restarts with it); either state is fine then.
  const DWORD lock = bench.TryFlashLock();
  if (expected.exitStatus == 0) {
    EXPECT_TRUE(lock == WAIT_OBJECT_0 || lock == WAIT_ABANDONED) << lock;
  } else {
    EXPECT_EQ(lock, WAIT_OBJECT_0) << "NOR_SYN_OBJ was not released";
  }
}

}  // namespace scenario

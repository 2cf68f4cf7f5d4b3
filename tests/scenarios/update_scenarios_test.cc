// Whole headless runs of the updater, one scenario a line: what the device holds before the
// run, the scripted answers, and what the run must show and leave behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "common/message_ids.h"
#include "neighbour_process.h"
#include "platform/core_library.h"
#include "scenario_bench.h"
#include "scenario_expectations.h"
#include "settings/ecc_code.h"
#include "settings/settings_block.h"
#include "settings/settings_record.h"

namespace scenario {
namespace {

using Arrange = std::function<void(Bench&, const PackageSet&)>;

// Default geometry: 8 blocks of 8 KiB and 62 of 32 KiB; the first settings block is 65.
constexpr std::size_t kBootloaderCapacity = 8 * 8192 + 57 * 32768;
constexpr std::size_t kFlashSize = 8 * 8192 + 62 * 32768;
constexpr std::uint64_t kMebibyte = 0x100000;

struct Row {
  const char* name;
  const char* partNumber;
  int variant;  // whose image the run should take (for the card checks)
  std::size_t bootloaderSize;
  const char* answers;
  Arrange arrange;  // runs after the standard packages are on the card
  Expectation expected;
};

// Arrangements.
Arrange Nothing() {
  return [](Bench&, const PackageSet&) {};
}
Arrange Remove(const char* path) {
  return [path](Bench& bench, const PackageSet&) {
    std::filesystem::remove(bench.Device().Card(path));
  };
}
Arrange ReadOnly(const char* path) {
  return [path](Bench& bench, const PackageSet&) {
    if (UpdaterIsWindows() && geteuid() == 0) {
      GTEST_SKIP() << "Wine keeps a file's read-only attribute in its permissions, which root "
                      "passes: run as root, the working copy opens for writing";
    }
    std::filesystem::permissions(bench.Device().Card(path),
                                 std::filesystem::perms::owner_read |
                                     std::filesystem::perms::group_read |
                                     std::filesystem::perms::others_read);
  };
}
Arrange Replace(const char* path, std::function<Bytes()> content) {
  return [path, content](Bench& bench, const PackageSet&) {
    bench.Device().WriteCard(path, content());
  };
}
// The file at `path` with one bit of its last signature flipped.
Arrange Corrupt(const char* path) {
  return [path](Bench& bench, const PackageSet&) {
    Bytes content = bench.Device().ReadCard(path);
    content[content.size() - 5] ^= 0x10;
    bench.Device().WriteCard(path, content);
  };
}
Arrange ResignedWith(const char* path, int keyIndex, std::size_t payloadSize, std::uint32_t seed) {
  return Replace(
      path, [=] { return SignedImage(testsupport::PatternBytes(payloadSize, seed), keyIndex); });
}
Arrange Line(sim::AcLine line) {
  return [line](Bench& bench, const PackageSet&) {
    bench.UpdateConfig([line](sim::DeviceConfig& config) { config.acLine = line; });
  };
}
Arrange WithFaults(std::function<std::vector<sim::Fault>(const Bench&)> faults) {
  return [faults](Bench& bench, const PackageSet&) {
    const std::vector<sim::Fault> plan = faults(bench);
    bench.UpdateConfig([&](sim::DeviceConfig& config) { config.faults = plan; });
  };
}
// Time limits run out in a few thousand counter reads instead of seconds.
Arrange VirtualTiming() {
  return [](Bench& bench, const PackageSet&) {
    bench.UpdateConfig([](sim::DeviceConfig& config) { config.timing = sim::TimingMode::Virtual; });
  };
}
Arrange Both(Arrange first, Arrange second) {
  return [first, second](Bench& bench, const PackageSet& packages) {
    first(bench, packages);
    second(bench, packages);
  };
}
// Free bytes: both copies and 1 MiB, plus `extra`.
Arrange FreeSpace(const char* variantImage, std::int64_t extra) {
  return [variantImage, extra](Bench& bench, const PackageSet&) {
    std::uint64_t required = kMebibyte + bench.Device().ReadCard("seboot.nb0").size();
    if (variantImage != nullptr) {
      required += bench.Device().ReadCard(variantImage).size();
    }
    if (UpdaterIsWindows()) {
      // Whole pages there: the nearest page on the row's side of the boundary.
      const std::uint64_t page = Bench::kCardPage;
      bench.SetFreePages(extra > 0 ? (required + extra + page - 1) / page : required / page);
      return;
    }
    bench.SetFreeBytes(required + static_cast<std::uint64_t>(extra));
  };
}

// Makes card file `path` `extra` bytes longer (sparse).
Arrange Grow(const char* path, std::uint64_t extra) {
  return [path, extra](Bench& bench, const PackageSet&) {
    const std::filesystem::path file = bench.Device().Card(path);
    std::filesystem::resize_file(file, std::filesystem::file_size(file) + extra);
  };
}
void AppendRecord(Bytes& payload, std::uint32_t id, std::uint32_t attribute, const Bytes& data) {
  for (std::uint32_t field : {id, attribute, static_cast<std::uint32_t>(data.size())}) {
    for (int i = 0; i < 4; ++i) payload.push_back(static_cast<BYTE>(field >> (8 * i)));
  }
  payload.insert(payload.end(), data.begin(), data.end());
}
// `records` with a filler record after them that leaves `free` bytes of the payload.
Bytes FilledUpTo(const Bytes& records, std::size_t free) {
  Bytes payload = records;
  AppendRecord(payload, 99, 0, Bytes(kSettingsPayloadCapacity - records.size() - 12 - free, 1));
  return payload;
}
// Rewrites the Semi-Permanent Settings block with make(the part-number record as stored now).
Arrange SemiPermanentPayload(std::function<Bytes(const Bytes&)> make) {
  return [make](Bench& bench, const PackageSet&) {
    const std::optional<StoredRecord> partNumber = ReadRecord(
        bench.NorBefore(), bench.Config(), bench.Layout().semiPermanentBlock, RecordId::PartNumber);
    ASSERT_TRUE(partNumber.has_value());
    Bytes records;
    AppendRecord(records, RecordId::PartNumber, partNumber->attribute, partNumber->data);
    Bytes payload = make(records);
    payload.resize(kSettingsPayloadCapacity, 0xFF);
    ASSERT_EQ(testsupport::WriteSettingsBlock(bench.Layout().semiPermanentBlock, payload), "");
  };
}

// Flips `bits` of byte `payloadOffset` of the Semi-Permanent Settings payload at rest.
Arrange FlipSemiPermanentBits(std::uint32_t payloadOffset, std::vector<unsigned> bits) {
  return [payloadOffset, bits](Bench& bench, const PackageSet&) {
    const std::uint64_t offset =
        bench.BlockOffset(bench.Layout().semiPermanentBlock) + kSettingsHeaderSize + payloadOffset;
    bench.ChangeNorAtRest([&](Bytes& nor) {
      for (unsigned bit : bits) nor[offset] ^= static_cast<BYTE>(1u << bit);
    });
  };
}
// The Semi-Permanent Settings block as a write cut just before its trailer magic leaves it.
Arrange CutBeforeSemiPermanentTrailerMagic() {
  return [](Bench& bench, const PackageSet&) {
    const std::uint64_t magic = bench.BlockOffset(bench.Layout().semiPermanentBlock) +
                                kSettingsHeaderSize + kSettingsPayloadCapacity +
                                kSettingsTrailerCodesSize;
    bench.ChangeNorAtRest([&](Bytes& nor) { std::fill_n(nor.begin() + magic, 4, 0xFF); });
  };
}
// Byte 14 of the part number's data is the low byte of its last character.
constexpr std::uint32_t kPartNumberLastCharacter = kRecordHeaderSize + 14;
// A partial erase of the Semi-Permanent Settings block sets bits back to 1: two in the part
// number ("52614-01" becomes "52614-23"), those of chunk 0's stored code that make it the code
// of the changed chunk, and one in the trailer magic. Every chunk then matches its code.
Arrange TornSemiPermanentErase() {
  return [](Bench& bench, const PackageSet&) {
    const std::uint64_t payload =
        bench.BlockOffset(bench.Layout().semiPermanentBlock) + kSettingsHeaderSize;
    bench.ChangeNorAtRest([&](Bytes& nor) {
      nor[payload + kPartNumberLastCharacter - 2] |= 0x02;  // '0' -> '2'
      nor[payload + kPartNumberLastCharacter] |= 0x02;      // '1' -> '3'
      BYTE* code = nor.data() + payload + kSettingsPayloadCapacity;
      BYTE computed[kEccCodeSize];
      EccCode::Compute(nor.data() + payload, kSettingsChunkSize, computed);
      for (DWORD i = 0; i < kEccCodeSize; ++i) {
        ASSERT_EQ(computed[i] & code[i], code[i]) << "an erase only sets bits";
        code[i] = computed[i];
      }
      nor[payload + kSettingsPayloadCapacity + kSettingsTrailerCodesSize] |= 0x01;
    });
  };
}

using enum FlashOutcome;
constexpr auto kOffline = sim::AcLine::Offline;
constexpr auto kBackup = sim::AcLine::Backup;
constexpr auto kUnknownLine = sim::AcLine::Unknown;

const Row kRows[] = {
    // name                          part number  variant bootloader answers
    {"HappyPathVariant1", "52614-01", 1, 150'000, "ok", Nothing(), Completes()},
    {"HappyPathVariant2", "52614-12", 2, 150'000, "ok", Nothing(), Completes()},
    {"HappyPathVariant3", "52614-23", 3, 150'000, "ok", Nothing(), Completes()},
    {"ConfirmationUnansweredGoesOn", "52614-02", 2, 150'000, "none", Nothing(), Completes()},
    {"ConfirmationCancelled", "52614-01", 1, 150'000, "cancel", Nothing(),
     Fails({kConfirmUpgradeText}, 0)},
    {"FreeSpaceExactlyRequired", "52614-01", 1, 150'000, "ok", FreeSpace("EA1/syaffs.bc", 0),
     Fails({kConfirmUpgradeText, kNotEnoughSpaceText}, 0)},
    {"FreeSpaceOneByteMore", "52614-01", 1, 150'000, "ok", FreeSpace("EA1/syaffs.bc", 1),
     Completes()},
    {"FreeSpaceUnknownVariant", "52614-04", 0, 150'000, "ok", FreeSpace(nullptr, 0),
     Fails({kConfirmUpgradeText, kNotEnoughSpaceText}, 0)},
    {"PowerPromptCancelled", "52614-01", 1, 150'000, "ok,cancel", Line(kOffline),
     Fails({kConfirmUpgradeText, kExternalPowerRequiredText}, 0)},
    {"PowerOnBackupCancelled", "52614-01", 1, 150'000, "ok,cancel", Line(kBackup),
     Fails({kConfirmUpgradeText, kExternalPowerRequiredText}, 0)},
    {"PowerUndeterminedCancelled", "52614-01", 1, 150'000, "ok,cancel", Line(kUnknownLine),
     Fails({kConfirmUpgradeText, kExternalPowerRequiredText}, 0)},
    {"PowerOkWhileUnpluggedAsksAgain", "52614-01", 1, 150'000, "ok,ok,plug,ok", Line(kOffline),
     [] {
       auto e = Completes();
       e.messages = {kConfirmUpgradeText, kExternalPowerRequiredText, kExternalPowerRequiredText};
       return e;
     }()},
    {"PowerUnansweredAsksAgain", "52614-01", 1, 150'000, "ok,none,plug,ok", Line(kOffline),
     [] {
       auto e = Completes();
       e.messages = {kConfirmUpgradeText, kExternalPowerRequiredText, kExternalPowerRequiredText};
       return e;
     }()},
    {"PowerPromptsRunOut", "52614-01", 1, 150'000, "ok,ok,ok", Line(kOffline),
     Fails({kConfirmUpgradeText, kExternalPowerRequiredText, kExternalPowerRequiredText,
            kExternalPowerRequiredText},
           0)},
    {"CommonPackageMissing", "52614-01", 1, 150'000, "ok", Remove("sdisk.bc"),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 0)},
    // Read as its size modulo 2^32, this file would be the valid package alone.
    {"CommonPackageFollowedByFourGibibytes", "52614-01", 1, 150'000, "ok",
     Grow("sdisk.bc", std::uint64_t{1} << 32), Fails({kConfirmUpgradeText, kCorruptFilesText}, 0)},
    {"CommonPackageCorrupt", "52614-01", 1, 150'000, "ok", Corrupt("sdisk.bc"),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 1)},
    {"CommonPackageOtherKey", "52614-01", 1, 150'000, "ok", ResignedWith("sdisk.bc", 1, 5000, 7),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 1)},
    {"CommonPackageTruncated", "52614-01", 1, 150'000, "ok",
     Replace("sdisk.bc",
             [] {
               return Bytes{'R', '0'};
             }),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 1)},
    {"PartNumberOutsideTheTable", "52614-04", 0, 150'000, "ok", Nothing(),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 1)},
    {"VariantImageMissing", "52614-01", 1, 150'000, "ok", Remove("EA1/syaffs.bc"),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 2)},
    {"VariantImageCopiesButIsEmpty", "52614-01", 1, 150'000, "ok",
     Replace("EA1/syaffs.bc", [] { return Bytes{}; }),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 2)},
    // Results of 0 from the variant's verification: too short, no magic, no data record.
    {"VariantImageOfTwoBytes", "52614-01", 1, 150'000, "ok",
     Replace("EA1/syaffs.bc",
             [] {
               return Bytes{'R', '0'};
             }),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 3)},
    {"VariantImageWithoutMagic", "52614-01", 1, 150'000, "ok",
     Replace("EA1/syaffs.bc",
             [] {
               Bytes image = SignedImage(testsupport::PatternBytes(5000, 3), 1);
               image[0] = 'X';
               return image;
             }),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 3)},
    {"VariantImageWithoutPayload", "52614-01", 1, 150'000, "ok",
     Replace("EA1/syaffs.bc", [] { return SignedImage({}, 1); }),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 3)},
    {"VariantImageCorrupt", "52614-21", 1, 150'000, "ok", Corrupt("EA1/syaffs.bc"),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 3)},
    {"VariantImageOtherVariantsKey", "52614-03", 3, 150'000, "ok",
     ResignedWith("EB/syaffs.bc", 1, 5000, 8), Fails({kConfirmUpgradeText, kCorruptFilesText}, 3)},
    {"BootloaderMissing", "52614-01", 1, 150'000, "ok", Remove("seboot.nb0"),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 4)},
    // The copy keeps the package's read-only attribute, so the working copy does not open for
    // the compaction.
    {"WorkingCopyNotWritable", "52614-01", 1, 150'000, "ok", ReadOnly("seboot.nb0"),
     Fails({kConfirmUpgradeText}, 4)},
    {"BootloaderCorrupt", "52614-01", 1, 150'000, "ok", Corrupt("seboot.nb0"),
     Fails({kConfirmUpgradeText}, 5)},
    {"BootloaderOtherKey", "52614-01", 1, 150'000, "ok", ResignedWith("seboot.nb0", 2, 5000, 9),
     Fails({kConfirmUpgradeText}, 5)},
    {"BootloaderWithoutPayload", "52614-01", 1, 150'000, "ok",
     Replace("seboot.nb0", [] { return SignedImage({}, 0); }), Fails({kConfirmUpgradeText}, 5)},
    {"BootloaderOfOneByte", "52614-01", 1, 1, "ok", Nothing(), Completes()},
    {"BootloaderUpToTheSettings", "52614-01", 1, kBootloaderCapacity, "ok", Nothing(), Completes()},
    // Refused before operation 6 and its power prompt.
    {"BootloaderReachingSettings", "52614-01", 1, kBootloaderCapacity + 1, "ok", Nothing(),
     Fails({kConfirmUpgradeText}, 5)},
    {"BootloaderOfTheFlashSize", "52614-01", 1, kFlashSize, "ok", Nothing(),
     Fails({kConfirmUpgradeText}, 5)},
    {"EraseFaultAtBlock0", "52614-01", 1, 150'000, "ok",
     WithFaults([](const Bench&) { return std::vector{sim::Fault::EraseError(0)}; }),
     Fails({kConfirmUpgradeText}, 6, PartialImage, 0)},
    {"EraseFaultAtBlock3", "52614-01", 1, 150'000, "ok",
     WithFaults([](const Bench&) { return std::vector{sim::Fault::EraseError(3)}; }),
     Fails({kConfirmUpgradeText}, 6, PartialImage, 3)},
    {"ProgramFaultAtBlock9", "52614-01", 1, 150'000, "ok", WithFaults([](const Bench&) {
       return std::vector{sim::Fault::ProgramError(9, 77)};
     }),
     Fails({kConfirmUpgradeText}, 6, PartialImage, 9)},
    {"ProgramFaultInLastBlock", "52614-01", 1, 150'000, "ok",
     WithFaults([](const Bench&) { return std::vector{sim::Fault::ProgramError(10)}; }),
     Fails({kConfirmUpgradeText}, 6, PartialImage, 10)},
    {"BlockNeverReady", "52614-01", 1, 150'000, "ok",
     Both(VirtualTiming(), WithFaults([](const Bench&) {
            return std::vector{sim::Fault::NeverReady(2)};
          })),
     Fails({kConfirmUpgradeText}, 6, PartialImage, 2)},
    {"ProgrammingVoltageError", "52614-01", 1, 150'000, "ok",
     WithFaults([](const Bench&) { return std::vector{sim::Fault::VppError()}; }),
     Fails({kConfirmUpgradeText}, 6, PartialImage, 0)},
    {"SettingsFlushFails", "52614-01", 1, 150'000, "ok", WithFaults([](const Bench& bench) {
       return std::vector{sim::Fault::EraseError(bench.Layout().semiPermanentBlock)};
     }),
     Fails({kConfirmUpgradeText}, 6, WholeImage)},
    // The put finds no room and leaves nothing dirty, so the flush succeeds without the request.
    {"SemiPermanentSettingsWithoutRoomForTheRequest", "52614-01", 1, 150'000, "ok",
     SemiPermanentPayload([](const Bytes& partNumber) { return FilledUpTo(partNumber, 10); }),
     Fails({kConfirmUpgradeText}, 6, WholeImage)},
    // Part number (28 bytes), record 37 of 100 data bytes at 28, and at 140 a copy of record 37
    // whose 3994 bytes overrun the payload there but fit once the first copy's removal moves it
    // to 28: both copies go, and the request belongs at 28.
    {"RequestCopyThatFitsOnlyOnceMovedDown", "52614-11", 1, 150'000, "ok",
     SemiPermanentPayload([](const Bytes& partNumber) {
       Bytes payload = partNumber;
       AppendRecord(payload, RecordId::UpdateRequest, 2, Bytes(100, 7));
       AppendRecord(payload, RecordId::UpdateRequest, 2, {});
       payload[payload.size() - 4] = 0x9A;  // length 3994 (0x0F9A)
       payload[payload.size() - 3] = 0x0F;
       return payload;
     }),
     Completes()},
    // Damage at rest in the Semi-Permanent Settings block: a block that does not read decides
    // nothing and is never written back. Two bits turn "52614-01" into "52614-02".
    {"SemiPermanentPartNumberUncorrectable", "52614-01", 1, 150'000, "ok",
     FlipSemiPermanentBits(kPartNumberLastCharacter, {0, 1}),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 1)},
    {"SemiPermanentOtherRecordUncorrectable", "52614-01", 1, 150'000, "ok",
     Both(SemiPermanentPayload([](const Bytes& partNumber) {
            Bytes payload = partNumber;
            AppendRecord(payload, 50, 0, Bytes(600, 0x5A));
            return payload;
          }),
          FlipSemiPermanentBits(400, {3, 6})),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 1)},
    {"SemiPermanentPartNumberOneBitCorrected", "52614-01", 1, 150'000, "ok",
     FlipSemiPermanentBits(kPartNumberLastCharacter, {1}), Completes()},
    // A block whose trailer magic is not intact is never read, whatever its codes say.
    {"SemiPermanentTornErase", "52614-01", 1, 150'000, "ok", TornSemiPermanentErase(),
     Fails({kConfirmUpgradeText, kCorruptFilesText}, 1)},
    {"SemiPermanentWriteCutAtTrailerMagic", "52614-02", 2, 150'000, "ok",
     CutBeforeSemiPermanentTrailerMagic(), Fails({kConfirmUpgradeText, kCorruptFilesText}, 1)},
    // Everything is in place for the next start; only the restart itself did not happen.
    {"RestartRequestReturns", "52614-12", 2, 150'000, "ok",
     WithFaults([](const Bench&) { return std::vector{sim::Fault::RestartFails()}; }),
     [] {
       auto e = Fails({kConfirmUpgradeText}, 6, WholeImage);
       e.updateRequest = true;
       e.restartRefused = true;
       return e;
     }()},
};

// Test names carry the row's name; the row itself is not printable.
void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

class UpdateScenario : public ::testing::TestWithParam<Row> {};

TEST_P(UpdateScenario, Run) {
  const Row& row = GetParam();
  if (const auto reason = HostOnlyReason(row.answers)) GTEST_SKIP() << *reason;
  Bench bench(row.partNumber);
  const PackageSet& packages =
      StandardPackages(row.variant == 0 ? 1 : row.variant, row.bootloaderSize);
  bench.Place(packages);
  row.arrange(bench, packages);
  if (IsSkipped()) return;
  PromiseJudge judge(bench, row.variant);
  const int status = bench.Run(row.answers);
  ExpectOutcome(judge, bench, packages, status, row.expected);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, UpdateScenario, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

// The happy path on every device shape: the bootloader lands from block 0 whatever the block
// sizes, the settings are found below the table in the last block, and nothing else changes.
class UpdateOnEveryShape : public ::testing::TestWithParam<testsupport::DeviceShape> {};

TEST_P(UpdateOnEveryShape, Completes) {
  Bench bench("52614-12", GetParam().Config());
  const PackageSet& packages = StandardPackages(2);
  bench.Place(packages);
  PromiseJudge judge(bench, 2);
  const int status = bench.Run("ok");
  ExpectOutcome(judge, bench, packages, status, Completes());
}

INSTANTIATE_TEST_SUITE_P(Shapes, UpdateOnEveryShape,
                         ::testing::ValuesIn(testsupport::DeviceShapes()),
                         [](const auto& info) { return std::string(info.param.name); });

// Another process (the neighbour) has a mapping of the program's mapping name open. Taking that
// object would verify (and later program) the other process's bytes; the run stops before the
// first verification instead.
TEST(MappingNameScenario, NameHeldElsewhereStopsBeforeAnyVerification) {
  Bench bench("52614-01");
  const PackageSet& packages = StandardPackages(1);
  bench.Place(packages);
  // Larger than sdisk.bc, so that a view of the foreign object would map and be verified.
  bench.Device().WriteCard("other.bin", SignedImage(testsupport::PatternBytes(200'000, 5), 0));
  Neighbour holder(bench, {"now", "map", "other.bin"});
  ASSERT_TRUE(holder.WaitForReport("mapped", std::chrono::seconds(60))) << holder.Stop();
  PromiseJudge judge(bench, 1);
  const int status = bench.Run("ok");
  holder.Stop();
  ExpectOutcome(judge, bench, packages, status, Fails({kConfirmUpgradeText, kCorruptFilesText}, 0));
}

}  // namespace
}  // namespace scenario

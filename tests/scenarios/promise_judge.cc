#include "promise_judge.h"

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "common/message_ids.h"
#include "flash/partition_table.h"
#include "platform/core_library.h"
#include "settings/settings_block.h"
#include "settings/settings_record.h"
#include "settings/settings_store.h"
#include "sim/nor_chip.h"
#include "testsupport/reference_verifier.h"

namespace scenario {
namespace {

// The package files as the card holds them: common, bootloader, then the images of variants 1
// to 3.
constexpr const char* kPackageFiles[] = {"sdisk.bc", "seboot.nb0", "EA1/syaffs.bc", "EA2/syaffs.bc",
                                         "EB/syaffs.bc"};
constexpr std::size_t kBootloaderPackage = 1;
constexpr std::size_t kFirstVariantImage = 2;
// Larger card files are compared by size and time only, and never verify.
constexpr std::uint64_t kLargestCompared = 128 * 0x100000;

// What the verifier independent of the system makes of a file: its payloads when it verifies
// with built-in key `key`.
std::optional<Bytes> Verified(const std::optional<Bytes>& file, std::uint32_t key) {
  Bytes payloads;
  if (!file || reference::VerifyImage(*file, reference::BuiltInKey(key), &payloads) <= 0)
    return std::nullopt;
  return payloads;
}

std::optional<Bytes> ReadCardFile(const Bench& bench, const std::string& path) {
  const std::filesystem::path file = bench.Device().Card(path);
  std::error_code code;
  if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(file, code)) ||
      std::filesystem::file_size(file, code) > kLargestCompared || code)
    return std::nullopt;
  return testsupport::ReadFile(file);
}

struct Decoded {
  bool read = false;
  Bytes payload = Bytes(kSettingsPayloadCapacity, 0xFF);
};

Decoded Decode(std::span<const std::uint8_t> block) {
  Decoded decoded;
  decoded.read = SettingsBlock::Decode(block.data(), static_cast<DWORD>(block.size()),
                                       decoded.payload.data(), kSettingsPayloadCapacity)
                     .Read();
  return decoded;
}

using Record = std::tuple<DWORD, DWORD, Bytes>;  // id, attribute, data

std::vector<Record> Records(const Bytes& payload) {
  std::vector<Record> records;
  DWORD position = 0;
  SettingsRecord record;
  while (NextRecord(payload.data(), static_cast<DWORD>(payload.size()), &position, &record))
    records.emplace_back(record.id, record.attribute,
                         Bytes(record.data, record.data + record.length));
  return records;
}

bool RequestStored(const Decoded& block) {
  const Record request{RecordId::UpdateRequest, kUpdateRequestAttribute, Bytes{1, 0, 0, 0}};
  const std::vector<Record> records = Records(block.payload);
  return block.read && std::find(records.begin(), records.end(), request) != records.end();
}

// Every byte of `now` lies between `from` and erased, or between erased and `to`: the state
// that an erase of `from` or a programming of `to` leaves when it is torn.
bool Partway(std::span<const std::uint8_t> now, std::span<const std::uint8_t> from,
             std::span<const std::uint8_t> to) {
  for (std::size_t i = 0; i < now.size(); ++i)
    if ((now[i] & from[i]) != from[i] && (now[i] & to[i]) != to[i]) return false;
  return true;
}

std::string Outcome(const Verdict& verdict, bool hung, const JournalFacts& journal,
                    const Transcript& transcript) {
  if (verdict.restarted) return "restart";
  if (journal.powerCut) return "power cut";
  if (verdict.interrupted) return "killed";
  if (hung) return "hung";
  const std::vector<int> messages = transcript.MessageIds();
  auto shown = [&](int id) {
    return std::find(messages.begin(), messages.end(), id) != messages.end();
  };
  if (journal.restartRefused) return "restart refused";
  if (shown(kCorruptFilesText)) return "bad files (134)";
  if (shown(kNotEnoughSpaceText)) return "no room (133)";
  if (messages.size() >= 2 && messages[messages.size() - 2] == kExternalPowerRequiredText)
    return "no power (129)";
  if (transcript.LastOperation() == 0 &&
      messages == std::vector<int>{kConfirmUpgradeText, kUpgradeFailedText})
    return "cancelled";
  return "other failure (130)";
}

}  // namespace

PromiseJudge::FileState PromiseJudge::StateOf(const std::filesystem::path& path) {
  FileState state;
  std::error_code code;
  const std::filesystem::file_type type = std::filesystem::symlink_status(path, code).type();
  state.type = static_cast<int>(type);
  if (type != std::filesystem::file_type::regular) return state;
  state.size = std::filesystem::file_size(path, code);
  state.changed = std::filesystem::last_write_time(path, code).time_since_epoch().count();
  if (state.size <= kLargestCompared) state.content = testsupport::ReadFile(path);
  return state;
}

PromiseJudge::PromiseJudge(const Bench& bench, int variant) : bench_(bench), variant_(variant) {
  const FlashLayout layout = bench_.Layout();
  firstSettingsBlock_ = layout.semiPermanentBlock;
  for (std::uint32_t block : layout.otherSettingsBlocks)
    firstSettingsBlock_ = std::min(firstSettingsBlock_, block);
  for (const char* file : kPackageFiles) delivered_.push_back(StateOf(bench_.Device().Card(file)));
  verifiedImage_ = Verified(delivered_[kBootloaderPackage].content, 0);
  Rebase();
}

void PromiseJudge::Rebase() {
  before_ = bench_.NorAfter();
  journalLines_ = bench_.JournalLines();
}

std::span<const std::uint8_t> PromiseJudge::BlockOf(const Bytes& nor, std::uint32_t block) const {
  const sim::BlockLayout blocks = bench_.Blocks();
  return std::span<const std::uint8_t>(nor).subspan(blocks.Start(block), blocks.Size(block));
}

bool PromiseJudge::WholeImage(const Bytes& nor) const {
  return verifiedImage_ && verifiedImage_->size() <= bench_.BlockOffset(firstSettingsBlock_) &&
         std::equal(verifiedImage_->begin(), verifiedImage_->end(), nor.begin());
}

Verdict PromiseJudge::Judge(const RunEnd& end, Liveness liveness) {
  Verdict verdict;
  const JournalFacts journal = bench_.Journal(journalLines_);
  const Transcript transcript = bench_.ReadTranscript();
  const Bytes now = bench_.NorAfter();
  verdict.restarted = journal.restart;
  verdict.interrupted = journal.powerCut || end.killed;
  verdict.cutOffset = journal.cutOffset;
  verdict.torn = journal.torn;

  CheckEnding(end, transcript, verdict);
  CheckFlash(now, verdict);
  CheckSemiPermanent(now, end, journal, verdict);
  for (std::size_t i = 0; i < std::size(kPackageFiles); ++i)
    if (!(StateOf(bench_.Device().Card(kPackageFiles[i])) == delivered_[i]))
      verdict.breaks.push_back(std::string("package file ") + kPackageFiles[i] + " changed");
  if (verdict.restarted) CheckCard(end, verdict);
  if (liveness == Liveness::MustRestart && !verdict.restarted)
    verdict.breaks.push_back("the run ended without a restart, though nothing could stop it");
  verdict.outcome = Outcome(verdict, end.hung, journal, transcript);
  Rebase();
  return verdict;
}

// P3: the run ended, and on its own only by a restart or by the failure report; a cancelled
// prompt ends it at once.
void PromiseJudge::CheckEnding(const RunEnd& end, const Transcript& transcript,
                               Verdict& verdict) const {
  std::vector<std::string>& breaks = verdict.breaks;
  if (end.hung) {
    breaks.push_back("the run hung");
    return;
  }
  int cancelled = 0;
  for (const nlohmann::json& event : transcript.events) {
    const std::string kind = event.value("event", "");
    const int id = event.value("id", 0);
    if (cancelled != 0 && (kind == "counter" || kind == "progress" || kind == "restart" ||
                           (kind == "message" && id != kUpgradeFailedText))) {
      breaks.push_back("the run went on after message " + std::to_string(cancelled) +
                       " was cancelled");
      break;
    }
    if (kind == "message" && event.value("type", 0) == MB_OKCANCEL &&
        event.value("answer", 0) == IDCANCEL)
      cancelled = id;
  }
  if (verdict.interrupted) return;
  const std::vector<int> messages = transcript.MessageIds();
  if (end.status == 0) {
    if (!verdict.restarted) breaks.push_back("status 0 without a restart");
  } else if (end.status == 1) {
    if (messages.empty() || messages.back() != kUpgradeFailedText)
      breaks.push_back("status 1 without \"Failed to complete upgrade.\" last");
    if (transcript.ExitStatus() != 1) breaks.push_back("the transcript does not end with status 1");
    if (!verdict.restarted && bench_.TryFlashLock() != WAIT_OBJECT_0)
      breaks.push_back("NOR_SYN_OBJ is still held after the run ended");
  } else {
    breaks.push_back("ended with status " + std::to_string(end.status) +
                     (end.status == sim::kPowerCutExitStatus ? " without a power cut" : ""));
  }
}

// P1: only verified bytes, every block the updater does not write unchanged.
void PromiseJudge::CheckFlash(const Bytes& now, Verdict& verdict) const {
  const FlashLayout layout = bench_.Layout();
  const sim::BlockLayout blocks = bench_.Blocks();
  const Bytes none;
  const Bytes& image = verifiedImage_ ? *verifiedImage_ : none;
  std::uint32_t torn = 0;
  for (std::uint32_t block = 0; block < firstSettingsBlock_; ++block) {
    const auto after = BlockOf(now, block);
    const auto old = BlockOf(before_, block);
    Bytes piece(after.size(), 0xFF);
    const std::uint64_t start = blocks.Start(block);
    if (start < image.size())
      std::copy_n(image.begin() + static_cast<long>(start),
                  std::min<std::uint64_t>(piece.size(), image.size() - start), piece.begin());
    // Programmed so far: each byte erased or the image's (a block whose programming failed).
    bool programmed = true;
    for (std::size_t i = 0; i < after.size() && programmed; ++i)
      programmed = after[i] == 0xFF || after[i] == piece[i];
    if (programmed || std::ranges::equal(after, old)) continue;
    if (verdict.interrupted && Partway(after, old, piece) && ++torn == 1) continue;
    verdict.breaks.push_back("bootloader block " + std::to_string(block) +
                             " holds bytes that are neither its old contents, erased, nor the "
                             "verified image");
  }
  for (std::uint32_t block = firstSettingsBlock_; block < layout.lastBlock; ++block)
    if (block != layout.semiPermanentBlock &&
        !std::ranges::equal(BlockOf(now, block), BlockOf(before_, block)))
      verdict.breaks.push_back("block " + std::to_string(block) +
                               " changed, which the updater never writes");

  const auto tableBefore = BlockOf(before_, layout.lastBlock);
  const auto tableNow = BlockOf(now, layout.lastBlock);
  if (std::ranges::equal(tableNow, tableBefore)) return;
  // A table that did not read is replaced by the default one, in an erased block.
  Bytes expected(tableNow.size(), 0xFF);
  DWORD sizes[2] = {0, 0}, counts[2] = {0, 0};
  const std::vector<sim::FlashRegion>& regions = bench_.Config().regions;
  for (std::size_t i = 0; i < regions.size() && i < 2; ++i) {
    sizes[i] = regions[i].size;
    counts[i] = regions[i].count;
  }
  const bool rebuilt = PartitionTable::IsValid(tableBefore.data()) != 1 &&
                       PartitionTable::BuildDefault(expected.data(), sizes, counts) == 1;
  if (!rebuilt || !(std::ranges::equal(tableNow, expected) ||
                    (verdict.interrupted && Partway(tableNow, tableBefore, expected))))
    verdict.breaks.push_back("the partition table block changed");
}

// P3 for the Semi-Permanent block (never written back when it did not read; every record but
// the request kept), and P2 for what any end of a run leaves: a request only with the image.
void PromiseJudge::CheckSemiPermanent(const Bytes& now, const RunEnd& end,
                                      const JournalFacts& journal, Verdict& verdict) const {
  const std::uint32_t semi = bench_.Layout().semiPermanentBlock;
  const Decoded was = Decode(BlockOf(before_, semi));
  const Decoded after = Decode(BlockOf(now, semi));
  const bool unchanged = std::ranges::equal(BlockOf(now, semi), BlockOf(before_, semi));
  std::vector<std::string>& breaks = verdict.breaks;
  verdict.semiPermanent = unchanged                      ? "as before"
                          : !after.read                  ? "unreadable"
                          : after.payload == was.payload ? "as before"
                          : RequestStored(after)         ? "with request"
                                                         : "changed";
  if (!was.read) {
    if (!unchanged) breaks.push_back("the Semi-Permanent block did not read, and was written back");
  } else if (!unchanged && !after.read) {
    const bool cutInside =
        journal.powerCut && bench_.Blocks().BlockAt(journal.cutOffset) == std::optional(semi);
    verdict.knownLimit = cutInside || end.killed;
    if (!verdict.knownLimit) breaks.push_back("the Semi-Permanent block no longer reads");
  } else if (!unchanged) {
    std::vector<Record> kept = Records(after.payload);
    std::vector<Record> before = Records(was.payload);
    auto request = [](const Record& record) {
      return std::get<0>(record) == RecordId::UpdateRequest;
    };
    std::erase_if(kept, request);
    std::erase_if(before, request);
    if (kept != before)
      breaks.push_back(
          "a record of the Semi-Permanent block other than the update request changed");
    if (verdict.semiPermanent == "changed" && !RequestStored(was))
      breaks.push_back("the Semi-Permanent block changed, yet holds no update request");
  }
  if (RequestStored(after) && !WholeImage(now))
    breaks.push_back("the update request is stored without the whole verified bootloader image");
  if (verdict.restarted) {
    if (!WholeImage(now)) breaks.push_back("restart without the whole verified bootloader image");
    if (!RequestStored(after)) breaks.push_back("restart without record 37 = 1 readable");
    if (!was.read) breaks.push_back("restart from a Semi-Permanent block that did not read");
  }
}

// P4: what the bootloader that carries the update on finds on the card.
void PromiseJudge::CheckCard(const RunEnd& end, Verdict& verdict) const {
  std::vector<std::string> failed;
  if (!Verified(ReadCardFile(bench_, "sdisk.bc"), 0)) failed.push_back("sdisk.bc");
  if (variant_ < 1 || variant_ > 3) {
    verdict.breaks.push_back("restart on a device whose part number names no variant");
  } else {
    const std::optional<Bytes> copy = ReadCardFile(bench_, "syaffs.bc");
    const FileState& own = delivered_[kFirstVariantImage + static_cast<std::size_t>(variant_ - 1)];
    if (!Verified(copy, static_cast<std::uint32_t>(variant_)) || copy != own.content)
      failed.push_back("syaffs.bc");
  }
  for (const std::string& file : failed) {
    if (std::find(end.rewrittenByOthers.begin(), end.rewrittenByOthers.end(), file) !=
        end.rewrittenByOthers.end()) {
      verdict.rewrittenByOthers = true;
    } else {
      verdict.breaks.push_back(
          "restart while the card's " + file + " is not the verified image of " +
          (file == "sdisk.bc" ? std::string("key 0") : "variant " + std::to_string(variant_)));
    }
  }
}

}  // namespace scenario

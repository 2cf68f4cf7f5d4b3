// inspect: a signed image's records, the key that verifies it and why a bad one fails; for a
// file of a card slot (or a whole card directory), whether the key its slot needs verifies it.
#include <iostream>
#include <memory>

#include "tools/orvanta/card_slots.h"
#include "tools/orvanta/commands.h"
#include "tools/orvanta/image_inspection.h"
#include "tools/orvanta/tool_support.h"

namespace orvanta {
namespace {

struct InspectArguments {
  std::string path;
  std::optional<std::string> publicKey, slot;
  bool json = false;
};

// What a slot's file is to the device: accepted, signed with another slot's key, or refused.
enum class SlotVerdict { Accepted, WrongKey, Rejected };

SlotVerdict VerdictOf(const ImageInspection& inspection, const CardSlot& slot) {
  if (inspection.result <= 0) return SlotVerdict::Rejected;
  return inspection.key == static_cast<int>(slot.keyIndex) ? SlotVerdict::Accepted
                                                           : SlotVerdict::WrongKey;
}

int ExitStatusOf(SlotVerdict verdict) {
  switch (verdict) {
    case SlotVerdict::Accepted:
      return kExitSuccess;
    case SlotVerdict::WrongKey:
      return kExitWrongKey;
    case SlotVerdict::Rejected:
      break;
  }
  return kExitNegative;
}

// "needs built-in key 1: …" for the slot's line.
std::string SlotText(const ImageInspection& inspection, const CardSlot& slot) {
  std::string text =
      slot.cardPath + std::string(" needs built-in key ") + std::to_string(slot.keyIndex) + ": ";
  switch (VerdictOf(inspection, slot)) {
    case SlotVerdict::Accepted:
      return text + "verifies (" + std::to_string(inspection.totalPayload) + " payload bytes)";
    case SlotVerdict::WrongKey:
      return text + "signed with " + KeyWithSlots(static_cast<unsigned>(*inspection.key)) +
             " instead; the device refuses it";
    case SlotVerdict::Rejected:
      break;
  }
  if (inspection.failure)
    return text + "rejected: record " + std::to_string(inspection.failure->sequenceNumber) +
           " fails (" + FailureReason(*inspection.failure) + ")";
  return text + "rejected (result " + std::to_string(inspection.result) + ")";
}

nlohmann::json SlotJson(const ImageInspection& inspection, const CardSlot& slot) {
  static const char* const kVerdicts[] = {"accepted", "wrong_key", "rejected"};
  return {{"slot", slot.name},
          {"card_path", slot.cardPath},
          {"key_needed", slot.keyIndex},
          {"verdict", kVerdicts[static_cast<int>(VerdictOf(inspection, slot))]}};
}

// Maps and inspects one file with the built-in keys (or the given key, already loaded).
bool InspectFile(const std::filesystem::path& file, bool givenKey, ImageInspection* inspection,
                 std::string* error) {
  MappedImage image;
  if (!image.Open(file, error)) return false;
  if (image.Content().size() > 0xFFFFFFFFu) {
    *error = file.string() + ": larger than 4 GiB, more than a device maps";
    return false;
  }
  *inspection = InspectImage(image.Content(), givenKey);
  return true;
}

// Every package file of a card directory, each against its slot's key.
int InspectCard(const std::filesystem::path& card, bool asJson) {
  nlohmann::json files = nlohmann::json::array();
  bool rejected = false, wrongKey = false;
  for (const CardSlot& slot : CardSlots()) {
    const std::filesystem::path path = card / slot.cardPath;
    std::error_code code;
    ImageInspection inspection;
    std::string error;
    nlohmann::json entry;
    std::string line;
    if (!std::filesystem::exists(path, code)) {
      rejected = true;
      entry = {{"slot", slot.name},
               {"card_path", slot.cardPath},
               {"key_needed", slot.keyIndex},
               {"verdict", "missing"}};
      line = slot.cardPath + std::string(" needs built-in key ") + std::to_string(slot.keyIndex) +
             ": missing";
    } else if (!InspectFile(path, false, &inspection, &error)) {
      return ReportError(error);
    } else {
      const SlotVerdict verdict = VerdictOf(inspection, slot);
      rejected = rejected || verdict == SlotVerdict::Rejected;
      wrongKey = wrongKey || verdict == SlotVerdict::WrongKey;
      entry = SlotJson(inspection, slot);
      entry["inspection"] = InspectionJson(inspection);
      line = SlotText(inspection, slot);
    }
    entry["path"] = path.string();
    files.push_back(entry);
    if (!asJson) std::cout << line << "\n";
  }
  const int status = rejected ? kExitNegative : wrongKey ? kExitWrongKey : kExitSuccess;
  if (asJson)
    std::cout << nlohmann::json{{"card", card.string()},
                                {"files", files},
                                {"valid", status == kExitSuccess}}
                     .dump()
              << "\n";
  return status;
}

int RunInspect(const InspectArguments& arguments) {
  std::string error;
  std::error_code code;
  if (std::filesystem::is_directory(arguments.path, code)) {
    if (arguments.publicKey || arguments.slot)
      return ReportError(arguments.path +
                         ": a card directory is inspected against the built-in keys of its "
                         "slots; --public-key and --slot are for a single file");
    return InspectCard(arguments.path, arguments.json);
  }
  if (arguments.publicKey && !UsePublicKeyFile(*arguments.publicKey, &error))
    return ReportError(error);
  const CardSlot* slot = arguments.slot        ? SlotNamed(*arguments.slot)
                         : arguments.publicKey ? nullptr
                                               : SlotOfPath(arguments.path);
  ImageInspection inspection;
  if (!InspectFile(arguments.path, arguments.publicKey.has_value(), &inspection, &error))
    return ReportError(error);
  if (arguments.json) {
    nlohmann::json report = InspectionJson(inspection);
    report["file"] = arguments.path;
    report["slot"] = slot != nullptr ? SlotJson(inspection, *slot) : nlohmann::json();
    std::cout << report.dump() << "\n";
  } else {
    std::cout << "file           " << arguments.path << " (" << inspection.size << " bytes)\n"
              << InspectionText(inspection);
    if (slot != nullptr) std::cout << "slot           " << SlotText(inspection, *slot) << "\n";
  }
  if (slot != nullptr) return ExitStatusOf(VerdictOf(inspection, *slot));
  return inspection.result > 0 ? kExitSuccess : kExitNegative;
}

}  // namespace

void AddInspectCommand(CLI::App& app, int* status) {
  auto inspect = std::make_shared<InspectArguments>();
  CLI::App* command = app.add_subcommand(
      "inspect",
      "the records of a signed image, the key that verifies it, and the first failing record; "
      "for a card slot's file, or every file of a card directory, whether the key the slot "
      "needs verifies it");
  command
      ->add_option("PATH", inspect->path,
                   "a signed image, or a card directory (its sdisk.bc, seboot.nb0 and EA1, EA2 "
                   "and EB/syaffs.bc)")
      ->type_name("FILE|DIR")
      ->required();
  CLI::Option* slot =
      command
          ->add_option("--slot", inspect->slot,
                       "the card file the image is for (default: from its name, e.g. sdisk.bc "
                       "or EA1/syaffs.bc)")
          ->check(CLI::IsMember(CardSlotNames()));
  command
      ->add_option("--public-key", inspect->publicKey,
                   "a DER public key to try instead of the built-in keys 0..3")
      ->type_name("FILE")
      ->excludes(slot);
  command->add_flag("--json", inspect->json, "print the findings as one JSON object");
  command->footer(
      "Exit status: 0 the device accepts the image (with its slot's key); 1 it refuses it (or a\n"
      "card file is missing); 3 it is sound but signed with another key than its slot needs.\n\n"
      "Examples:\n  orvanta inspect \"device/SD Card/sdisk.bc\"\n"
      "  orvanta inspect \"device/SD Card\"\n"
      "  orvanta inspect image.bc --slot ea2\n"
      "  orvanta inspect image.bc --public-key mykeys/key2.der --json\n");
  command->callback([inspect, status] { *status = RunInspect(*inspect); });
}

}  // namespace orvanta

// inspect: a signed image's records, the key that verifies it and why a bad one fails.
#include <iostream>
#include <memory>

#include "tools/orvanta/commands.h"
#include "tools/orvanta/image_inspection.h"
#include "tools/orvanta/tool_support.h"

namespace orvanta {
namespace {

struct InspectArguments {
  std::string file;
  std::optional<std::string> publicKey;
  bool json = false;
};

int RunInspect(const InspectArguments& arguments) {
  std::string error;
  if (arguments.publicKey && !UsePublicKeyFile(*arguments.publicKey, &error))
    return ReportError(error);
  MappedImage image;
  if (!image.Open(arguments.file, &error)) return ReportError(error);
  if (image.Content().size() > 0xFFFFFFFFu)
    return ReportError(arguments.file + ": larger than 4 GiB, more than a device maps");
  const ImageInspection inspection = InspectImage(image.Content(), arguments.publicKey.has_value());
  if (arguments.json) {
    nlohmann::json report = InspectionJson(inspection);
    report["file"] = arguments.file;
    std::cout << report.dump() << "\n";
  } else {
    std::cout << "file           " << arguments.file << " (" << inspection.size << " bytes)\n"
              << InspectionText(inspection);
  }
  return inspection.result > 0 ? kExitSuccess : kExitNegative;
}

}  // namespace

void AddInspectCommand(CLI::App& app, int* status) {
  auto inspect = std::make_shared<InspectArguments>();
  CLI::App* command = app.add_subcommand(
      "inspect",
      "the records of a signed image, the key that verifies it, and the first failing record; "
      "exit 0 only for an image the device accepts");
  command->add_option("FILE", inspect->file, "the signed image")->required();
  command
      ->add_option("--public-key", inspect->publicKey,
                   "a DER public key to try instead of the built-in keys 0..3")
      ->type_name("FILE");
  command->add_flag("--json", inspect->json, "print the findings as one JSON object");
  command->footer(
      "Examples:\n  orvanta inspect \"device/SD Card/sdisk.bc\"\n"
      "  orvanta inspect image.bc --public-key mykeys/key2.der --json\n");
  command->callback([inspect, status] { *status = RunInspect(*inspect); });
}

}  // namespace orvanta

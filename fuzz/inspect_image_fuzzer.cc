// `orvanta inspect` over arbitrary files: the inspection of every file, with the built-in keys
// or with key 0 alone, must finish, agree with the OpenSSL-based reference walk on the result
// for the key it shows, and give a report that serialises.
//
// Input: one control byte (bit 0 set: only key 0, as with a given public key), then the file.
// Checked: the shown walk's result is the reference's for that key; a result above 0 comes with
// no failure and a payload total equal to it; a failure is never reported as good; the JSON
// report and the text render.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "testsupport/reference_verifier.h"
#include "tools/orvanta/image_inspection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const bool onlyKeyZero = (input.Take<std::uint8_t>() & 1) != 0;
  const auto file = input.Rest();
  const std::vector<std::uint8_t> copy(file.begin(), file.end());

  const orvanta::ImageInspection inspection = orvanta::InspectImage(copy, onlyKeyZero);
  FUZZ_REQUIRE(std::equal(copy.begin(), copy.end(), file.begin()));  // nothing written
  const int key = inspection.key ? (*inspection.key < 0 ? 0 : *inspection.key) : 0;
  FUZZ_REQUIRE(inspection.result == reference::VerifyImage(file, reference::BuiltInKey(static_cast<std::uint32_t>(key)), nullptr));
  if (inspection.result > 0) {
    FUZZ_REQUIRE(!inspection.failure);
    FUZZ_REQUIRE(inspection.totalPayload == static_cast<std::uint64_t>(inspection.result));
  }
  if (inspection.failure) FUZZ_REQUIRE(inspection.failure->verdict != RecordVerdict::Good);
  const std::string json = orvanta::InspectionJson(inspection).dump();
  const std::string text = orvanta::InspectionText(inspection);
  FUZZ_REQUIRE(!json.empty() && !text.empty());
  return 0;
}

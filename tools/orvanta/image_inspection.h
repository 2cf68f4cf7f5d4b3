// What `orvanta inspect` finds in a file: its preamble, its records, the key that verifies it
// and, for a file the device would reject, the first failing record and why. Everything comes
// from the device's own verifier (VerifyImage and its record observer); nothing here reads
// the container format a second time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "signing/record_observer.h"

namespace orvanta {

struct ImageInspection {
  std::size_t size = 0;
  bool tooShort = false;             // below the verifier's minimum size
  bool magicMatches = false;         // begins with the magic (only looked at when not too short)
  std::vector<std::uint8_t> header;  // the 16 header bytes, when the file has them
  // The key of the walk shown: built-in key index, or -1 for the caller's key loaded in place
  // of key 0; empty when no key verified even the first record.
  std::optional<int> key;
  bool givenKey = false;                     // the caller's key was the only one tried
  LONG result = 0;                           // VerifyImage's result with that key
  std::vector<RecordObservation> records;    // the records that verified, in file order
  std::optional<RecordObservation> failure;  // the record (or file end) that failed the walk
  std::uint64_t totalPayload = 0;
};

// Inspects the file with the built-in keys 0 to 3, or, with `givenKey`, only with the key the
// caller loaded into the verifier's key cache as index 0. The walk shown is that of the key
// that verifies the file, else of the key that verified the most records (the lowest index
// among equals).
ImageInspection InspectImage(std::span<const std::uint8_t> file, bool givenKey);

// The name of a record type ("data", "final", "unknown (N)") and of a signature library code
// ("NTE_BAD_SIGNATURE", ...; "0" for success).
std::string RecordTypeName(std::uint8_t type);
std::string SignatureCodeName(DWORD code);

// What broke the container rules at the failing record, in a sentence without a final stop.
std::string FailureReason(const RecordObservation& failure);

nlohmann::json InspectionJson(const ImageInspection& inspection);
std::string InspectionText(const ImageInspection& inspection);

}  // namespace orvanta

#include "tools/orvanta/image_inspection.h"

#include <cstdio>
#include <cstring>

#include "signing/image_verifier.h"
#include "signing/key_table.h"

namespace orvanta {
namespace {

struct Walk {
  std::vector<RecordObservation> good;
  std::optional<RecordObservation> failure;

  static void Observe(void* context, const RecordObservation& observation) {
    auto* walk = static_cast<Walk*>(context);
    if (observation.verdict == RecordVerdict::Good)
      walk->good.push_back(observation);
    else
      walk->failure = observation;
  }
};

std::string Hex(std::span<const std::uint8_t> bytes, const char* separator) {
  std::string text;
  char digits[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    if (i != 0) text += separator;
    text += digits;
  }
  return text;
}

std::string KeyName(const ImageInspection& inspection) {
  if (!inspection.key) return "";
  if (*inspection.key < 0) return "the given public key";
  return "built-in key " + std::to_string(*inspection.key);
}

std::string SignatureFailureReason(const RecordObservation& failure) {
  switch (failure.signatureCode) {
    case NTE_BAD_PUBLIC_KEY:
      return "the key does not decode as an RSA public key";
    case NTE_BAD_ALGID:
      return "the signature names an unsupported hash algorithm";
    case NTE_BAD_SIGNATURE:
      return "the signature does not verify: the payload, the header, the record type or the "
             "signature was altered, the record is out of place, another key signed it, or "
             "the signature length (" +
             std::to_string(failure.signatureLength) + ") is not the key's modulus length";
    default:
      return "the record's signature could not be checked";
  }
}

}  // namespace

ImageInspection InspectImage(std::span<const std::uint8_t> file, bool givenKey) {
  ImageInspection inspection;
  inspection.size = file.size();
  inspection.givenKey = givenKey;
  inspection.tooShort = file.size() < MinimumImageSize;
  if (file.size() >= ImagePreambleSize)
    inspection.header.assign(file.begin() + SignedImageMagicSize, file.begin() + ImagePreambleSize);
  if (!inspection.tooShort)
    inspection.magicMatches = std::memcmp(file.data(), SignedImageMagic, SignedImageMagicSize) == 0;

  static BYTE emptyFile[1];
  // Verify-only: the verifier reads the bytes and writes nothing.
  BYTE* buffer = file.empty() ? emptyFile : const_cast<BYTE*>(file.data());
  const int keys = givenKey ? 1 : static_cast<int>(KeyCount);
  std::optional<Walk> best;
  int bestIndex = 0;
  for (int index = 0; index < keys; ++index) {
    Walk walk;
    SetRecordObserver(&Walk::Observe, &walk);
    const LONG result = VerifyImage(nullptr, buffer, static_cast<DWORD>(file.size()),
                                    static_cast<DWORD>(index), TRUE, nullptr);
    SetRecordObserver(nullptr, nullptr);
    const bool verifies = !walk.failure && !walk.good.empty();
    if (!best || verifies || walk.good.size() > best->good.size()) {
      best = std::move(walk);
      bestIndex = index;
      inspection.result = result;
    }
    if (verifies) break;
  }
  if (best && !best->good.empty()) inspection.key = givenKey ? -1 : bestIndex;
  if (best) {
    inspection.records = std::move(best->good);
    inspection.failure = best->failure;
  }
  for (const RecordObservation& record : inspection.records)
    inspection.totalPayload += record.payloadLength;
  return inspection;
}

std::string RecordTypeName(std::uint8_t type) {
  if (type == DataRecordType) return "data";
  if (type == FinalRecordType) return "final";
  return "unknown (" + std::to_string(type) + ")";
}

std::string SignatureCodeName(DWORD code) {
  switch (code) {
    case 0:
      return "0";
    case NTE_BAD_SIGNATURE:
      return "NTE_BAD_SIGNATURE";
    case NTE_BAD_ALGID:
      return "NTE_BAD_ALGID";
    case NTE_BAD_PUBLIC_KEY:
      return "NTE_BAD_PUBLIC_KEY";
    case ERROR_INVALID_PARAMETER:
      return "ERROR_INVALID_PARAMETER";
    case static_cast<DWORD>(E_FAIL):
      return "E_FAIL";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "0x%08X", code);
      return text;
    }
  }
}

std::string FailureReason(const RecordObservation& failure) {
  const std::string type = std::to_string(failure.recordType);
  switch (failure.verdict) {
    case RecordVerdict::Good:
      return "none";
    case RecordVerdict::LengthsPastEnd:
      return "payload length " + std::to_string(failure.payloadLength) + " and signature length " +
             std::to_string(failure.signatureLength) + " run past the end of the file (" +
             std::to_string(failure.remaining) + " bytes follow the record head)";
    case RecordVerdict::SignatureFailed:
      return SignatureFailureReason(failure);
    case RecordVerdict::EmptyRecordNotFinal:
      return "a record without payload must be the final record (type 2), but its type is " + type;
    case RecordVerdict::FinalRecordNotAtEnd:
      return "the final record does not end the file: " + std::to_string(failure.remaining) +
             " bytes follow it";
    case RecordVerdict::PayloadRecordNotData:
      return "a record with payload must be a data record (type 1), but its type is " + type;
    case RecordVerdict::NoFinalRecord:
      return "the file ends without a final record (" + std::to_string(failure.remaining) +
             " bytes left, fewer than a record head)";
  }
  return "unknown";
}

nlohmann::json InspectionJson(const ImageInspection& inspection) {
  nlohmann::json records = nlohmann::json::array();
  auto row = [](const RecordObservation& record) {
    return nlohmann::json{{"index", record.sequenceNumber},
                          {"type", RecordTypeName(record.recordType)},
                          {"offset", record.offset},
                          {"payload_length", record.payloadLength},
                          {"signature_length", record.signatureLength}};
  };
  for (const RecordObservation& record : inspection.records) records.push_back(row(record));
  nlohmann::json failure = nullptr;
  if (inspection.failure) {
    const RecordObservation& record = *inspection.failure;
    failure = {{"record", record.sequenceNumber},
               {"offset", record.offset},
               {"code", SignatureCodeName(record.signatureCode)},
               {"reason", FailureReason(record)}};
    if (record.verdict != RecordVerdict::NoFinalRecord) failure["row"] = row(record);
  }
  nlohmann::json key = nullptr;
  if (inspection.key)
    key = *inspection.key < 0 ? nlohmann::json("given") : nlohmann::json(*inspection.key);
  const bool image = !inspection.tooShort && inspection.magicMatches;
  return {{"size", inspection.size},
          {"signed_image", image},
          {"magic", image ? Hex({SignedImageMagic, SignedImageMagicSize}, "") : ""},
          {"header", Hex(inspection.header, "")},
          {"records", records},
          {"total_payload", inspection.totalPayload},
          {"key", key},
          {"result", inspection.result},
          {"valid", inspection.result > 0},
          {"failure", failure}};
}

std::string InspectionText(const ImageInspection& inspection) {
  std::string text;
  char line[160];
  if (inspection.tooShort) {
    return "not a signed image: " + std::to_string(inspection.size) + " bytes, fewer than the " +
           std::to_string(MinimumImageSize) + " a signed image needs\n";
  }
  if (!inspection.magicMatches)
    return "not a signed image: it does not begin with the magic \"R000FF\\n\" (" +
           Hex({SignedImageMagic, SignedImageMagicSize}, " ") + ")\n";
  text +=
      "magic          \"R000FF\\n\" (" + Hex({SignedImageMagic, SignedImageMagicSize}, " ") + ")\n";
  text += "header         " + Hex(inspection.header, " ") + "\n";
  text += "records\n";
  std::snprintf(line, sizeof line, "  %6s  %-12s %12s %12s %10s\n", "index", "type", "offset",
                "payload", "signature");
  text += line;
  auto addRow = [&](const RecordObservation& record, const char* mark) {
    std::snprintf(line, sizeof line, "  %6u  %-12s %12u %12u %10u%s\n", record.sequenceNumber,
                  RecordTypeName(record.recordType).c_str(), record.offset, record.payloadLength,
                  record.signatureLength, mark);
    text += line;
  };
  for (const RecordObservation& record : inspection.records) addRow(record, "");
  if (inspection.failure && inspection.failure->verdict != RecordVerdict::NoFinalRecord)
    addRow(*inspection.failure, "  <- fails");
  text += "total payload  " + std::to_string(inspection.totalPayload) + " bytes\n";
  const std::string tried = inspection.givenKey ? "the given public key" : "built-in keys 0..3";
  if (!inspection.key) {
    text += "key            none of " + tried + " verifies record 1\n";
  } else if (!inspection.failure) {
    text += "key            " + KeyName(inspection) + " verifies every record\n";
  } else {
    text += "key            " + KeyName(inspection) + " verifies records 1.." +
            std::to_string(inspection.records.size()) + "\n";
  }
  text += "result         " + std::to_string(inspection.result) +
          (inspection.result > 0 ? " (valid)\n"
           : inspection.failure  ? " (rejected)\n"
                                 : " (rejected: no payload)\n");
  if (inspection.failure) {
    const RecordObservation& failure = *inspection.failure;
    text += "failing record " + std::to_string(failure.sequenceNumber) + " at offset " +
            std::to_string(failure.offset) + ": " + SignatureCodeName(failure.signatureCode) +
            ": " + FailureReason(failure) + "\n";
  }
  return text;
}

}  // namespace orvanta

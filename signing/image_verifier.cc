#include "signing/image_verifier.h"

#include <cstring>

#include "common/byte_order.h"
#include "signing/hash_object.h"
#include "signing/key_table.h"
#include "signing/record_observer.h"
#include "signing/signature_check.h"

static_assert(BuiltInKeySize <= ActiveKeyCapacity);

ActiveKeyState ActiveKey = {NoKeyLoaded, {}, 0};
RememberedKeyState RememberedKey = {0, nullptr, 0};

namespace {

constexpr DWORD ProgressRange = 100;

// Receives each record's SHA-1 digest.
BYTE RecordDigest[Sha1DigestSize];

// The signature library's result for the last record VerifyRecord checked (E_FAIL when it
// failed before the signature check), and the observer of VerifyImage's walk.
DWORD LastSignatureCode = 0;
RecordObserver Observer = nullptr;
void* ObserverContext = nullptr;

// Reports the record to the observer, if one is set, and gives back VerifyImage's result.
LONG Report(RecordObservation* observation, RecordVerdict verdict, LONG result) {
  observation->verdict = verdict;
  if (Observer != nullptr) Observer(ObserverContext, *observation);
  return result;
}

bool Hash(HashObject* hash, const BYTE* bytes, DWORD length) {
  const ByteBlob blob = {length, bytes};
  return HashDataBlobs(CALG_SHA1, hash, 1, &blob) == 0;
}

}  // namespace

void SetRecordObserver(RecordObserver observer, void* context) {
  Observer = observer;
  ObserverContext = context;
}

HRESULT VerifyRecord(const RecordDescriptor& record, const KeyCandidateList& candidates) {
  LastSignatureCode = static_cast<DWORD>(E_FAIL);
  HashObject* hash = nullptr;
  if (CreateHashObject(CALG_SHA1, &hash) != 0) return E_FAIL;

  // payload || reserved words 1..3 || type || image header || sequence number
  BYTE reserved[ReservedWordCount][4];
  for (DWORD i = 0; i < ReservedWordCount; ++i)
    StoreLittleEndian32(reserved[i], record.reserved[i]);
  BYTE sequence[4];
  StoreLittleEndian32(sequence, record.sequenceNumber);
  if (record.payloadLength != 0 && !Hash(hash, record.payload, record.payloadLength)) {
    return E_FAIL;
  }
  for (DWORD i = 0; i < ReservedWordCount; ++i) {
    if (!Hash(hash, reserved[i], sizeof reserved[i])) return E_FAIL;
  }
  if (!Hash(hash, &record.recordType, 1) || !Hash(hash, record.imageHeader, ImageHeaderSize) ||
      !Hash(hash, sequence, sizeof sequence)) {
    return E_FAIL;
  }
  DWORD digestLength = 0;
  if (GetHashValue(CALG_SHA1, hash, RecordDigest, &digestLength) != 0) return E_FAIL;

  const ByteBlob signature = {record.signatureLength, record.signature};
  if (RememberedKey.remembered != 0) {
    const ByteBlob key = {RememberedKey.length, RememberedKey.reference};
    LastSignatureCode =
        VerifyDigestSignature(CALG_SHA1, RecordDigest, digestLength, signature, key);
    return LastSignatureCode == 0 ? S_OK : E_FAIL;
  }
  if (candidates.first > candidates.last) return E_FAIL;
  // The list never names more entries than it holds.
  for (DWORD i = candidates.first; i <= candidates.last && i < candidates.count; ++i) {
    const ByteBlob key = {candidates.lengths[i], candidates.references[i]};
    const DWORD verified =
        VerifyDigestSignature(CALG_SHA1, RecordDigest, digestLength, signature, key);
    LastSignatureCode = verified;
    RememberedKey.length = candidates.lengths[i];
    RememberedKey.reference = candidates.references[i];
    if (verified == 0) {
      RememberedKey.remembered = 1;
      return S_OK;
    }
  }
  return E_FAIL;
}

LONG VerifyImage(UpdateDialog* dialog, BYTE* buffer, DWORD size, DWORD keyIndex, BOOL verifyOnly,
                 HWND progressBar) {
  AdvanceOperation(dialog);
  if (keyIndex >= KeyCount) return -1;
  if (keyIndex != ActiveKey.index) {
    std::memcpy(ActiveKey.bytes, KeyTable[keyIndex], KeyTableLengths[keyIndex]);
    ActiveKey.length = KeyTableLengths[keyIndex];
  }
  ActiveKey.index = keyIndex;
  const BYTE* const activeKeyReference[1] = {ActiveKey.bytes};
  const KeyCandidateList candidates = {activeKeyReference, &ActiveKey.length, 1, 0, 0};

  if (size < MinimumImageSize) return 0;
  if (std::memcmp(buffer, SignedImageMagic, SignedImageMagicSize) != 0) return 0;

  // Compaction overwrites the header in the buffer, so every record uses this copy.
  RecordDescriptor record = {};
  std::memcpy(record.imageHeader, buffer + SignedImageMagicSize, ImageHeaderSize);
  if (progressBar != nullptr) {
    SendMessageW(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, ProgressRange));
    SendMessageW(progressBar, PBM_SETPOS, 0, 0);
  }

  DWORD position = ImagePreambleSize;
  DWORD remaining = size - ImagePreambleSize;
  DWORD writePosition = 0;
  DWORD total = 0;
  DWORD sequenceNumber = 1;
  while (remaining >= RecordHeadSize) {
    BYTE head[RecordHeadSize];
    std::memcpy(head, buffer + position, RecordHeadSize);
    const DWORD payloadLength = LoadLittleEndian32(head);
    const DWORD signatureLength = LoadLittleEndian32(head + 4);
    const BYTE recordType = head[8];
    RecordObservation observation = {position,
                                     sequenceNumber,
                                     payloadLength,
                                     signatureLength,
                                     recordType,
                                     RecordVerdict::Good,
                                     0,
                                     remaining - RecordHeadSize};

    // P + S > remaining - 9, without letting the sum wrap.
    const DWORD available = remaining - RecordHeadSize;
    if (payloadLength > available || signatureLength > available - payloadLength)
      return Report(&observation, RecordVerdict::LengthsPastEnd, -1);

    const BYTE* payload = buffer + position + RecordHeadSize;
    if (verifyOnly == 0) {
      // The write position never lies after the payload, so the move only ever goes down.
      std::memmove(buffer + writePosition, payload, payloadLength);
      payload = buffer + writePosition;
    }
    record.payload = payload;
    record.payloadLength = payloadLength;
    record.signature = buffer + position + RecordHeadSize + payloadLength;
    record.signatureLength = signatureLength;
    record.sequenceNumber = sequenceNumber;
    record.recordType = recordType;
    total += payloadLength;
    writePosition += payloadLength;

    if (VerifyRecord(record, candidates) != S_OK) {
      observation.signatureCode = LastSignatureCode;
      return Report(&observation, RecordVerdict::SignatureFailed, -1);
    }

    const DWORD recordSize = RecordHeadSize + payloadLength + signatureLength;
    position += recordSize;
    remaining -= recordSize;
    if (progressBar != nullptr) {
      const ULONGLONG consumed = size - remaining;
      SendMessageW(progressBar, PBM_SETPOS, static_cast<WPARAM>(consumed * ProgressRange / size),
                   0);
    }

    observation.remaining = remaining;
    if (payloadLength == 0) {
      if (recordType != FinalRecordType)
        return Report(&observation, RecordVerdict::EmptyRecordNotFinal, -1);
      if (remaining != 0) return Report(&observation, RecordVerdict::FinalRecordNotAtEnd, -1);
      return Report(&observation, RecordVerdict::Good, static_cast<LONG>(total));
    }
    if (recordType != DataRecordType)
      return Report(&observation, RecordVerdict::PayloadRecordNotData, -1);
    Report(&observation, RecordVerdict::Good, 0);
    ++sequenceNumber;
  }
  RecordObservation leftOver = {position, sequenceNumber,      0, 0,
                                0,        RecordVerdict::Good, 0, remaining};
  return Report(&leftOver, RecordVerdict::NoFinalRecord, -1);
}

// A window onto VerifyImage's walk, for tools that explain a result: which records a file has,
// and what about the first failing one broke the container rules.
//
// With an observer set, VerifyImage reports every record it reaches, once, after deciding on
// it: a record that verifies and continues the chain as RecordVerdict::Good, the record that
// ends the walk with the verdict that made VerifyImage return. The results of VerifyImage do
// not change. Process-wide like the rest of the verifier; nothing is allocated.
#pragma once

#include "platform/types.h"
#include "signing/image_verifier.h"

enum class RecordVerdict : BYTE {
  Good,                  // verified; the walk goes on, or, for the final record, succeeds
  LengthsPastEnd,        // P + S run past the end of the file
  SignatureFailed,       // the record's signature does not verify (see signatureCode)
  EmptyRecordNotFinal,   // no payload, but the type is not 2 (final)
  FinalRecordNotAtEnd,   // a final record followed by more bytes
  PayloadRecordNotData,  // a payload, but the type is not 1 (data)
  NoFinalRecord,         // fewer than 9 bytes left and no final record came
};

struct RecordObservation {
  DWORD offset;  // of the record head in the file
  DWORD sequenceNumber;
  DWORD payloadLength;
  DWORD signatureLength;
  BYTE recordType;
  RecordVerdict verdict;
  // The signature library's result for this record (0 when it verified); with LengthsPastEnd
  // and NoFinalRecord nothing was checked and it is 0.
  DWORD signatureCode;
  DWORD remaining;  // bytes of the file after this record (or, for NoFinalRecord, left over)
};

using RecordObserver = void (*)(void* context, const RecordObservation& observation);

// Sets the observer VerifyImage reports to (nullptr: none, the default).
void SetRecordObserver(RecordObserver observer, void* context);

// A template-driven reader of DER encodings, enough to take an RSA public key out of a
// SubjectPublicKeyInfo. Works on the caller's bytes; results point into them.
#pragma once

#include "platform/types.h"
#include "signing/byte_blob.h"

// The control word of a template step: the operation in the low 8 bits, result flags above.
struct DerControl {
  static constexpr DWORD StepOver = 1;          // the next value must be present; move past it
  static constexpr DWORD OptionalStepOver = 2;  // move past the next value if present
  static constexpr DWORD StepInto = 3;          // the next value must be present; enter it
  // Enter the next value if present; otherwise every step up to the matching StepOut is absent.
  static constexpr DWORD OptionalStepInto = 4;
  static constexpr DWORD StepOut = 5;  // back to just after the value last entered
  static constexpr DWORD OperationMask = 0xFF;
  static constexpr DWORD ReturnWhole = 0x80000000u;    // slot gets header and content
  static constexpr DWORD ReturnContent = 0x40000000u;  // slot gets the content (wins)
};

struct DerStep {
  DWORD control;
  DWORD valueIndex;         // the slot that receives this step's value
  const BYTE* identifiers;  // zero-terminated accepted identifier octets; null: any
};

inline constexpr DWORD MaxDerDepth = 8;
inline constexpr DWORD KeySlotCount = 4;  // the templates use slots 1 to 3

// Negative results of the readers.
inline constexpr int DerTooLong = -1;     // a length field of more than 4 octets
inline constexpr int DerTruncated = -2;   // the encoding runs past the available octets
inline constexpr int DerIndefinite = -3;  // an indefinite length (0x80)

// Reads a length field: 0 with *used octets and *value, or a negative code above.
[[nodiscard]] int ReadDerLength(const BYTE* octets, DWORD available, DWORD* used, DWORD* value);

// Reads an identifier and length: 0 with the header size, the content length and the content
// start, or a negative code above (also when the content runs past `available`).
[[nodiscard]] int ReadDerHeader(const BYTE* octets, DWORD available, DWORD* headerSize,
                                DWORD* contentLength, const BYTE** contentStart);

// Walks `data` by the *stepCount steps of `steps`, writing values into `slots` (slotCount
// entries; may be null). Returns the offset of the position reached (0 or more) when every
// step succeeded, or -(offset of the failing position) - 1; *stepCount becomes the number
// of steps completed. Octets after the last step are ignored. Absent values become {0, null}.
[[nodiscard]] LONG DerWalk(const BYTE* data, DWORD length, DWORD* stepCount, const DerStep* steps,
                           DWORD slotCount, ByteBlob* slots);

// SubjectPublicKeyInfo: slot 1 the whole encoding, slot 2 the AlgorithmIdentifier (not
// examined), slot 3 the subjectPublicKey octets after the unused-bits octet.
// RSAPublicKey: slot 1 the whole encoding, slot 2 the modulus and slot 3 the exponent
// content octets, most significant first.
// Both return the length of slot 1 when the walk's result is above 0, else the walk's result.
[[nodiscard]] LONG ReadKeyInfo(const BYTE* data, DWORD length, ByteBlob* slots);
[[nodiscard]] LONG ReadRsaKey(const BYTE* data, DWORD length, ByteBlob* slots);

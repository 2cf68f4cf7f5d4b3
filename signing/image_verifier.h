// Verification of signed images, record by record, with the built-in keys.
//
// A signed image is, with all integers little-endian and nothing padded:
//
//   offset 0   7 bytes   magic "R000FF\n"
//   offset 7   16 bytes  image header (opaque here; bound into every record's signature)
//   offset 23  records, back to back, to the last byte of the file:
//                4 bytes  payload length P
//                4 bytes  signature length S (the key's modulus length, 128 bytes)
//                1 byte   type: 1 data record (P >= 1, more follow), 2 final record (P = 0)
//                P bytes  payload
//                S bytes  RSA signature, most significant byte first
//
// Records are numbered from 1 in file order. Each record's signature is a PKCS#1 v1.5 SHA-1
// signature over payload || 12 zero bytes || type || image header || sequence number (32-bit
// little-endian); that is P + 33 bytes. Reordering, dropping or repeating records therefore
// breaks the signatures.
//
// Not reentrant: the active key, the remembered key, the digest buffer and the signature
// library's work areas are process-wide. Only the update worker thread calls this.
#pragma once


#include "platform/dialog_framework.h"
#include "platform/types.h"
#include "signing/update_dialog_link.h"

inline constexpr BYTE SignedImageMagic[] = {0x52, 0x30, 0x30, 0x30, 0x46, 0x46, 0x0A};
inline constexpr DWORD SignedImageMagicSize = sizeof(SignedImageMagic);
inline constexpr DWORD ImageHeaderSize = 16;
inline constexpr DWORD ImagePreambleSize = SignedImageMagicSize + ImageHeaderSize;
inline constexpr DWORD RecordHeadSize = 9;
inline constexpr DWORD ReservedWordCount = 3;
// Files shorter than this are rejected before the magic is looked at.
inline constexpr DWORD MinimumImageSize = 32;
static_assert(ImagePreambleSize == 23);

inline constexpr BYTE DataRecordType = 1;
inline constexpr BYTE FinalRecordType = 2;

// What VerifyImage hands to VerifyRecord for one record.
struct RecordDescriptor {
  const BYTE* payload;  // in place, or at its new position when compacting
  DWORD payloadLength;
  const BYTE* signature;
  DWORD signatureLength;
  DWORD reserved[ReservedWordCount];  // always zero
  BYTE imageHeader[ImageHeaderSize];  // copied from the file before any compaction
  DWORD sequenceNumber;
  BYTE recordType;
};

// The keys VerifyRecord may try: references[i] with lengths[i] for i from first to last
// (inclusive); count is the number of entries.
struct KeyCandidateList {
  const BYTE* const* references;
  const DWORD* lengths;
  WORD count;
  WORD first;
  WORD last;
};

// Verifies the signed image of `size` bytes at `buffer` with KeyTable entry `keyIndex`.
//
// Advances the dialog's operation counter once on every call, before any check. With a
// progress bar, resets it to 0 (range 0..100) once the preamble is accepted and sets it to the
// share of the file consumed after each record; a file that is too short or lacks the magic
// leaves the bar untouched. With verifyOnly zero the payloads are moved, in the same pass, to
// the front of the buffer (which must then be writable), so that after success they lie back
// to back from buffer[0]; a failed pass leaves the buffer partly rewritten.
//
// Returns the sum of the payload lengths when every record verifies and the chain is well
// formed; 0 when size < 32 or the magic is missing (and for a valid image without data
// records); -1 when keyIndex >= 4 or any record or the chain fails. Only results above 0 mean
// a usable image.
[[nodiscard]] LONG VerifyImage(UpdateDialog* dialog, BYTE* buffer, DWORD size, DWORD keyIndex,
                               BOOL verifyOnly, HWND progressBar);

// Checks one record's signature against the candidate keys. Returns 0 when it verifies,
// E_FAIL otherwise. Once a record has verified, the key that verified it is remembered for
// the rest of the process and is the only one tried from then on.
[[nodiscard]] HRESULT VerifyRecord(const RecordDescriptor& record,
                                   const KeyCandidateList& candidates);

// The process-wide state of the verifier, exposed so that tests can inspect it.
inline constexpr DWORD ActiveKeyCapacity = 256;
inline constexpr DWORD NoKeyLoaded = 0xFFFFFFFFu;

// A one-key cache of the KeyTable entry last named by VerifyImage.
struct ActiveKeyState {
  DWORD index;  // NoKeyLoaded at start
  BYTE bytes[ActiveKeyCapacity];
  DWORD length;
};
extern ActiveKeyState ActiveKey;

// The candidate that verified the first good record of the process; never cleared.
struct RememberedKeyState {
  DWORD length;
  const BYTE* reference;  // the candidate's storage itself, not a copy
  DWORD remembered;
};
extern RememberedKeyState RememberedKey;

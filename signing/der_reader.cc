#include "signing/der_reader.h"

namespace {

constexpr BYTE SequenceIdentifier[] = {0x30, 0};
constexpr BYTE BitStringIdentifier[] = {0x03, 0};
constexpr BYTE IntegerIdentifier[] = {0x02, 0};
constexpr BYTE BitStringTag = 0x03;

// SubjectPublicKeyInfo ::= SEQUENCE { algorithm AlgorithmIdentifier, subjectPublicKey BIT STRING }
constexpr DerStep KeyInfoTemplate[] = {
    {DerControl::StepInto | DerControl::ReturnWhole, 1, SequenceIdentifier},
    {DerControl::StepOver | DerControl::ReturnWhole, 2, SequenceIdentifier},
    {DerControl::StepOver | DerControl::ReturnContent, 3, BitStringIdentifier},
};

// RSAPublicKey ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
constexpr DerStep RsaKeyTemplate[] = {
    {DerControl::StepInto | DerControl::ReturnWhole, 1, SequenceIdentifier},
    {DerControl::StepOver | DerControl::ReturnContent, 2, IntegerIdentifier},
    {DerControl::StepOver | DerControl::ReturnContent, 3, IntegerIdentifier},
};

bool Accepts(const BYTE* identifiers, BYTE octet) {
  if (identifiers == nullptr) return true;
  for (; *identifiers != 0; ++identifiers) {
    if (*identifiers == octet) return true;
  }
  return false;
}

struct SavedLevel {
  const BYTE* position;
  DWORD remaining;
  bool skipping;
};

LONG RunTemplate(const BYTE* data, DWORD length, const DerStep* steps, ByteBlob* slots) {
  DWORD stepCount = 3;
  const LONG walked = DerWalk(data, length, &stepCount, steps, KeySlotCount, slots);
  return walked > 0 ? static_cast<LONG>(slots[1].length) : walked;
}

}  // namespace

int ReadDerLength(const BYTE* octets, DWORD available, DWORD* used, DWORD* value) {
  if (available == 0) return DerTruncated;
  const BYTE first = octets[0];
  if (first == 0x80) return DerIndefinite;
  if (first < 0x80) {
    *used = 1;
    *value = first;
    return 0;
  }
  const DWORD count = first & 0x7F;
  if (count > 4) return DerTooLong;
  if (available - 1 < count) return DerTruncated;
  DWORD result = 0;
  for (DWORD i = 1; i <= count; ++i) result = (result << 8) | octets[i];
  *used = count + 1;
  *value = result;
  return 0;
}

int ReadDerHeader(const BYTE* octets, DWORD available, DWORD* headerSize, DWORD* contentLength,
                  const BYTE** contentStart) {
  if (available == 0) return DerTruncated;
  DWORD identifierSize = 1;
  if ((octets[0] & 0x1F) == 0x1F) {
    // High tag number: continuation octets have the top bit set; the last one has it clear.
    for (;;) {
      if (identifierSize >= available) return DerTruncated;
      const BYTE octet = octets[identifierSize++];
      if ((octet & 0x80) == 0) break;
    }
  }
  DWORD lengthSize = 0;
  DWORD length = 0;
  const int read =
      ReadDerLength(octets + identifierSize, available - identifierSize, &lengthSize, &length);
  if (read < 0) return read;
  const DWORD header = identifierSize + lengthSize;
  if (length > available - header) return DerTruncated;
  *headerSize = header;
  *contentLength = length;
  *contentStart = octets + header;
  return 0;
}

LONG DerWalk(const BYTE* data, DWORD length, DWORD* stepCount, const DerStep* steps,
             DWORD slotCount, ByteBlob* slots) {
  const BYTE* position = data;
  DWORD remaining = length;
  bool skipping = false;
  SavedLevel stack[MaxDerDepth];
  DWORD depth = 0;
  DWORD completed = 0;
  const DWORD total = *stepCount;

  for (; completed < total; ++completed) {
    const DerStep& step = steps[completed];
    const DWORD operation = step.control & DerControl::OperationMask;
    const bool wantsValue =
        (step.control & (DerControl::ReturnWhole | DerControl::ReturnContent)) != 0 &&
        slots != nullptr && step.valueIndex < slotCount;
    const bool entering =
        operation == DerControl::StepInto || operation == DerControl::OptionalStepInto;
    const bool optional =
        operation == DerControl::OptionalStepOver || operation == DerControl::OptionalStepInto;

    if (operation == DerControl::StepOut) {
      if (depth == 0) goto failed;
      --depth;
      position = stack[depth].position;
      remaining = stack[depth].remaining;
      skipping = stack[depth].skipping;
      continue;
    }

    bool absent = skipping;
    if (!absent && (remaining == 0 || !Accepts(step.identifiers, *position))) {
      if (!optional) goto failed;
      absent = true;
    }

    if (absent) {
      if (wantsValue) slots[step.valueIndex] = ByteBlob{0, nullptr};
      if (entering) {
        if (depth == MaxDerDepth) goto failed;
        stack[depth++] = SavedLevel{position, remaining, skipping};
        skipping = true;
      }
      continue;
    }

    DWORD headerSize = 0;
    DWORD contentLength = 0;
    const BYTE* content = nullptr;
    if (ReadDerHeader(position, remaining, &headerSize, &contentLength, &content) < 0) {
      goto failed;
    }
    const DWORD whole = headerSize + contentLength;
    if (wantsValue) {
      if ((step.control & DerControl::ReturnContent) != 0) {
        // A BIT STRING's first content octet counts the unused bits; the value follows it.
        slots[step.valueIndex] = *position == BitStringTag && contentLength != 0
                                     ? ByteBlob{contentLength - 1, content + 1}
                                     : ByteBlob{contentLength, content};
      } else {
        slots[step.valueIndex] = ByteBlob{whole, position};
      }
    }
    if (operation == DerControl::StepOver || operation == DerControl::OptionalStepOver) {
      position += whole;
      remaining -= whole;
    } else if (entering) {
      if (depth == MaxDerDepth) goto failed;
      stack[depth++] = SavedLevel{position + whole, remaining - whole, false};
      position = content;
      remaining = contentLength;
    } else {
      goto failed;
    }
  }
  *stepCount = completed;
  return static_cast<LONG>(position - data);

failed:
  *stepCount = completed;
  return -static_cast<LONG>(position - data) - 1;
}

LONG ReadKeyInfo(const BYTE* data, DWORD length, ByteBlob* slots) {
  return RunTemplate(data, length, KeyInfoTemplate, slots);
}

LONG ReadRsaKey(const BYTE* data, DWORD length, ByteBlob* slots) {
  return RunTemplate(data, length, RsaKeyTemplate, slots);
}

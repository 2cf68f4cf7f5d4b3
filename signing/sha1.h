// SHA-1 (FIPS 180-1) over the caller's bytes.
//
// Whole 64-byte blocks are transformed where they lie; only a partial block left at the end
// of an update is kept in the block buffer. The block function is chosen once per process:
// on x86-64 processors with the SHA extensions a hardware one, elsewhere the portable one.
// Both are exposed so that tests can check each directly.
#pragma once

#include <cstddef>

#include "platform/types.h"

inline constexpr DWORD Sha1BlockSize = 64;
inline constexpr DWORD Sha1ChainingWords = 5;

struct Sha1State {
  BYTE block[Sha1BlockSize];
  DWORD chaining[Sha1ChainingWords];
  // Message length in bytes so far, high word then low word.
  DWORD lengthHigh;
  DWORD lengthLow;
};

void Sha1Initialize(Sha1State& state);
void Sha1Update(Sha1State& state, const BYTE* bytes, DWORD length);
// Writes the 20-byte digest, most significant byte of each word first, and re-initialises
// the state for the next message.
void Sha1Finish(Sha1State& state, BYTE* digest);

// Transforms `count` consecutive 64-byte blocks into the chaining words.
using Sha1BlockFunction = void (*)(DWORD* chaining, const BYTE* blocks, std::size_t count);
void Sha1PortableBlocks(DWORD* chaining, const BYTE* blocks, std::size_t count);
// The hardware block function, or null when this processor (or build) has none.
Sha1BlockFunction Sha1HardwareBlocks();
// The block function Sha1Update uses. Tests may switch it; nothing else does.
extern Sha1BlockFunction Sha1SelectedBlocks;

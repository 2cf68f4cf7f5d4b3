// MD5 (RFC 1321) over the caller's bytes: whole 64-byte blocks are transformed where they
// lie; only a partial block left at the end of an update is kept in the block buffer.
#pragma once

#include "platform/types.h"

inline constexpr DWORD Md5BlockSize = 64;

struct Md5State {
  DWORD bitCount[2];  // message length in bits, low word first
  DWORD chaining[4];
  BYTE block[Md5BlockSize];
  BYTE digest[16];  // filled by Md5Finish, then copied out
};

void Md5Initialize(Md5State& state);
void Md5Update(Md5State& state, const BYTE* bytes, DWORD length);
// Completes the digest into state.digest and copies its 16 bytes to `digest`. The state is
// not reset: initialise it again before the next message.
void Md5Finish(Md5State& state, BYTE* digest);

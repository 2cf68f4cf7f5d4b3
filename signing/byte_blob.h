// ByteBlob and the algorithm identifiers shared by the hash objects and the signature check.
#pragma once

#include "platform/types.h"

// A reference to a byte string: the length first, then the bytes. Blobs never own what they
// point at. {0, nullptr} stands for an absent value.
struct ByteBlob {
  DWORD length;
  const BYTE* bytes;
};

// Hash algorithm identifiers, with the values of the device platform's crypto interface.
using ALG_ID = DWORD;
inline constexpr ALG_ID CALG_MD5 = 0x8003;
inline constexpr ALG_ID CALG_SHA1 = 0x8004;

inline constexpr DWORD Md5DigestSize = 16;
inline constexpr DWORD Sha1DigestSize = 20;
// The largest digest any hash object produces; callers' digest buffers have this size.
inline constexpr DWORD MaxDigestSize = Sha1DigestSize;
static_assert(Md5DigestSize <= MaxDigestSize);

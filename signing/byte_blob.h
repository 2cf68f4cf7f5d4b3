// ByteBlob, the byte-string reference shared by the hash objects and the signature check.
#pragma once

#include "platform/types.h"

// A reference to a byte string: the length first, then the bytes. Blobs never own what they
// point at. {0, nullptr} stands for an absent value.
struct ByteBlob {
  DWORD length;
  const BYTE* bytes;
};

// Hash algorithms are named by the platform's crypto interface identifiers, ALG_ID with
// CALG_MD5 and CALG_SHA1 (platform/types.h).

inline constexpr DWORD Md5DigestSize = 16;
inline constexpr DWORD Sha1DigestSize = 20;
// The largest digest any hash object produces; callers' digest buffers have this size.
inline constexpr DWORD MaxDigestSize = Sha1DigestSize;
static_assert(Md5DigestSize <= MaxDigestSize);

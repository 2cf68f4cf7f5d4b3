// The two hash objects of the process (MD5 and SHA-1) and the calls that drive them.
//
// A hash is begun with CreateHashObject, fed with HashDataBlobs and read with GetHashValue.
// There is one static object per algorithm: creating it again discards whatever an earlier
// caller had absorbed, nothing releases it, and calls must not overlap. After GetHashValue
// the SHA-1 object is back in its initial state; the MD5 object must be created again.
#pragma once

#include "platform/types.h"
#include "signing/byte_blob.h"
#include "signing/md5.h"
#include "signing/sha1.h"

struct HashObject;

// The operation table every hash object starts with.
struct HashOperations {
  void (*update)(HashObject* object, const BYTE* bytes, DWORD length);
  // Completes the digest into output (at least `capacity` bytes); returns 0.
  DWORD (*finish)(HashObject* object, BYTE* output, DWORD capacity);
  DWORD (*size)(HashObject* object);  // digest length: 16 for MD5, 20 for SHA-1
};

struct HashObject {
  const HashOperations* operations;
};

struct Md5HashObject : HashObject {
  Md5State state;
};

struct Sha1HashObject : HashObject {
  Sha1State state;
};

// Re-initialises the object of `algorithm` and hands it out in *handle. Returns 0, or
// ERROR_INVALID_PARAMETER (handle untouched) for an algorithm other than CALG_MD5 and
// CALG_SHA1.
[[nodiscard]] DWORD CreateHashObject(ALG_ID algorithm, HashObject** handle);

// Absorbs the blobs in array order, skipping those of length 0. Returns 0. The algorithm
// argument is not used; the handle decides.
[[nodiscard]] DWORD HashDataBlobs(ALG_ID algorithm, HashObject* handle, DWORD blobCount,
                                  const ByteBlob* blobs);

// Stores the digest length in *digestLength, then writes the digest to `output` (room for
// MaxDigestSize bytes) and returns 0; ERROR_INVALID_PARAMETER when the digest would not fit.
[[nodiscard]] DWORD GetHashValue(ALG_ID algorithm, HashObject* handle, BYTE* output,
                                 DWORD* digestLength);

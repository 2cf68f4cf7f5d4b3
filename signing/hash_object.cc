#include "signing/hash_object.h"

namespace {

void UpdateMd5(HashObject* object, const BYTE* bytes, DWORD length) {
  Md5Update(static_cast<Md5HashObject*>(object)->state, bytes, length);
}
DWORD Md5FinishInto(HashObject* object, BYTE* output, DWORD /*capacity*/) {
  Md5Finish(static_cast<Md5HashObject*>(object)->state, output);
  return 0;
}
DWORD Md5Size(HashObject*) {
  return Md5DigestSize;
}

void UpdateSha1(HashObject* object, const BYTE* bytes, DWORD length) {
  Sha1Update(static_cast<Sha1HashObject*>(object)->state, bytes, length);
}
DWORD Sha1FinishInto(HashObject* object, BYTE* output, DWORD /*capacity*/) {
  Sha1Finish(static_cast<Sha1HashObject*>(object)->state, output);
  return 0;
}
DWORD Sha1Size(HashObject*) {
  return Sha1DigestSize;
}

constexpr HashOperations Md5Operations = {UpdateMd5, Md5FinishInto, Md5Size};
constexpr HashOperations Sha1Operations = {UpdateSha1, Sha1FinishInto, Sha1Size};

Md5HashObject Md5Object;
Sha1HashObject Sha1Object;

}  // namespace

DWORD CreateHashObject(ALG_ID algorithm, HashObject** handle) {
  switch (algorithm) {
    case CALG_MD5:
      Md5Object.operations = &Md5Operations;
      Md5Initialize(Md5Object.state);
      *handle = &Md5Object;
      return 0;
    case CALG_SHA1:
      Sha1Object.operations = &Sha1Operations;
      Sha1Initialize(Sha1Object.state);
      *handle = &Sha1Object;
      return 0;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

DWORD HashDataBlobs(ALG_ID /*algorithm*/, HashObject* handle, DWORD blobCount,
                    const ByteBlob* blobs) {
  for (DWORD i = 0; i < blobCount; ++i) {
    if (blobs[i].length != 0) handle->operations->update(handle, blobs[i].bytes, blobs[i].length);
  }
  return 0;
}

DWORD GetHashValue(ALG_ID /*algorithm*/, HashObject* handle, BYTE* output, DWORD* digestLength) {
  const DWORD size = handle->operations->size(handle);
  *digestLength = size;
  if (size > MaxDigestSize) return ERROR_INVALID_PARAMETER;
  return handle->operations->finish(handle, output, MaxDigestSize);
}

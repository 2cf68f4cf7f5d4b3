// VerifyImage over arbitrary files, every key index and both modes, against the OpenSSL-based
// reference walk of the container.
//
// Input: one control byte (bits 0-2 the key index, 0 to 7; bit 3 set: compact), then the file.
// Checked: the result is exactly the reference's; a verify-only pass leaves the buffer as it
// was; a successful compacting pass leaves the payloads back to back from the first byte; the
// buffer is exactly the file's size, so any access past the file is reported.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "signing/image_verifier.h"
#include "testsupport/reference_verifier.h"

namespace {

const reference::PublicKey* ReferenceKey(DWORD index) {
  const reference::PublicKey* key = reference::BuiltInKey(index);
  FUZZ_REQUIRE(key == nullptr || static_cast<bool>(*key));
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput input(data, size);
  const BYTE control = input.Take<BYTE>();
  const DWORD keyIndex = control & 7;
  const BOOL verifyOnly = (control & 8) ? FALSE : TRUE;
  const auto file = input.Rest();

  std::vector<BYTE> buffer(file.begin(), file.end());
  reference::Bytes payloads;
  const std::int32_t expected = reference::VerifyImage(file, ReferenceKey(keyIndex), &payloads);
  const LONG result = VerifyImage(nullptr, buffer.empty() ? nullptr : buffer.data(),
                                  static_cast<DWORD>(buffer.size()), keyIndex, verifyOnly, nullptr);
  FUZZ_REQUIRE(result == expected);
  if (verifyOnly) {
    FUZZ_REQUIRE(std::equal(buffer.begin(), buffer.end(), file.begin()));
  } else if (result > 0) {
    FUZZ_REQUIRE(std::memcmp(buffer.data(), payloads.data(), payloads.size()) == 0);
  }
  return 0;
}

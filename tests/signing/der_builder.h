// DER values for the signing tests, built by hand: no OpenSSL, so that the DER tests run on
// every target.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace signing_test {

using Bytes = std::vector<std::uint8_t>;

// DER encoding of one value: identifier, definite length, content.
inline Bytes Tlv(std::uint8_t identifier, const Bytes& content) {
  Bytes out{identifier};
  const std::size_t length = content.size();
  if (length < 0x80) {
    out.push_back(static_cast<std::uint8_t>(length));
  } else {
    Bytes lengthBytes;
    for (std::size_t rest = length; rest != 0; rest >>= 8) {
      lengthBytes.insert(lengthBytes.begin(), static_cast<std::uint8_t>(rest));
    }
    out.push_back(static_cast<std::uint8_t>(0x80 | lengthBytes.size()));
    out.insert(out.end(), lengthBytes.begin(), lengthBytes.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// rsaEncryption with NULL parameters.
inline Bytes RsaAlgorithmIdentifier() {
  return Tlv(0x30, Concat({Tlv(0x06, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}),
                           Tlv(0x05, {})}));
}

// A SubjectPublicKeyInfo around the given INTEGER contents (taken as they are).
inline Bytes KeyInfo(const Bytes& modulusContent, const Bytes& exponentContent,
                     const Bytes& algorithm = RsaAlgorithmIdentifier()) {
  Bytes rsaKey = Tlv(0x30, Concat({Tlv(0x02, modulusContent), Tlv(0x02, exponentContent)}));
  rsaKey.insert(rsaKey.begin(), 0x00);  // no unused bits
  return Tlv(0x30, Concat({algorithm, Tlv(0x03, rsaKey)}));
}

}  // namespace signing_test

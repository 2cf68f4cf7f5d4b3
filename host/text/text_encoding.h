// UTF-16, the platform's text, and UTF-8, the host's and the tool's: the one conversion between
// them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace host {

// What a conversion does with text that is not well formed: a lone surrogate in UTF-16; in UTF-8
// a truncated or overlong sequence, a surrogate or a value past U+10FFFF.
enum class Malformed {
  Reject,   // the conversion fails (nullopt)
  Replace,  // each such unit or byte becomes U+FFFD, so the conversion never fails
};

std::optional<std::string> Utf8FromUtf16(std::u16string_view text,
                                         Malformed malformed = Malformed::Reject);
std::optional<std::u16string> Utf16FromUtf8(std::string_view text,
                                            Malformed malformed = Malformed::Reject);

}  // namespace host

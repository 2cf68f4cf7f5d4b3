#include "host/text/text_encoding.h"

namespace host {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

void AppendUtf8(char32_t point, std::string& out) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

// The code point of the UTF-8 sequence at the start of `text` and its length in bytes; length 0
// when the sequence is not well formed.
std::pair<char32_t, std::size_t> DecodeUtf8(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = lead < 0x80             ? 1
                             : (lead & 0xE0) == 0xC0 ? 2
                             : (lead & 0xF0) == 0xE0 ? 3
                             : (lead & 0xF8) == 0xF0 ? 4
                                                     : 0;
  if (length == 0 || length > text.size()) return {0, 0};
  static constexpr char32_t kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  char32_t point = lead & kLeadBits[length];
  for (std::size_t next = 1; next < length; ++next) {
    const auto continuation = static_cast<unsigned char>(text[next]);
    if ((continuation & 0xC0) != 0x80) return {0, 0};
    point = (point << 6) | (continuation & 0x3F);
  }
  if (point < kSmallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
    return {0, 0};
  return {point, length};
}

}  // namespace

std::optional<std::string> Utf8FromUtf16(std::u16string_view text, Malformed malformed) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t index = 0; index < text.size(); ++index) {
    char32_t point = text[index];
    if (IsHighSurrogate(point) && index + 1 < text.size() && IsLowSurrogate(text[index + 1])) {
      point = 0x10000 + ((point - 0xD800) << 10) + (text[index + 1] - 0xDC00);
      ++index;
    } else if (IsHighSurrogate(point) || IsLowSurrogate(point)) {
      if (malformed == Malformed::Reject) return std::nullopt;
      point = kReplacement;
    }
    AppendUtf8(point, out);
  }
  return out;
}

std::optional<std::u16string> Utf16FromUtf8(std::string_view text, Malformed malformed) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t index = 0;
  while (index < text.size()) {
    auto [point, length] = DecodeUtf8(text.substr(index));
    if (length == 0) {
      if (malformed == Malformed::Reject) return std::nullopt;
      point = kReplacement;
      length = 1;
    }
    if (point >= 0x10000) {
      point -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (point >> 10));
      out += static_cast<char16_t>(0xDC00 + (point & 0x3FF));
    } else {
      out += static_cast<char16_t>(point);
    }
    index += length;
  }
  return out;
}

}  // namespace host

#include "tools/orvanta/option_types.h"

#include <filesystem>
#include <sstream>

#include "tools/orvanta/command_reference.h"
#include "tools/orvanta/tool_support.h"

namespace orvanta {
namespace {

// CLI11 converts integers with strtoull(…, 0), which reads "010" as octal and "-1" as the
// largest value; the transformers hand it plain decimal only.
CLI::Validator DecimalTransformer(bool suffixes, std::string what) {
  return CLI::Validator(
      [suffixes, what](std::string& value) -> std::string {
        const std::optional<std::uint64_t> number = NumberOf(value, suffixes);
        if (!number) return "\"" + value + "\" is not " + what;
        value = std::to_string(*number);
        return {};
      },
      "", "");
}

}  // namespace

std::optional<std::uint64_t> NumberOf(std::string_view text, bool suffixes) {
  std::uint64_t multiplier = 1;
  if (suffixes && !text.empty() && (text.back() == 'K' || text.back() == 'k')) {
    multiplier = 1024;
    text.remove_suffix(1);
  } else if (suffixes && !text.empty() && (text.back() == 'M' || text.back() == 'm')) {
    multiplier = 1024 * 1024;
    text.remove_suffix(1);
  }
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char character : text) {
    unsigned digit;
    if (character >= '0' && character <= '9')
      digit = static_cast<unsigned>(character - '0');
    else if (base == 16 && character >= 'a' && character <= 'f')
      digit = static_cast<unsigned>(character - 'a' + 10);
    else if (base == 16 && character >= 'A' && character <= 'F')
      digit = static_cast<unsigned>(character - 'A' + 10);
    else
      return std::nullopt;
    if (value > (UINT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  if (value > UINT64_MAX / multiplier) return std::nullopt;
  return value * multiplier;
}

CLI::Validator NumberValue() {
  return DecimalTransformer(false, "a number (decimal or 0x hexadecimal)");
}

CLI::Validator SizeValue() {
  return DecimalTransformer(true,
                            "a size (decimal or 0x hexadecimal, with an optional K or M suffix)");
}

CLI::Validator Bounded(std::uint64_t minimum, std::uint64_t maximum) {
  return CLI::Validator(
      [minimum, maximum](std::string& value) -> std::string {
        const std::optional<std::uint64_t> number = NumberOf(value, false);
        if (number && *number >= minimum && *number <= maximum) return {};
        return value + " is not in " + std::to_string(minimum) + ".." + std::to_string(maximum);
      },
      "", "");
}

CLI::Validator NotADirectory() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        std::error_code code;
        if (std::filesystem::is_directory(value, code))
          return value + " is a directory, not a file";
        return {};
      },
      "", "");
}

std::istream& operator>>(std::istream& input, RegionArgument& region) {
  std::string text;
  input >> text;
  const std::size_t times = text.find_first_of("xX");
  const std::optional<std::uint64_t> count =
      times == std::string::npos ? std::nullopt : NumberOf(text.substr(0, times), true);
  const std::optional<std::uint64_t> size =
      times == std::string::npos ? std::nullopt : NumberOf(text.substr(times + 1), true);
  if (!count || !size || *count == 0 || *count > 0xFFFF || *size == 0 || *size % 256 != 0 ||
      *size > 0x1000000) {
    input.setstate(std::ios::failbit);
    return input;
  }
  region = {static_cast<std::uint32_t>(*count), static_cast<std::uint32_t>(*size)};
  return input;
}

std::istream& operator>>(std::istream& input, HeaderArgument& header) {
  std::string text;
  input >> text;
  const std::optional<Bytes> bytes = FromHex(text);
  if (!bytes || bytes->size() != header.bytes.size()) {
    input.setstate(std::ios::failbit);
    return input;
  }
  std::copy(bytes->begin(), bytes->end(), header.bytes.begin());
  return input;
}

std::string OptionFormatter::make_option_opts(const CLI::Option* option) const {
  std::string out;
  const ValueKind value = ValueOf(*option);
  const bool positional = option->get_positional() && !option->nonpositional();
  if (value.kind == ValueKind::Kind::kChoice) {
    std::string choices;
    for (const std::string& choice : value.choices)
      choices += (choices.empty() ? "" : "|") + choice;
    out += " " + choices;
  } else if (value.kind != ValueKind::Kind::kNone &&
             !(positional && value.name == option->get_single_name())) {
    out += " " + value.name;
  }
  if (option->get_required()) out += " (required)";
  for (const CLI::Option* needed : option->get_needs())
    out += " (needs " + needed->get_name() + ")";
  return out;
}

}  // namespace orvanta

// The typed values of orvanta's options, as CLI11 validators and transformers, so that every
// option is checked and converted where it is declared, and the help formatter that shows each
// option's value by its name (FILE, SIZE, BLOCK, ...) or its set of choices.
//
// Numbers are decimal or 0x hexadecimal; sizes may end in K (x1024) or M (x1048576). A
// transformer rewrites them as plain decimal, which CLI11 then converts into the option's
// typed variable; a bound is a CLI::Range after it.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/signer/signer.h"

namespace orvanta {

// A number as the options take it: decimal or 0x hexadecimal, with a K or M suffix when
// `suffixes` allows. Empty when the text is not such a number or does not fit 64 bits.
std::optional<std::uint64_t> NumberOf(std::string_view text, bool suffixes);

// Transformers to plain decimal: a number (no suffix) and a size (K and M suffixes).
CLI::Validator NumberValue();
CLI::Validator SizeValue();

// A bound on a transformed number, inclusive, that adds nothing to the option's value name.
CLI::Validator Bounded(std::uint64_t minimum, std::uint64_t maximum);

// A choice among named values (of an enumeration), converted to the value: the help and the
// completion show the names, a wrong one is named with them.
template <typename Value>
CLI::Validator Choice(const std::vector<std::pair<std::string, Value>>& choices) {
  std::string names;
  for (const auto& choice : choices) names += (names.empty() ? "" : ",") + choice.first;
  return CLI::Validator(
      [choices, names](std::string& text) -> std::string {
        for (const auto& [name, value] : choices)
          if (text == name) {
            text = std::to_string(static_cast<long long>(value));
            return {};
          }
        return "\"" + text + "\" is none of " + names;
      },
      "{" + names + "}", "");
}

// A check that the value reads as `Value` through its stream operator; `what` says what it
// should be ("COUNTxSIZE").
template <typename Value>
CLI::Validator Readable(const std::string& what) {
  return CLI::Validator(
      [what](std::string& text) -> std::string {
        std::istringstream input(text);
        Value value;
        if (input >> value && input.peek() == std::char_traits<char>::eof()) return {};
        return "\"" + text + "\" is not " + what;
      },
      "", "");
}

// A check that the value names no existing directory (an output file, a key file).
CLI::Validator NotADirectory();

// One erase-block region, COUNTxSIZE (62x32K): count 1..65535, size a multiple of 256 up to
// 16M. Read by CLI11 through the stream operator.
struct RegionArgument {
  std::uint32_t count = 0;
  std::uint32_t size = 0;
};
std::istream& operator>>(std::istream& input, RegionArgument& region);

// The 16-byte image header, as 32 hex digits. Read by CLI11 through the stream operator.
struct HeaderArgument {
  signer::ImageHeader bytes{};
};
std::istream& operator>>(std::istream& input, HeaderArgument& header);

// The help formatter of every orvanta command: an option's value shown by its type name
// alone (the checks' own descriptions left out), or as its set of choices.
class OptionFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override;
};

}  // namespace orvanta

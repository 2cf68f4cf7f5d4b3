// Text as one single-quoted word of a POSIX shell, for the completion script the tool writes and
// for the commands the tests hand to the shell.
#pragma once

#include <string>
#include <string_view>

namespace orvanta {

inline std::string BashQuote(std::string_view text) {
  std::string quoted = "'";
  for (const char character : text) {
    if (character == '\'')
      quoted += "'\\''";
    else
      quoted += character;
  }
  return quoted + "'";
}

}  // namespace orvanta

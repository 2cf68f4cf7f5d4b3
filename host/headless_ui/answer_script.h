// The scripted answers of a headless run (ORVANTA_ANSWERS), shared by every platform's headless
// front end: comma-separated ok, cancel, none (the box cannot be shown: the answer is neither
// IDOK nor IDCANCEL), plug and unplug (set the AC line online or offline and write a power
// event; the next token answers the box). Once the list is used up an MB_OKCANCEL box answers
// IDCANCEL and any other IDOK.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "host/dialog_framework/transcript_writer.h"

namespace host {

class AnswerScript {
 public:
  // Nullopt with a one-line reason on a bad token.
  static std::optional<AnswerScript> Parse(const std::string& answers, std::string* error);

  // The answer to the next box, of the type its caller passed; the power tokens before it set
  // the current device's AC line, each written to `transcript`. Not thread-safe.
  int Next(UINT typePassed, TranscriptWriter& transcript);

  // Whether the script answers a box with none.
  bool AnswersNone() const;

 private:
  enum class Token { Ok, Cancel, None, Plug, Unplug };

  std::vector<Token> tokens_;
  std::size_t next_ = 0;
};

}  // namespace host

#include "host/headless_ui/answer_script.h"

#include <algorithm>

namespace host {

std::optional<AnswerScript> AnswerScript::Parse(const std::string& answers, std::string* error) {
  AnswerScript script;
  std::size_t start = 0;
  while (start <= answers.size() && !answers.empty()) {
    const std::size_t comma = std::min(answers.find(',', start), answers.size());
    std::string token = answers.substr(start, comma - start);
    // Blanks around a token are forgiven; an empty token is not.
    const auto first = token.find_first_not_of(" \t");
    const auto last = token.find_last_not_of(" \t");
    token = first == std::string::npos ? std::string() : token.substr(first, last - first + 1);
    if (token == "ok") {
      script.tokens_.push_back(Token::Ok);
    } else if (token == "cancel") {
      script.tokens_.push_back(Token::Cancel);
    } else if (token == "none") {
      script.tokens_.push_back(Token::None);
    } else if (token == "plug") {
      script.tokens_.push_back(Token::Plug);
    } else if (token == "unplug") {
      script.tokens_.push_back(Token::Unplug);
    } else {
      if (error != nullptr) {
        *error = "ORVANTA_ANSWERS: unknown answer '" + token +
                 "' (expected ok, cancel, none, plug or unplug)";
      }
      return std::nullopt;
    }
    start = comma + 1;
  }
  return script;
}

int AnswerScript::Next(UINT typePassed, TranscriptWriter& transcript) {
  int answer = (typePassed & MB_TYPEMASK) == MB_OKCANCEL ? IDCANCEL : IDOK;
  while (next_ < tokens_.size()) {
    const Token token = tokens_[next_++];
    if (token == Token::Plug || token == Token::Unplug) {
      const sim::AcLine line = token == Token::Plug ? sim::AcLine::Online : sim::AcLine::Offline;
      std::string error;
      const bool set = sim::SetAcLine(sim::CurrentDevice(), line, &error);
      transcript.PowerSet(set ? std::optional(line) : std::nullopt, error);
      continue;
    }
    answer = token == Token::Ok ? IDOK : token == Token::Cancel ? IDCANCEL : 0;
    break;
  }
  return answer;
}

bool AnswerScript::AnswersNone() const {
  return std::find(tokens_.begin(), tokens_.end(), Token::None) != tokens_.end();
}

}  // namespace host

#include "host/headless_ui/headless_ui.h"

#include <algorithm>

namespace host {

std::unique_ptr<HeadlessUi> HeadlessUi::Create(const std::string& answers,
                                               const std::string& transcriptPath,
                                               std::string* error) {
  std::vector<Token> tokens;
  std::size_t start = 0;
  while (start <= answers.size() && !answers.empty()) {
    const std::size_t comma = std::min(answers.find(',', start), answers.size());
    std::string token = answers.substr(start, comma - start);
    // Blanks around a token are forgiven; an empty token is not.
    const auto first = token.find_first_not_of(" \t");
    const auto last = token.find_last_not_of(" \t");
    token = first == std::string::npos ? std::string() : token.substr(first, last - first + 1);
    if (token == "ok") {
      tokens.push_back(Token::Ok);
    } else if (token == "cancel") {
      tokens.push_back(Token::Cancel);
    } else if (token == "none") {
      tokens.push_back(Token::None);
    } else if (token == "plug") {
      tokens.push_back(Token::Plug);
    } else if (token == "unplug") {
      tokens.push_back(Token::Unplug);
    } else {
      if (error != nullptr) {
        *error = "ORVANTA_ANSWERS: unknown answer '" + token +
                 "' (expected ok, cancel, none, plug or unplug)";
      }
      return nullptr;
    }
    start = comma + 1;
  }

  std::unique_ptr<TranscriptWriter> transcript = TranscriptWriter::Open(transcriptPath, error);
  if (!transcript) return nullptr;
  return std::unique_ptr<HeadlessUi>(new HeadlessUi(std::move(transcript), std::move(tokens)));
}

HeadlessUi::HeadlessUi(std::unique_ptr<TranscriptWriter> transcript, std::vector<Token> answers)
    : transcript_(std::move(transcript)), answers_(std::move(answers)) {}

void HeadlessUi::DialogShown(HWND /*dialog*/, const DialogView& view) {
  transcript_->DialogShown(view);
}

void HeadlessUi::ControlChanged(const DialogView& view, WORD controlId) {
  transcript_->ControlChanged(view, controlId);
}

void HeadlessUi::OpenMessageBox(const std::shared_ptr<MessageBoxRequest>& box) {
  std::lock_guard lock(mutex_);
  int answer = (box->typePassed & MB_TYPEMASK) == MB_OKCANCEL ? IDCANCEL : IDOK;
  while (nextAnswer_ < answers_.size()) {
    const Token token = answers_[nextAnswer_++];
    if (token == Token::Plug || token == Token::Unplug) {
      const sim::AcLine line = token == Token::Plug ? sim::AcLine::Online : sim::AcLine::Offline;
      std::string error;
      transcript_->PowerSet(SetAcLine(line, &error) ? std::optional(line) : std::nullopt, error);
      continue;
    }
    answer = token == Token::Ok ? IDOK : token == Token::Cancel ? IDCANCEL : 0;
    break;
  }
  transcript_->MessageAnswered(*box, answer);
  box->Answer(answer);
}

void HeadlessUi::BroughtToForeground() {
  transcript_->BroughtToForeground();
}

void HeadlessUi::Restarting() {
  transcript_->Restarting();
}

void HeadlessUi::Exiting(int status) {
  transcript_->Exiting(status);
}

}  // namespace host

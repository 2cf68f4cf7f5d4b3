#include "host/headless_ui.h"

#include <nlohmann/json.hpp>

// Keys are written in the order given ("event" first), as the transcript documents them.

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

  std::FILE* transcript = stdout;
  bool owns = false;
  if (!transcriptPath.empty()) {
    transcript = std::fopen(transcriptPath.c_str(), "w");
    if (transcript == nullptr) {
      if (error != nullptr) *error = "ORVANTA_TRANSCRIPT: cannot open " + transcriptPath;
      return nullptr;
    }
    owns = true;
  }
  return std::unique_ptr<HeadlessUi>(new HeadlessUi(transcript, owns, std::move(tokens)));
}

HeadlessUi::HeadlessUi(std::FILE* transcript, bool ownsTranscript, std::vector<Token> answers)
    : transcript_(transcript), ownsTranscript_(ownsTranscript), answers_(std::move(answers)) {}

HeadlessUi::~HeadlessUi() {
  if (ownsTranscript_) std::fclose(transcript_);
}

void HeadlessUi::Write(const std::string& line) {
  // Called with mutex_ held. Each line reaches the file before the program goes on, so a
  // transcript read after a power cut or a crash ends with the last thing that happened.
  std::fputs(line.c_str(), transcript_);
  std::fputc('\n', transcript_);
  std::fflush(transcript_);
}

void HeadlessUi::DialogShown(HWND /*dialog*/, const DialogView& view) {
  std::lock_guard lock(mutex_);
  std::string warning;
  for (const ControlView& control : view.controls) {
    if (control.progressBar) {
      lastPosition_ = control.position;
    } else if (warningId_ == 0) {
      // The dialog's first static text is its warning label.
      warningId_ = control.id;
      warning = DialogTextToUtf8(control.text);
    }
  }
  Write(nlohmann::ordered_json{
      {"event", "dialog"}, {"title", DialogTextToUtf8(view.title)}, {"warning", warning}}
            .dump());
}

void HeadlessUi::ControlChanged(const DialogView& view, WORD controlId) {
  std::lock_guard lock(mutex_);
  const ControlView* control = view.Find(controlId);
  if (control == nullptr) return;
  if (control->progressBar) {
    if (control->position == lastPosition_) return;
    lastPosition_ = control->position;
    Write(nlohmann::ordered_json{{"event", "progress"}, {"position", control->position}}.dump());
  } else if (control->id == warningId_) {
    Write(nlohmann::ordered_json{{"event", "warning"}, {"text", DialogTextToUtf8(control->text)}}
              .dump());
  } else {
    Write(nlohmann::ordered_json{{"event", "counter"}, {"text", DialogTextToUtf8(control->text)}}
              .dump());
  }
}

void HeadlessUi::OpenMessageBox(const std::shared_ptr<MessageBoxRequest>& box) {
  std::lock_guard lock(mutex_);
  int answer = (box->typePassed & MB_TYPEMASK) == MB_OKCANCEL ? IDCANCEL : IDOK;
  while (nextAnswer_ < answers_.size()) {
    const Token token = answers_[nextAnswer_++];
    if (token == Token::Plug || token == Token::Unplug) {
      const sim::AcLine line = token == Token::Plug ? sim::AcLine::Online : sim::AcLine::Offline;
      std::string error;
      if (SetAcLine(line, &error)) {
        Write(nlohmann::ordered_json{{"event", "power"}, {"ac_line", sim::ToString(line)}}.dump());
      } else {
        Write(nlohmann::ordered_json{{"event", "power"}, {"error", error}}.dump());
      }
      continue;
    }
    answer = token == Token::Ok ? IDOK : token == Token::Cancel ? IDCANCEL : 0;
    break;
  }
  Write(nlohmann::ordered_json{{"event", "message"},
                               {"id", box->stringId},
                               {"text", DialogTextToUtf8(box->text)},
                               {"type", box->typePassed},
                               {"answer", answer}}
            .dump());
  box->Answer(answer);
}

void HeadlessUi::BroughtToForeground() {
  std::lock_guard lock(mutex_);
  Write(nlohmann::ordered_json{{"event", "foreground"}}.dump());
}

void HeadlessUi::Restarting() {
  std::lock_guard lock(mutex_);
  if (exitWritten_) return;
  Write(nlohmann::ordered_json{{"event", "restart"}}.dump());
  Write(nlohmann::ordered_json{{"event", "exit"}, {"status", 0}}.dump());
  exitWritten_ = true;
}

void HeadlessUi::Exiting(int status) {
  std::lock_guard lock(mutex_);
  if (exitWritten_) return;
  Write(nlohmann::ordered_json{{"event", "exit"}, {"status", status}}.dump());
  exitWritten_ = true;
}

}  // namespace host

#include "host/headless_ui/headless_ui.h"

namespace host {

std::unique_ptr<HeadlessUi> HeadlessUi::Create(const std::string& answers,
                                               const std::string& transcriptPath,
                                               std::string* error) {
  std::optional<AnswerScript> script = AnswerScript::Parse(answers, error);
  if (!script) return nullptr;
  std::unique_ptr<TranscriptWriter> transcript = TranscriptWriter::Open(transcriptPath, error);
  if (!transcript) return nullptr;
  return std::unique_ptr<HeadlessUi>(new HeadlessUi(std::move(transcript), std::move(*script)));
}

HeadlessUi::HeadlessUi(std::unique_ptr<TranscriptWriter> transcript, AnswerScript answers)
    : transcript_(std::move(transcript)), answers_(std::move(answers)) {}

void HeadlessUi::DialogShown(HWND /*dialog*/, const DialogView& view) {
  transcript_->DialogShown(view);
}

void HeadlessUi::ControlChanged(const DialogView& view, WORD controlId) {
  transcript_->ControlChanged(view, controlId);
}

void HeadlessUi::OpenMessageBox(const std::shared_ptr<MessageBoxRequest>& box) {
  std::lock_guard lock(mutex_);
  const int answer = answers_.Next(box->typePassed, *transcript_);
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

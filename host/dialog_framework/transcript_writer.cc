#include "host/dialog_framework/transcript_writer.h"

#include <nlohmann/json.hpp>

// Keys are written in the order given ("event" first), as the transcript documents them.

namespace host {

std::unique_ptr<TranscriptWriter> TranscriptWriter::Open(const std::string& path,
                                                         std::string* error) {
  if (path.empty()) return std::unique_ptr<TranscriptWriter>(new TranscriptWriter(stdout, false));
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    if (error != nullptr) *error = "ORVANTA_TRANSCRIPT: cannot open " + path;
    return nullptr;
  }
  return std::unique_ptr<TranscriptWriter>(new TranscriptWriter(file, true));
}

TranscriptWriter::TranscriptWriter(std::FILE* file, bool ownsFile)
    : file_(file), ownsFile_(ownsFile) {}

TranscriptWriter::~TranscriptWriter() {
  if (ownsFile_) std::fclose(file_);
}

void TranscriptWriter::WriteLocked(const std::string& line) {
  // Each line reaches the file before the program goes on, so a transcript read after a power
  // cut or a crash ends with the last thing that happened.
  std::fputs(line.c_str(), file_);
  std::fputc('\n', file_);
  std::fflush(file_);
}

void TranscriptWriter::DialogShown(const DialogView& view) {
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
  WriteLocked(nlohmann::ordered_json{
      {"event", "dialog"}, {"title", DialogTextToUtf8(view.title)}, {"warning", warning}}
                  .dump());
}

void TranscriptWriter::ControlChanged(const DialogView& view, WORD controlId) {
  std::lock_guard lock(mutex_);
  const ControlView* control = view.Find(controlId);
  if (control == nullptr) return;
  if (control->progressBar) {
    if (control->position == lastPosition_) return;
    lastPosition_ = control->position;
    WriteLocked(
        nlohmann::ordered_json{{"event", "progress"}, {"position", control->position}}.dump());
  } else {
    const char* event = control->id == warningId_ ? "warning" : "counter";
    WriteLocked(
        nlohmann::ordered_json{{"event", event}, {"text", DialogTextToUtf8(control->text)}}.dump());
  }
}

void TranscriptWriter::MessageAnswered(const MessageBoxRequest& box, int answer) {
  std::lock_guard lock(mutex_);
  WriteLocked(nlohmann::ordered_json{
      {"event", "message"},
      {"id", box.stringId},
      {"text", DialogTextToUtf8(box.text)},
      {"type", box.typePassed},
      {"answer",
       answer}}.dump());
}

void TranscriptWriter::PowerSet(std::optional<sim::AcLine> line, const std::string& error) {
  std::lock_guard lock(mutex_);
  if (line) {
    WriteLocked(
        nlohmann::ordered_json{{"event", "power"}, {"ac_line", sim::ToString(*line)}}.dump());
  } else {
    WriteLocked(nlohmann::ordered_json{{"event", "power"}, {"error", error}}.dump());
  }
}

void TranscriptWriter::BroughtToForeground() {
  std::lock_guard lock(mutex_);
  WriteLocked(nlohmann::ordered_json{{"event", "foreground"}}.dump());
}

void TranscriptWriter::Restarting() {
  std::lock_guard lock(mutex_);
  if (exitWritten_) return;
  WriteLocked(nlohmann::ordered_json{{"event", "restart"}}.dump());
  WriteLocked(nlohmann::ordered_json{{"event", "exit"}, {"status", 0}}.dump());
  exitWritten_ = true;
}

void TranscriptWriter::Exiting(int status) {
  std::lock_guard lock(mutex_);
  if (exitWritten_) return;
  WriteLocked(nlohmann::ordered_json{{"event", "exit"}, {"status", status}}.dump());
  exitWritten_ = true;
}

}  // namespace host

#include "host/dialog_framework/transcript_writer.h"

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

// Keys are written in the order given ("event" first), as the transcript documents them.

namespace host {

std::unique_ptr<TranscriptWriter> TranscriptWriter::Open(const std::string& path,
                                                         std::string* error) {
  // Lines end in a line feed on every platform: Windows' text mode would add a carriage return.
  if (path.empty()) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    return std::unique_ptr<TranscriptWriter>(new TranscriptWriter(stdout, false));
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
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
  WORD warningId = 0;
  std::u16string warning;
  int position = 0;
  for (const ControlView& control : view.controls) {
    if (control.progressBar) {
      position = control.position;
    } else if (warningId == 0) {
      // The dialog's first static text is its warning label.
      warningId = control.id;
      warning = control.text;
    }
  }
  DialogShown(view.title, warningId, warning, position);
}

void TranscriptWriter::DialogShown(std::u16string_view title, WORD warningId,
                                   std::u16string_view warning, int position) {
  std::lock_guard lock(mutex_);
  if (warningId_ == 0) warningId_ = warningId;
  lastPosition_ = position;
  WriteLocked(nlohmann::ordered_json{{"event", "dialog"},
                                     {"title", DialogTextToUtf8(title)},
                                     {"warning", DialogTextToUtf8(warning)}}
                  .dump());
}

void TranscriptWriter::ControlChanged(const DialogView& view, WORD controlId) {
  const ControlView* control = view.Find(controlId);
  if (control == nullptr) return;
  if (control->progressBar) {
    PositionChanged(control->position);
  } else {
    TextChanged(control->id, control->text);
  }
}

void TranscriptWriter::PositionChanged(int position) {
  std::lock_guard lock(mutex_);
  if (position == lastPosition_) return;
  lastPosition_ = position;
  WriteLocked(nlohmann::ordered_json{{"event", "progress"}, {"position", position}}.dump());
}

void TranscriptWriter::TextChanged(WORD controlId, std::u16string_view text) {
  std::lock_guard lock(mutex_);
  const char* event = controlId == warningId_ ? "warning" : "counter";
  WriteLocked(nlohmann::ordered_json{{"event", event}, {"text", DialogTextToUtf8(text)}}.dump());
}

void TranscriptWriter::MessageAnswered(const MessageBoxRequest& box, int answer) {
  MessageAnswered(box.stringId, box.text, box.typePassed, answer);
}

void TranscriptWriter::MessageAnswered(UINT stringId, std::u16string_view text, UINT typePassed,
                                       int answer) {
  std::lock_guard lock(mutex_);
  WriteLocked(nlohmann::ordered_json{
      {"event", "message"},
      {"id", stringId},
      {"text", DialogTextToUtf8(text)},
      {"type", typePassed},
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

// The transcript of what a user of the device was shown, one JSON object a line:
//
//   {"event":"dialog","title":"OrvantaUpdate","warning":"Do not turn off ..."}
//   {"event":"counter","text":"Operation 3 of 6:"}
//   {"event":"progress","position":37}                       (only when the position changes)
//   {"event":"message","id":133,"text":"...","type":0,"answer":1}
//   {"event":"power","ac_line":"online"}
//   {"event":"foreground"}                    (another instance brought this one to the front)
//   {"event":"restart"}
//   {"event":"exit","status":1}                              (last line of every run that ends)
//
// `type` is the message-box type the program passed, `answer` the value the box returned.
// Both front ends write it: the headless one always, the terminal one when asked to.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "host/dialog_framework/front_end.h"

namespace host {

class TranscriptWriter {
 public:
  // `path` empty: standard output. Null with a one-line reason when the file cannot be opened.
  static std::unique_ptr<TranscriptWriter> Open(const std::string& path, std::string* error);
  ~TranscriptWriter();

  // Every call is safe from any thread; each line reaches the file before the call returns.
  void DialogShown(const DialogView& view);
  void ControlChanged(const DialogView& view, WORD controlId);
  void MessageAnswered(const MessageBoxRequest& box, int answer);
  // The same events from what a platform's own windows show: the dialog with its title, its
  // warning label (the first static text) and the bar's position; a static's new text; the
  // bar's new position; a box's string id, text and the type its caller passed.
  void DialogShown(std::u16string_view title, WORD warningId, std::u16string_view warning,
                   int position);
  void TextChanged(WORD controlId, std::u16string_view text);
  void PositionChanged(int position);
  void MessageAnswered(UINT stringId, std::u16string_view text, UINT typePassed, int answer);
  // The AC line was set to `line`, or setting it failed with `error`.
  void PowerSet(std::optional<sim::AcLine> line, const std::string& error);
  void BroughtToForeground();
  // `restart` and `exit` 0; nothing once an exit has been written.
  void Restarting();
  void Exiting(int status);

 private:
  TranscriptWriter(std::FILE* file, bool ownsFile);
  void WriteLocked(const std::string& line);

  std::mutex mutex_;
  std::FILE* file_;
  bool ownsFile_;
  WORD warningId_ = 0;
  int lastPosition_ = 0;
  bool exitWritten_ = false;
};

}  // namespace host

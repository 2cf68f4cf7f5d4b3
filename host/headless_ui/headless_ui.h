// The headless front end: no terminal; message boxes are answered from a script and everything
// a user would have seen is written as a transcript (see host/transcript_writer.h).
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "host/dialog_framework/front_end.h"
#include "host/dialog_framework/transcript_writer.h"
#include "host/headless_ui/answer_script.h"

namespace host {

class HeadlessUi : public FrontEnd {
 public:
  // `answers`: the answer script (host/headless_ui/answer_script.h). `transcriptPath` empty:
  // standard output. Null with a one-line reason on a bad token or a transcript that cannot be
  // opened.
  static std::unique_ptr<HeadlessUi> Create(const std::string& answers,
                                            const std::string& transcriptPath, std::string* error);

  void DialogShown(HWND dialog, const DialogView& view) override;
  void ControlChanged(const DialogView& view, WORD controlId) override;
  void OpenMessageBox(const std::shared_ptr<MessageBoxRequest>& box) override;
  void BroughtToForeground() override;
  void Restarting() override;
  void Exiting(int status) override;

 private:
  HeadlessUi(std::unique_ptr<TranscriptWriter> transcript, AnswerScript answers);

  std::mutex mutex_;  // the answers
  std::unique_ptr<TranscriptWriter> transcript_;
  AnswerScript answers_;
};

}  // namespace host

// The headless front end: no terminal; message boxes are answered from a script and everything
// a user would have seen is written as a transcript (see host/transcript_writer.h).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/dialog_framework/front_end.h"
#include "host/dialog_framework/transcript_writer.h"

namespace host {

class HeadlessUi : public FrontEnd {
 public:
  enum class Token { Ok, Cancel, None, Plug, Unplug };

  // `answers`: comma-separated ok, cancel, none (the box cannot be shown: the answer is neither
  // IDOK nor IDCANCEL), plug and unplug (set the AC line online or offline and write a power
  // event; the next token answers the box). Once the list is used up an MB_OKCANCEL box answers
  // IDCANCEL and any other IDOK. `transcriptPath` empty: standard output. Null with a one-line
  // reason on a bad token or a transcript that cannot be opened.
  static std::unique_ptr<HeadlessUi> Create(const std::string& answers,
                                            const std::string& transcriptPath, std::string* error);

  void DialogShown(HWND dialog, const DialogView& view) override;
  void ControlChanged(const DialogView& view, WORD controlId) override;
  void OpenMessageBox(const std::shared_ptr<MessageBoxRequest>& box) override;
  void BroughtToForeground() override;
  void Restarting() override;
  void Exiting(int status) override;

 private:
  HeadlessUi(std::unique_ptr<TranscriptWriter> transcript, std::vector<Token> answers);

  std::mutex mutex_;  // the answers
  std::unique_ptr<TranscriptWriter> transcript_;
  std::vector<Token> answers_;
  std::size_t nextAnswer_ = 0;
};

}  // namespace host
